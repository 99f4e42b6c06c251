// A program under test in a graph of the test's own: a jackd, a stand-in peer that
// feeds the program, the program as a child process, and a recorder of what comes
// out. The usual run: feeds() and records() ports, start() the program, connect(),
// record(); then captured() and overruns() for the comparison.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "harness_client.h"
#include "jack_server.h"

namespace harness {

// Connections, each (source, destination), by full port name.
using port_pairs = std::vector<std::pair<std::string, std::string>>;

struct program_launch {
    std::string path;
    std::vector<std::string> args;  // args[0] is the client name
    bool stdin_pipe = false;
    int stdout_fd = -1;           // see child_process
    duration ready_within = 15s;  // generous: a sanitizer build on a loaded machine
};

class rig {
public:
    // The feed opens under `feed_name` ("spinreel" for a stand-in that the program
    // connects to by itself), the recorder as "recorder".
    explicit rig(server_options options = {}, const std::string& feed_name = "feeder");

    jack_server server;
    harness_client feed;
    std::optional<child_process> program;

    harness_client& recorder() { return *recorder_; }
    // Before activate(): a feed output playing `signal` from the recording's first
    // cycle on, and a recorder input.
    void feeds(const std::string& port, std::vector<float> signal = {}) {
        feed.add_output(port, std::move(signal));
    }
    void records(const std::string& port, size_t capacity) { recorder_->add_input(port, capacity); }
    // Activates the feed and the recorder; start() does it if not done yet.
    void activate();
    // Starts the program and waits until it is ready; a failure carries its stderr.
    ::testing::AssertionResult start(program_launch launch);
    // Each (source, destination) in order; fails naming the first the server refuses.
    ::testing::AssertionResult connect(const port_pairs& pairs);
    // After `settle` (for a new connection's overruns and their notices to pass), the
    // recording and the feed begin in the same cycle.
    void begin_recording(duration settle = 0ms);
    // Until every input of the recorder is full; a failure says how far it got.
    ::testing::AssertionResult wait_recorded(duration timeout);
    ::testing::AssertionResult record(duration settle, duration timeout) {
        begin_recording(settle);
        return wait_recorded(timeout);
    }
    // start(), connect() and record(), up to the first failure.
    ::testing::AssertionResult run(program_launch launch, const port_pairs& pairs, duration settle,
                                   duration timeout);
    std::vector<float> captured(const std::string& port) const { return recorder_->captured(port); }
    overrun_map overruns() const { return recorder_->overruns(); }
    // A fresh recorder with these inputs, active, in place of the one that has recorded
    // (a recorder records once), for one more recording of a program that runs on.
    void new_recorder(const std::vector<std::pair<std::string, size_t>>& inputs);

private:
    std::unique_ptr<harness_client> recorder_;
    bool active_ = false;
};

}  // namespace harness
