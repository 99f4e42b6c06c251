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

// How the program under test is run.
struct program_launch {
    std::string path;
    std::vector<std::string> args;  // args[0] is the client name
    bool stdin_pipe = false;
    int stdout_fd = -1;             // see child_process
    duration ready_within = 15s;    // generous: a sanitizer build on a loaded machine
};

class rig {
public:
    // The feed client is opened under `feed_name` ("spinreel" for a stand-in that the
    // program connects to itself), the recorder as "recorder".
    explicit rig(server_options options = {}, const std::string& feed_name = "feeder");

    jack_server server;
    harness_client feed;
    std::optional<child_process> program;

    harness_client& recorder() { return *recorder_; }
    // Before activate(): an output of the feed playing `signal` once the recording
    // begins, and an input of the recorder.
    void feeds(const std::string& port, std::vector<float> signal = {});
    void records(const std::string& port, size_t capacity);
    // Activates the feed and the recorder; start() does so when they are not yet.
    void activate();
    // Starts the program and waits until it is ready; the failure carries its stderr.
    ::testing::AssertionResult start(program_launch launch);
    // Makes each connection (source, destination) in order; fails naming the first
    // that the server refuses.
    ::testing::AssertionResult connect(
        const std::vector<std::pair<std::string, std::string>>& connections);
    // After `settle` (for a new connection's overruns and their notices to pass), the
    // recording and the feed begin in the same cycle.
    void begin_recording(duration settle = 0ms);
    // Until every input of the recorder is full.
    ::testing::AssertionResult wait_recorded(duration timeout);
    ::testing::AssertionResult record(duration settle, duration timeout);

    std::vector<float> captured(const std::string& port) const { return recorder_->captured(port); }
    overrun_map overruns() const { return recorder_->overruns(); }
    // A new recorder with these inputs, active, in place of the one that has recorded:
    // a recorder records once, and the program may run on for more recordings.
    void new_recorder(const std::vector<std::pair<std::string, size_t>>& inputs);

private:
    std::unique_ptr<harness_client> recorder_;
    std::string first_input_;
    size_t capacity_ = 0;
    bool active_ = false;
};

}  // namespace harness
