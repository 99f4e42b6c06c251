// A program under test run as a child process: output to files, optional stdin
// pipe, waited for with a timeout, and never left running or unreaped.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "util.h"

namespace harness {

// A resource limit (setrlimit) that the child gets before exec, soft and hard alike.
// Under an emulator it limits the emulator as well.
struct resource_limit {
    int resource;  // RLIMIT_NOFILE, RLIMIT_AS, ...
    unsigned long long value;
};

struct exit_status {
    int code = -1;   // exit code, or -1 when ended by a signal
    int signal = 0;  // terminating signal, or 0
    std::string describe() const;
};

class child_process {
public:
    // Runs `path` with `args` (argv[0] is `path`; a program built for an emulated
    // target runs under its emulator, see program_command) and the environment of this
    // process plus `env` ("NAME=value", overriding). stdout and stderr go to files in
    // test_dir(); stdin is /dev/null or, with `stdin_pipe`, a pipe fed by write_stdin().
    // With `stdout_fd` (>= 0), stdout is that descriptor instead of a file; the
    // caller keeps it, and out() reads empty. `limits` are set in the child.
    // Call from the main thread: the child dies with the thread that forked it.
    child_process(const std::string& path, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {}, bool stdin_pipe = false,
                  int stdout_fd = -1, const std::vector<resource_limit>& limits = {});
    ~child_process();  // stop(1s) if still running
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the exit; nullopt if it still runs after `timeout`.
    std::optional<exit_status> wait(duration timeout);
    void signal(int sig);
    // SIGTERM, then SIGKILL if it has not ended after `grace`; always reaps.
    exit_status stop(duration grace);

    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }
    const std::string& err_path() const { return err_path_; }

    bool write_stdin(const std::string& text);
    void close_stdin();

private:
    pid_t pid_ = -1;
    std::optional<exit_status> status_;
    int stdin_fd_ = -1;
    std::string out_path_, err_path_;
};

// Until a client of the suite has finished starting up: the frame installs its
// SIGQUIT, SIGTERM, SIGHUP and SIGINT handlers last, then blocks those signals in
// its main thread. False if it ended or timed out.
bool wait_frame_ready(child_process& program, duration timeout = 5s);

}  // namespace harness
