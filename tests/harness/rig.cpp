// A jackd, a feed, a program under test and a recorder, set up in the usual order.
#include "rig.h"

#include <algorithm>
#include <thread>

namespace harness {

rig::rig(server_options options, const std::string& feed_name)
    : server(options),
      feed(server.name(), feed_name),
      recorder_(std::make_unique<harness_client>(server.name(), "recorder")) {}

void rig::feeds(const std::string& port, std::vector<float> signal) {
    feed.add_output(port, std::move(signal));
}

void rig::records(const std::string& port, size_t capacity) {
    recorder_->add_input(port, capacity);
    if (first_input_.empty()) first_input_ = port;
    capacity_ = std::max(capacity_, capacity);
}

void rig::activate() {
    feed.activate();
    recorder_->activate();
    active_ = true;
}

::testing::AssertionResult rig::start(program_launch launch) {
    if (!active_) activate();
    program.emplace(launch.path, launch.args, server.client_env(), launch.stdin_pipe,
                    launch.stdout_fd);
    if (!wait_frame_ready(*program, launch.ready_within)) {
        return ::testing::AssertionFailure() << launch.args.front() << " did not start:\n"
                                             << program->err();
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult rig::connect(
    const std::vector<std::pair<std::string, std::string>>& connections) {
    for (const auto& [source, destination] : connections) {
        if (!feed.connect(source, destination)) {
            return ::testing::AssertionFailure() << "cannot connect " << source << " to " << destination;
        }
    }
    return ::testing::AssertionSuccess();
}

void rig::begin_recording(duration settle) {
    std::this_thread::sleep_for(settle);
    recorder_->start_capture();
    feed.start_feed();
}

::testing::AssertionResult rig::wait_recorded(duration timeout) {
    if (recorder_->wait_captured(capacity_, timeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "recording incomplete: "
                                         << recorder_->captured(first_input_).size() << " of "
                                         << capacity_ << " frames";
}

::testing::AssertionResult rig::record(duration settle, duration timeout) {
    begin_recording(settle);
    return wait_recorded(timeout);
}

void rig::new_recorder(const std::vector<std::pair<std::string, size_t>>& inputs) {
    recorder_.reset();  // its name goes with it
    recorder_ = std::make_unique<harness_client>(server.name(), "recorder");
    first_input_.clear();
    capacity_ = 0;
    for (const auto& [port, capacity] : inputs) records(port, capacity);
    recorder_->activate();
}

}  // namespace harness
