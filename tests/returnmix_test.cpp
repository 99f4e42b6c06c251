// returnmix: its connections to the loopback ports and its mix, through a real
// jackd and directly on the mixing function.
#include <gtest/gtest.h>

#include <random>

#include "harness.h"
#include "returnmix.h"

using namespace harness;

namespace {

float mixed(float input, float feedback) {
    return static_cast<float>(double(input) + double(feedback) * 0.7);
}

const std::vector<std::string> own_ports = {"output1", "output2", "input1",
                                            "input2",  "feedback1", "feedback2"};

TEST(returnmix_connections, loopback_ports_are_connected_without_messages) {
    jack_server server;
    harness_client observer(server.name(), "observer");
    child_process rm(RETURNMIX_PATH, {"rm"}, server.client_env());
    ASSERT_TRUE(wait_frame_ready(rm)) << rm.err();

    using list = std::vector<std::string>;
    EXPECT_EQ(observer.connections("rm:output1"), list{"loopback:playback_1"});
    EXPECT_EQ(observer.connections("rm:output2"), list{"loopback:playback_2"});
    EXPECT_EQ(observer.connections("rm:feedback1"), list{"loopback:capture_1"});
    EXPECT_EQ(observer.connections("rm:feedback2"), list{"loopback:capture_2"});
    EXPECT_EQ(observer.connections("rm:input1"), list{});
    EXPECT_EQ(observer.connections("rm:input2"), list{});
    EXPECT_EQ(count_line(rm.err(), "cannot connect loopback output ports"), 0) << rm.err();
    EXPECT_EQ(count_line(rm.err(), "cannot connect loopback input ports"), 0) << rm.err();
}

server_options without_loopback() {
    server_options options;
    options.loopback = false;
    return options;
}

// returnmix on a server without loopback ports, fed on input1/input2 (and, if
// given, feedback1/feedback2) by one client while another records output1/output2.
// Without `feedback` the feedback ports stay unconnected, hence silent.
struct mix_rig {
    jack_server server{without_loopback()};
    child_process rm{RETURNMIX_PATH, {"rm"}, server.client_env()};
    harness_client feeder{server.name(), "feeder"};
    harness_client recorder{server.name(), "recorder"};
    const size_t period = feeder.buffer_size();

    void run(const std::vector<float>& in1, const std::vector<float>& in2,
             const std::vector<float>* feedback = nullptr) {
        ASSERT_TRUE(wait_frame_ready(rm)) << rm.err();
        const size_t capacity = in1.size() + 32 * period;  // room for latency and late cycles
        feeder.add_output("in1", in1);
        feeder.add_output("in2", in2);
        if (feedback) {
            feeder.add_output("fb1", *feedback);
            feeder.add_output("fb2", *feedback);
        }
        recorder.add_input("out1", capacity);
        recorder.add_input("out2", capacity);
        feeder.activate();
        recorder.activate();
        ASSERT_TRUE(feeder.connect("feeder:in1", "rm:input1"));
        ASSERT_TRUE(feeder.connect("feeder:in2", "rm:input2"));
        if (feedback) {
            ASSERT_TRUE(feeder.connect("feeder:fb1", "rm:feedback1"));
            ASSERT_TRUE(feeder.connect("feeder:fb2", "rm:feedback2"));
        }
        ASSERT_TRUE(recorder.connect("rm:output1", "recorder:out1"));
        ASSERT_TRUE(recorder.connect("rm:output2", "recorder:out2"));
        recorder.start_capture();
        feeder.start_feed();
        ASSERT_TRUE(recorder.wait_captured(capacity, 10s));
    }

