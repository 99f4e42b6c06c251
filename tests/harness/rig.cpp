// A jackd, a feed, a program under test and a recorder, set up in the usual order.
#include "rig.h"

#include <cstdint>
#include <thread>

namespace harness {

rig::rig(server_options options, const std::string& feed_name)
    : server(options),
      feed(server.name(), feed_name),
      recorder_(std::make_unique<harness_client>(server.name(), "recorder")) {}

void rig::activate() {
    feed.activate();
    recorder_->activate();
    active_ = true;
}

::testing::AssertionResult rig::start(program_launch launch) {
    if (!active_) activate();
    program.emplace(launch.path, launch.args, server.client_env(), launch.stdin_pipe,
                    launch.stdout_fd);
    if (wait_frame_ready(*program, launch.ready_within)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << launch.args.front() << " did not start:\n" << program->err();
}

::testing::AssertionResult rig::connect(const port_pairs& pairs) {
    for (const auto& [source, destination] : pairs) {
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
    // The recorder caps the frames it waits for at its inputs' capacity.
    if (recorder_->wait_captured(SIZE_MAX, timeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "recording incomplete after " << timeout.count()
                                         << " ms: " << recorder_->cycles() << " cycles run";
}

::testing::AssertionResult rig::run(program_launch launch, const port_pairs& pairs, duration settle,
                                    duration timeout) {
    auto result = start(std::move(launch));
    if (result) result = connect(pairs);
    return result ? record(settle, timeout) : result;
}

void rig::new_recorder(const std::vector<std::pair<std::string, size_t>>& inputs) {
    recorder_.reset();  // its name goes with it
    recorder_ = std::make_unique<harness_client>(server.name(), "recorder");
    for (const auto& [port, capacity] : inputs) records(port, capacity);
    recorder_->activate();
}

}  // namespace harness
