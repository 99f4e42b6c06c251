// The echo processor on its own: the delay that each `time` gives, heard as the
// sample where an impulse comes back; the feedback gain; block splitting, the ring
// wrapping, in-place use; and bit-for-bit agreement with a plain comb written here.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "echo.h"

namespace {

void reset(float time, float release) {
    echo_init(44100);
    echo::time = time;
    echo::release = release;
}

// Runs `input` through the processor in blocks of `block` frames.
std::vector<float> run(const std::vector<float>& input, size_t block) {
    std::vector<float> output(input.size());
    for (size_t done = 0; done < input.size(); done += block) {
        const size_t n = std::min(block, input.size() - done);
        const float* in[1] = {input.data() + done};
        float* out[1] = {output.data() + done};
        echo_compute(static_cast<int32_t>(n), in, out);
    }
    return output;
}

std::vector<float> impulse(size_t frames) {
    std::vector<float> v(frames, 0.0f);
    v[0] = 1.0f;
    return v;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The first sample after the impulse itself where its echo comes back, or 0.
size_t echo_arrival(float time) {
    reset(time, 50.0f);
    const auto out = run(impulse(140000), 128);
    for (size_t i = 1; i < out.size(); ++i) {
        if (out[i] != 0.0f) return i;
    }
    return 0;
}

// A plain comb with a ring of its own: the delay worked out in 64-bit integers
// from the product rounded to float, saturated at the int32 limits.
struct reference_echo {
    std::vector<float> ring = std::vector<float>(262144, 0.0f);
    uint32_t index = 0;

    static int64_t delay(float time) {
        const float samples_per_ms = static_cast<float>(44100) * 0.001f;
        const double product = static_cast<float>(samples_per_ms * time);
        int64_t truncated = 0;
        if (std::isnan(product)) truncated = 0;
        else if (product >= 2147483647.0) truncated = 2147483647;
        else if (product <= -2147483648.0) truncated = -2147483648LL;
        else truncated = static_cast<int64_t>(std::trunc(product));
        const int64_t wrapped = ((truncated - 1) % 131072 + 131072) % 131072;
        return wrapped + 1;
    }

    void compute(const float* in, float* out, size_t n, float time, float release) {
        const int64_t d = delay(time);
        const float gain = release * 0.01f;
        for (size_t i = 0; i < n; ++i) {
            const int64_t read = (static_cast<int64_t>(index) - d) & 0x3FFFF;
            const float y = ring[static_cast<size_t>(read)] * gain + in[i];
            ring[index & 0x3FFFF] = y;
            out[i] = y;
            ++index;
        }
    }
};

struct delay_case {
    float time;
    size_t samples;
};

class echo_delay : public testing::TestWithParam<delay_case> {};

TEST_P(echo_delay, impulse_comes_back_every_delay_at_half_the_level) {
    const auto [time, samples] = GetParam();
    EXPECT_EQ(echo_arrival(time), samples);
    reset(time, 50.0f);
    const auto out = run(impulse(3 * samples + 1), 128);
    float level = 1.0f;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i % samples == 0) {
            ASSERT_EQ(out[i], level) << "repeat " << i / samples;
            level *= 0.5f;
        } else {
            ASSERT_EQ(out[i], 0.0f) << "frame " << i;
        }
    }
}

// At 44.1 samples per millisecond; out-of-range times wrap within 17 bits, and
// time 0 (no argument) gives the longest delay, not none.
INSTANTIATE_TEST_SUITE_P(times, echo_delay,
                         testing::Values(delay_case{1, 44}, delay_case{10, 441},
                                         delay_case{1000, 44100}, delay_case{2000, 88200},
                                         delay_case{2973, 37}, delay_case{3000, 1228},
                                         delay_case{-1, 131028}, delay_case{0, 131072},
                                         // Below a millisecond: delays shorter than a
                                         // block, where a block reads its own output.
                                         delay_case{0.03f, 1}, delay_case{0.05f, 2},
                                         delay_case{0.1f, 4},
                                         delay_case{0.5f, 22}));

