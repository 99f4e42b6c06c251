// A jackd2 server with the dummy backend, private to one test.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "target_config.h"

namespace harness {

// The SCHED_FIFO priority of the servers' real-time threads (jackd -P).
constexpr int server_realtime_priority = 10;

// Whether this machine lets a thread run under SCHED_FIFO at that priority. Asked
// once, of a short-lived thread of its own; the answer is kept for the process.
bool realtime_scheduling_allowed();

// The start of every jackd command line of the tests, the device's and the studio's
// alike: server `name`, real-time mode (-R -P server_realtime_priority) where
// realtime_scheduling_allowed(), else without it (-r), and a 5 s client timeout.
std::vector<std::string> jackd_args(const std::string& name);

// The overrun cycles in a stretch of jackd's log (its stdout and stderr together), as
// scripts/lib/suite.sh (jackd_overruns) counts them for the benchmarks: one line per
// cycle of either kind,
//   "JackTimedDriver::Process XRun = <n> usec"  the backend's cycle began late;
//   "JackAudioDriver::ProcessGraphAsyncMaster: Process error"  the graph had not
//       finished the previous cycle;
// so a cycle both late and unfinished counts twice. The lines "JackEngine::XRun:
// client ..." only name the late clients of such a cycle and do not count.
size_t jackd_overrun_lines(const std::string& log);

struct server_options {
    bool loopback = true;              // -L 2: loopback:playback_1/2 and loopback:capture_1/2
    bool refuse_self_connect = false;  // -a A: a client may not connect its own ports
    unsigned period = default_period;
    unsigned port_max = 0;  // -p: the port table's size; 0: jackd's own
    unsigned rate = 44100;
    // Where the server looks for internal clients (JACK_INTERNAL_DIR); empty: its own.
    std::string internal_dir;
    // Extra environment for jackd, e.g. a sanitizer runtime preloaded so that it can
    // load an instrumented internal client.
    std::vector<std::string> env;
    // Non-empty: the server is a device of the studio at this address, on JACK's
    // network backend (-d net) instead of the dummy one; the studio's netmanager
    // shows it as `net_name`, with `net_capture` channels from the studio and
    // `net_playback` to it, `net_latency` cycles behind.
    std::string net_master;
    std::string net_name = "device";
    unsigned net_capture = 2, net_playback = 2, net_latency = 2;
};

// A server without loopback ports: the programs' own connections to them fail, and no
// cycle through them can reorder the clients in the graph.
inline server_options without_loopback() {
    server_options options;
    options.loopback = false;
    return options;
}

class jack_server {
public:
    // Starts jackd under a name unique to this process and waits until it answers;
    // throws (with the server's log) if it does not. Its command line starts with
    // jackd_args(). In a cross build it is the target's jackd (jack_program), under
    // the emulator.
    explicit jack_server(server_options options = {});
    ~jack_server();  // stop()
    jack_server(const jack_server&) = delete;
    jack_server& operator=(const jack_server&) = delete;

    const std::string& name() const { return name_; }
    // The environment that points a client at this server and forbids auto-start.
    std::vector<std::string> client_env() const;
    pid_t pid() const { return process_->pid(); }
    bool running() { return process_->running(); }
    // What jackd wrote to stdout and to stderr.
    std::string out() const { return process_->out(); }
    std::string err() const { return process_->err(); }

    // Runs one of the server's tools (jack_load, ...) against it: its exit code, or -1
    // after 10 s; what it said goes to `said`.
    int tool(const std::string& name, const std::vector<std::string>& args,
             std::string* said = nullptr) const;

    // SIGTERM, then SIGKILL after a grace period (jackd can hang on SIGTERM once a
    // client died under it). Reaps. Idempotent.
    void stop();
    // SIGKILL now, as a crash would. Reaps.
    void kill();

private:
    std::string name_;
    std::unique_ptr<child_process> process_;
};

}  // namespace harness
