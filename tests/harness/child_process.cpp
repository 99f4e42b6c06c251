// Fork and exec of programs under test. Everything the child needs is prepared
// before fork(): the test process has libjack threads, so between fork and exec
// the child only makes async-signal-safe calls.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "target_programs.h"

extern char** environ;

namespace harness {

namespace {

std::vector<std::string> merged_environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    auto key = [](const std::string& entry) { return entry.substr(0, entry.find('=') + 1); };
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool overridden = false;
        for (const auto& x : extra) overridden |= key(x) == key(entry);
        if (!overridden) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int open_output(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path + ": " + strerror(errno));
    return fd;
}

}  // namespace

std::string exit_status::describe() const {
    return signal ? "killed by signal " + std::to_string(signal)
                  : "exit status " + std::to_string(code);
}

child_process::child_process(const std::string& path, const std::vector<std::string>& args,
                             const std::vector<std::string>& env, bool stdin_pipe,
                             int stdout_fd, const std::vector<resource_limit>& limits) {
    if (access(path.c_str(), X_OK) != 0) throw std::runtime_error("not executable: " + path);
    static std::atomic<int> sequence{0};
    const std::string base = path.substr(path.rfind('/') + 1);
    const std::string stem = test_dir() + "/" + base + "-" + std::to_string(++sequence);
    out_path_ = stem + ".out";
    err_path_ = stem + ".err";

    std::vector<std::string> argv_strings = program_command(path);
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = merged_environment(env);
    std::vector<char*> argv = c_strings(argv_strings), envp = c_strings(env_strings);

    const int out_fd = open_output(out_path_), err_fd = open_output(err_path_);
    int in_pipe[2] = {-1, -1};
    int in_fd;
    if (stdin_pipe) {
        if (pipe2(in_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        in_fd = in_pipe[0];
    } else {
        in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    const pid_t parent = getpid();

    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);  // the test ended before prctl took effect
        // The test process ignores SIGPIPE and libjack may block signals; exec keeps both.
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(in_fd, 0);
        dup2(stdout_fd >= 0 ? stdout_fd : out_fd, 1);
        dup2(err_fd, 2);
        for (const resource_limit& limit : limits) {
            const rlimit value{rlim_t(limit.value), rlim_t(limit.value)};
            if (setrlimit(limit.resource, &value) != 0) _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    close(in_fd);
    if (pid_ < 0) {
        if (stdin_pipe) close(in_pipe[1]);
        throw std::runtime_error("fork failed");
    }
    stdin_fd_ = in_pipe[1];
}

child_process::~child_process() {
    close_stdin();
    // A JACK client killed outright can leave jackd hanging on its own SIGTERM later,
    // so the program gets a moment to close its client first.
    if (running()) stop(1s);
}

bool child_process::running() {
    return !wait(0ms).has_value();
}

std::optional<exit_status> child_process::wait(duration timeout) {
    if (status_) return status_;
    wait_until(
        [&] {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
            exit_status s;
            if (WIFEXITED(raw)) s.code = WEXITSTATUS(raw);
            else s.signal = WTERMSIG(raw);
            status_ = s;
            return true;
        },
        timeout);
    return status_;
}

void child_process::signal(int sig) {
    if (!status_) kill(pid_, sig);
}

exit_status child_process::stop(duration grace) {
    signal(SIGTERM);
    if (!wait(grace)) {
        signal(SIGKILL);
        wait(10s);
    }
    return status_.value_or(exit_status{});
}

bool child_process::write_stdin(const std::string& text) {
    size_t done = 0;
    while (stdin_fd_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(stdin_fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return stdin_fd_ >= 0;
}

void child_process::close_stdin() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
}

bool wait_frame_ready(child_process& program, duration timeout) {
    // The frame installs the handlers and then blocks the signals in its main
    // thread. Both are asked: under qemu-user the emulator catches every signal
    // itself from the start, but the main thread's mask is the program's, except
    // for the instants when the emulator blocks every signal around one of the
    // program's calls (SIGCHLD, which the frame never blocks, tells those apart).
    const std::vector<int> termination{SIGQUIT, SIGTERM, SIGHUP, SIGINT};
    auto ready = [&] {
        const std::uint64_t blocked = main_thread_blocked_signals(program.pid());
        return catches_all(program.pid(), termination) && mask_has_all(blocked, termination) &&
               !mask_has_all(blocked, {SIGCHLD});
    };
    return wait_until([&] { return !program.running() || ready(); },
               timeout) &&
           program.running();
}

}  // namespace harness