TEST(echo_delay_limits, huge_times_saturate_like_the_device) {
    // 4.41e9 samples saturates at INT32_MAX: 2^31 - 2 keeps 0x1FFFE, plus one.
    // (The bare x86 conversion would give INT32_MIN, hence 131072.)
    EXPECT_EQ(echo_arrival(100000000.0f), 131071u);
    EXPECT_EQ(echo_arrival(std::numeric_limits<float>::infinity()), 131071u);
    // INT32_MIN minus one wraps to INT32_MAX: 0x1FFFF, plus one.
    EXPECT_EQ(echo_arrival(-100000000.0f), 131072u);
    // NaN truncates to 0, as time 0 does.
    EXPECT_EQ(echo_arrival(std::numeric_limits<float>::quiet_NaN()), 131072u);
}

TEST(echo_delay_limits, only_the_samples_per_millisecond_follow_the_rate) {
    echo_init(48000);
    echo::time = 10.0f;
    echo::release = 50.0f;
    const auto out = run(impulse(1000), 64);
    size_t arrival = 0;
    for (size_t i = 1; i < out.size() && arrival == 0; ++i) {
        if (out[i] != 0.0f) arrival = i;
    }
    EXPECT_EQ(arrival, 480u);
}

TEST(echo_feedback, release_0_passes_finite_input_unchanged) {
    reset(10.0f, 0.0f);
    std::mt19937 random(3);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> in(50000);
    for (auto& x : in) x = sample(random);
    in[100] = 1e-40f;  // subnormal
    in[101] = -3e38f;
    in[102] = 0.0f;
    in[103] = -0.0f;
    const auto out = run(in, 256);
    for (size_t i = 0; i < in.size(); ++i) {
        // A zero product plus -0.0 is +0.0, so only a zero may change its sign.
        if (in[i] != 0.0f) ASSERT_TRUE(same_bits(out[i], in[i])) << "frame " << i;
        else ASSERT_EQ(out[i], 0.0f) << "frame " << i;
    }
}

TEST(echo_feedback, release_100_repeats_an_impulse_without_decay) {
    reset(10.0f, 100.0f);
    const auto out = run(impulse(441 * 20 + 1), 128);
    for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], i % 441 == 0 ? 1.0f : 0.0f) << "frame " << i;
    }
}

// Halving at 50 is what every delay case above hears.
TEST(echo_feedback, release_above_100_grows_each_repeat) {
    reset(1.0f, 150.0f);
    const auto out = run(impulse(44 * 30 + 1), 100);
    for (size_t k = 1; k <= 30; ++k) EXPECT_GT(out[44 * k], out[44 * (k - 1)]) << "repeat " << k;
}

TEST(echo_feedback, dry_output_keeps_the_line_running) {
    reset(1.0f, 50.0f);
    echo::output_select = 0.0f;
    const auto dry = run(impulse(32), 32);
    EXPECT_EQ(dry, impulse(32));
    echo::output_select = 1.0f;
    const auto wet = run(std::vector<float>(32, 0.0f), 32);
    // The impulse went into the line while the dry input went out.
    EXPECT_EQ(wet[44 - 32], 0.5f);
}

TEST(echo_blocks, count_0_changes_no_state_and_writes_nothing) {
    reset(10.0f, 50.0f);
    run(impulse(1000), 100);
    const uint32_t index = echo::write_index;
    std::vector<float> line(echo::delay_line, echo::delay_line + echo::delay_line_length);
    const float in[1] = {0.25f};
    float out[1] = {-7.0f};
    const float* inputs[1] = {in};
    float* outputs[1] = {out};
    echo_compute(0, inputs, outputs);
    EXPECT_EQ(out[0], -7.0f);
    EXPECT_EQ(echo::write_index, index);
    EXPECT_EQ(std::memcmp(line.data(), echo::delay_line, line.size() * sizeof(float)), 0);
}

