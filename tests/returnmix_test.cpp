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
    rig mix;
    ASSERT_TRUE(mix.start({RETURNMIX_PATH, {"rm"}}));
    const std::string err = mix.program->err();

    using list = std::vector<std::string>;
    EXPECT_EQ(mix.feed.connections("rm:output1"), list{"loopback:playback_1"});
    EXPECT_EQ(mix.feed.connections("rm:output2"), list{"loopback:playback_2"});
    EXPECT_EQ(mix.feed.connections("rm:feedback1"), list{"loopback:capture_1"});
    EXPECT_EQ(mix.feed.connections("rm:feedback2"), list{"loopback:capture_2"});
    EXPECT_EQ(mix.feed.connections("rm:input1"), list{});
    EXPECT_EQ(mix.feed.connections("rm:input2"), list{});
    EXPECT_EQ(count_line(err, "cannot connect loopback output ports"), 0) << err;
    EXPECT_EQ(count_line(err, "cannot connect loopback input ports"), 0) << err;
}

constexpr size_t period = default_period;

// returnmix on a server without loopback ports, fed on input1/input2 (and, if
// given, feedback1/feedback2) by one client while another records output1/output2.
// Without `feedback` the feedback ports stay unconnected, hence silent.
::testing::AssertionResult run_mix(rig& mix, const std::vector<float>& in1,
                                   const std::vector<float>& in2,
                                   const std::vector<float>* feedback = nullptr) {
    mix.feeds("in1", in1);
    mix.feeds("in2", in2);
    port_pairs wiring{
        {"feeder:in1", "rm:input1"}, {"feeder:in2", "rm:input2"},
        {"rm:output1", "recorder:out1"}, {"rm:output2", "recorder:out2"}};
    if (feedback) {
        mix.feeds("fb1", *feedback);
        mix.feeds("fb2", *feedback);
        wiring.insert(wiring.end(), {{"feeder:fb1", "rm:feedback1"}, {"feeder:fb2", "rm:feedback2"}});
    }
    // Room for latency and late cycles.
    mix.records("out1", in1.size() + 32 * period);
    mix.records("out2", in1.size() + 32 * period);
    return mix.run({RETURNMIX_PATH, {"rm"}}, wiring, 0ms, 10s);
}

::testing::AssertionResult outputs_are(const rig& mix, const std::vector<float>& want1,
                                       const std::vector<float>& want2) {
    const auto overruns = mix.overruns();
    return all_of({blocks_match(mix.captured("out1"), want1, period, 2, &overruns),
                   blocks_match(mix.captured("out2"), want2, period, 2, &overruns)});
}

TEST(returnmix_connections, missing_loopback_ports_are_reported_once_each_and_mixing_goes_on) {
    const auto in1 = ramp(40 * period, 0.01, 1.234567e-5);
    const auto in2 = ramp(40 * period, -0.02, -1.1e-5);
    EXPECT_TRUE(retry_inconclusive([&] {
        rig mix{without_loopback()};
        if (auto ran = run_mix(mix, in1, in2); !ran) return ran;
        const std::string err = mix.program->err();
        EXPECT_EQ(count_line(err, "cannot connect loopback output ports"), 2) << err;
        EXPECT_EQ(count_line(err, "cannot connect loopback input ports"), 2) << err;
        EXPECT_TRUE(lines_in_order(err, {"cannot connect loopback output ports",
                                         "cannot connect loopback output ports",
                                         "cannot connect loopback input ports",
                                         "cannot connect loopback input ports"}))
            << err;
        EXPECT_TRUE(mix.program->running());
        return outputs_are(mix, in1, in2);
    }));
}

TEST(returnmix_mixing, silent_feedback_passes_both_inputs_bit_for_bit) {
    const auto in1 = ramp(200 * period, 0.01, 1.234567e-5);
    const auto in2 = ramp(200 * period, -0.02, -1.1e-5);
    EXPECT_TRUE(retry_inconclusive([&] {
        rig mix{without_loopback()};
        if (auto ran = run_mix(mix, in1, in2); !ran) return ran;
        return outputs_are(mix, in1, in2);
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
        rig mix{without_loopback()};
        if (auto ran = run_mix(mix, in1, in2, &ones); !ran) return ran;
        return outputs_are(mix, want1, want2);
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
