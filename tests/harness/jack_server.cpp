// Starting, probing and stopping jackd for a test.
#include "jack_server.h"

#include <jack/jack.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "target_programs.h"

namespace harness {

namespace {

std::string unique_server_name() {
    static std::atomic<int> sequence{0};
    return "jt" + std::to_string(getpid()) + "_" + std::to_string(++sequence);
}

// Whether a client can open on the server: the answer jack_wait would give,
// without its one-second polling interval.
bool server_answers(const std::string& name) {
    jack_status_t status{};
    jack_client_t* probe =
        jack_client_open("probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                         &status, name.c_str());
    if (probe == nullptr) return false;
    jack_client_close(probe);
    return true;
}

// Copies the shared objects of `source` into a fresh tmpfs folder `name` of the
// test's directory, and returns that folder.
std::string copy_modules(const std::string& source, const std::string& name) {
    const std::string copy = make_tmpfs_subdir(name);
    for (const auto& entry : dir_entries(source)) {
        if (entry.size() > 3 && entry.compare(entry.size() - 3, 3, ".so") == 0) {
            std::filesystem::copy_file(source + "/" + entry, copy + "/" + entry);
        }
    }
    return copy;
}

}  // namespace

bool realtime_scheduling_allowed() {
    // A thread of its own, so that no test thread changes its scheduling.
    static const bool allowed = [] {
        bool granted = false;
        std::thread probe([&granted] {
            sched_param param{};
            param.sched_priority = server_realtime_priority;
            granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
        });
        probe.join();
        return granted;
    }();
    return allowed;
}

std::vector<std::string> jackd_args(const std::string& name) {
    // This -r, before -d, is jackd's no-real-time switch; one after "-d dummy" is the
    // sample rate.
    std::vector<std::string> args{"-n", name};
    if (realtime_scheduling_allowed()) {
        args.insert(args.end(), {"-R", "-P", std::to_string(server_realtime_priority)});
    } else {
        args.push_back("-r");
    }
    args.insert(args.end(), {"-t", "5000"});
    return args;
}

size_t jackd_overrun_lines(const std::string& log) {
    const std::string late = "JackTimedDriver::Process XRun = ";
    const std::string unfinished = "JackAudioDriver::ProcessGraphAsyncMaster: Process error";
    size_t lines = 0;
    for (const auto& line : split_lines(log)) {
        lines += line.compare(0, late.size(), late) == 0 || line == unfinished;
    }
    return lines;
}

jack_server::jack_server(server_options options) : name_(unique_server_name()) {
    std::vector<std::string> args = jackd_args(name_);
    if (options.loopback) args.insert(args.end(), {"-L", "2"});
    if (options.refuse_self_connect) args.insert(args.end(), {"-a", "A"});
    if (options.port_max != 0) args.insert(args.end(), {"-p", std::to_string(options.port_max)});
    if (options.net_master.empty()) {
        args.insert(args.end(), {"-d", "dummy", "-r", std::to_string(options.rate), "-p",
                                 std::to_string(options.period), "-C", "2", "-P", "2"});
    } else {
        // The rate and the period are the studio's. -s keeps the connections to the
        // system ports, which the backend makes anew whenever the studio returns.
        args.insert(args.end(), {"-d", "net", "-a", options.net_master, "-s", "-n", options.net_name,
                                 "-l", std::to_string(options.net_latency), "-C",
                                 std::to_string(options.net_capture), "-P",
                                 std::to_string(options.net_playback)});
    }
    std::vector<std::string> env{"JACK_NO_AUDIO_RESERVATION=1"};
    if (jack_driver_source_dir().empty()) {
        if (!options.internal_dir.empty()) env.push_back("JACK_INTERNAL_DIR=" + options.internal_dir);
    } else {
        // The target's jackd lists its folders and under qemu-user could not list
        // them on this disk: it gets copies on a tmpfs.
        env.push_back("JACK_DRIVER_DIR=" + copy_modules(jack_driver_source_dir(), name_ + "-drivers"));
        if (!options.internal_dir.empty()) {
            env.push_back("JACK_INTERNAL_DIR=" +
                          copy_modules(options.internal_dir, name_ + "-internal"));
        }
    }
    env.insert(env.end(), options.env.begin(), options.env.end());
    process_ = std::make_unique<child_process>(jack_program("jackd"), args, env);
    // Probing before jackd has made its socket only makes libjack print complaints,
    // so wait for the socket first; probe anyway if that file is not where expected.
    const std::string socket =
        "/dev/shm/jack_" + name_ + "_" + std::to_string(getuid()) + "_0";
    const auto give_up_on_socket = std::chrono::steady_clock::now() + 2s;
    const bool up = wait_until(
                        [&] {
                            if (!process_->running()) return true;
                            if (access(socket.c_str(), F_OK) != 0 &&
                                std::chrono::steady_clock::now() < give_up_on_socket) {
                                return false;
                            }
                            return server_answers(name_);
                        },
                        10s) &&
                    process_->running();
    if (!up) {
        stop();
        throw std::runtime_error("jackd " + name_ + " did not come up:\n" + out() + err());
    }
}

jack_server::~jack_server() { stop(); }

std::vector<std::string> jack_server::client_env() const {
    return {"JACK_DEFAULT_SERVER=" + name_, "JACK_NO_START_SERVER=1"};
}

int jack_server::tool(const std::string& name, const std::vector<std::string>& args,
                      std::string* said) const {
    child_process p(jack_program(name), args, client_env());
    const auto status = p.wait(10s);
    if (said) *said = p.out() + p.err();
    return status ? status->code : -1;
}

void jack_server::stop() { process_->stop(2s); }

void jack_server::kill() {
    process_->signal(SIGKILL);
    process_->wait(10s);
}

}  // namespace harness