TEST(echo_blocks, any_split_of_the_input_gives_the_same_output_and_state) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> in(300000);
    for (auto& x : in) x = sample(random);

    for (const float time : {7.0f, 0.1f, 2000.0f}) {
        reset(time, 90.0f);
        const auto whole = run(in, in.size());
        const uint32_t whole_index = echo::write_index;
        const std::vector<float> whole_line(echo::delay_line,
                                            echo::delay_line + echo::delay_line_length);

        reset(time, 90.0f);
        std::vector<float> split(in.size());
        std::uniform_int_distribution<size_t> block(0, 3000);
        for (size_t done = 0; done < in.size();) {
            const size_t n = std::min(block(random), in.size() - done);
            const float* inputs[1] = {in.data() + done};
            float* outputs[1] = {split.data() + done};
            echo_compute(static_cast<int32_t>(n), inputs, outputs);
            done += n;
        }
        EXPECT_EQ(std::memcmp(whole.data(), split.data(), in.size() * sizeof(float)), 0)
            << "time " << time;
        EXPECT_EQ(echo::write_index, whole_index);
        EXPECT_EQ(std::memcmp(whole_line.data(), echo::delay_line,
                              whole_line.size() * sizeof(float)),
                  0);
    }
}

TEST(echo_blocks, processing_in_place_matches_separate_buffers) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::vector<float> in(20000);
    for (auto& x : in) x = sample(random);
    for (const float select : {1.0f, 0.0f}) {
        reset(0.5f, 80.0f);
        echo::output_select = select;
        const auto separate = run(in, 1000);

        reset(0.5f, 80.0f);
        echo::output_select = select;
        std::vector<float> buffer = in;
        for (size_t done = 0; done < buffer.size(); done += 1000) {
            const float* inputs[1] = {buffer.data() + done};
            float* outputs[1] = {buffer.data() + done};
            echo_compute(1000, inputs, outputs);
        }
        EXPECT_EQ(std::memcmp(separate.data(), buffer.data(), in.size() * sizeof(float)), 0)
            << "select " << select;
    }
}

TEST(echo_blocks, init_clears_what_a_run_left) {
    reset(0.1f, 100.0f);
    run(std::vector<float>(5000, 0.5f), 512);
    echo::output_select = 0.0f;
    echo_init(44100);
    EXPECT_EQ(echo::time, 0.0f);
    EXPECT_EQ(echo::release, 0.0f);
    EXPECT_EQ(echo::write_index, 0u);
    EXPECT_EQ(echo::output_select, 1.0f);
    EXPECT_EQ(echo::sampling_rate, 44100);
    for (int32_t i = 0; i < echo::delay_line_length; ++i) {
        ASSERT_EQ(echo::delay_line[i], 0.0f) << "line " << i;
    }
}

// Random times (fractions of a millisecond, the usual range, wrapping and negative
// ones) and feedback, random block sizes, and a frame counter that passes 2^32.
TEST(echo_reference, matches_a_plain_comb_bit_for_bit) {
    std::mt19937 random(2024);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::uniform_int_distribution<size_t> block(1, 2048);
    std::uniform_real_distribution<float> release(-100.0f, 100.0f);
    const std::vector<float> times = {0.02f, 0.03f, 0.05f, 0.07f, 0.17f, 0.4f, 3.0f, 42.0f, 1500.0f, 2972.3f,
                                      5000.0f, -0.3f, -700.0f, 12345.6f, 2e9f};
    for (const float time : times) {
        reset(time, release(random));
        echo::write_index = 0xFFFF0000u;
        reference_echo ref;
        ref.index = echo::write_index;

        std::vector<float> in(200000), got(in.size()), want(in.size());
        for (auto& x : in) x = sample(random);
        for (size_t done = 0; done < in.size();) {
            const size_t n = std::min(block(random), in.size() - done);
            const float* inputs[1] = {in.data() + done};
            float* outputs[1] = {got.data() + done};
            echo_compute(static_cast<int32_t>(n), inputs, outputs);
            ref.compute(in.data() + done, want.data() + done, n, echo::time, echo::release);
            done += n;
        }
        size_t first_difference = in.size();
        for (size_t i = 0; i < in.size() && first_difference == in.size(); ++i) {
            if (!same_bits(got[i], want[i])) first_difference = i;
        }
        EXPECT_EQ(first_difference, in.size()) << "time " << time << ", release " << echo::release;
        EXPECT_EQ(echo::write_index, ref.index);
    }
}

}  // namespace