    ::testing::AssertionResult outputs_are(const std::vector<float>& want1,
                                           const std::vector<float>& want2) {
        const auto overruns = recorder.overruns();
        return all_of({blocks_match(recorder.captured("out1"), want1, period, 2, &overruns),
                       blocks_match(recorder.captured("out2"), want2, period, 2, &overruns)});
    }
};

constexpr size_t period = default_period;

TEST(returnmix_connections, missing_loopback_ports_are_reported_once_each_and_mixing_goes_on) {
    const auto in1 = ramp(40 * period, 0.01, 1.234567e-5);
    const auto in2 = ramp(40 * period, -0.02, -1.1e-5);
    EXPECT_TRUE(retry_inconclusive([&] {
        mix_rig rig;
        rig.run(in1, in2);
        const std::string err = rig.rm.err();
        EXPECT_EQ(count_line(err, "cannot connect loopback output ports"), 2) << err;
        EXPECT_EQ(count_line(err, "cannot connect loopback input ports"), 2) << err;
        EXPECT_TRUE(lines_in_order(err, {"cannot connect loopback output ports",
                                         "cannot connect loopback output ports",
                                         "cannot connect loopback input ports",
                                         "cannot connect loopback input ports"}))
            << err;
        EXPECT_TRUE(rig.rm.running());
        return rig.outputs_are(in1, in2);
    }));
}

TEST(returnmix_mixing, silent_feedback_passes_both_inputs_bit_for_bit) {
    const auto in1 = ramp(200 * period, 0.01, 1.234567e-5);
    const auto in2 = ramp(200 * period, -0.02, -1.1e-5);
    EXPECT_TRUE(retry_inconclusive([&] {
        mix_rig rig;
        rig.run(in1, in2);
        return rig.outputs_are(in1, in2);
    }));
}

TEST(returnmix_mixing, full_feedback_adds_0_7_rounded_once_from_double) {
    const size_t frames = 200 * period;
    const auto in1 = ramp(frames, 0.01, 1.234567e-5);
    const auto in2 = ramp(frames, -0.02, -1.1e-5);
    const std::vector<float> ones(frames, 1.0f);
    std::vector<float> want1(frames), want2(frames);
    size_t differs_from_float_sum = 0;
    for (size_t i = 0; i < frames; ++i) {
        want1[i] = mixed(in1[i], 1.0f);
        want2[i] = mixed(in2[i], 1.0f);
        differs_from_float_sum += want1[i] != in1[i] + 0.7f;
    }
    // The signal must tell the double mix from a float one.
    ASSERT_GT(differs_from_float_sum, frames / 10);
    EXPECT_TRUE(retry_inconclusive([&] {
        mix_rig rig;
        rig.run(in1, in2, &ones);
        return rig.outputs_are(want1, want2);
    }));
}

TEST(returnmix_mix, zero_frames_writes_nothing) {
    const float in[1] = {0.5f}, fb[1] = {0.25f};
    float out[1] = {-3.0f};
    returnmix_mix(0, in, fb, out);
    EXPECT_EQ(out[0], -3.0f);
}

TEST(returnmix_mix, writes_exactly_nframes_each_rounded_once_from_double) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    constexpr size_t n = 4096;
    std::vector<float> in(n), fb(n), out(n + 1, -7.0f);
    for (size_t i = 0; i < n; ++i) {
        in[i] = sample(random);
        fb[i] = sample(random) * (i % 2 ? 1.0f : 1e-3f);
    }
    returnmix_mix(n, in.data(), fb.data(), out.data());

    // The values must tell the double mix from float arithmetic and from rounding
    // the product to float before the sum.
    size_t differs_from_float_mix = 0, differs_from_rounded_product = 0;
    for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i], mixed(in[i], fb[i])) << "frame " << i;
        differs_from_float_mix += out[i] != in[i] + fb[i] * 0.7f;
        differs_from_rounded_product += out[i] != float(double(in[i]) + double(float(fb[i] * 0.7)));
    }
    EXPECT_GT(differs_from_float_mix, 0u);
    EXPECT_GT(differs_from_rounded_product, 0u);
    EXPECT_EQ(out[n], -7.0f);
}

}  // namespace
