// Every processor's output over a fixed input, reduced to a 64-bit FNV-1a hash of
// the raw float bits and compared with constants. The input is built from integers
// only (an LCG, scaled by powers of two), so no two C libraries can make it differ,
// and it is fed in blocks of uneven lengths so that state carried across blocks
// counts too. The same constants hold on x86-64 and on the device's 32-bit ARM:
// both round every single- and double-precision step as written (no contraction
// into fused multiply-adds), and their C libraries agree on tanf and powf for the
// per-block coefficients. A mismatch prints the hash that this build produced.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "distortion.h"
#include "echo.h"
#include "loop_mix.h"
#include "loopback_mix.h"

namespace {

// Block lengths of one pass: a single frame, odd sizes, and the device's periods.
const std::vector<int32_t> block_lengths = {1, 7, 64, 128, 3, 256, 33, 1024, 500, 2, 95, 512};
constexpr int passes = 4;  // 2625 frames a pass, 10500 in all

struct fnv1a_t {
    uint64_t state = 0xcbf29ce484222325ull;
    void add_u32(uint32_t value) {
        for (int byte = 0; byte < 4; ++byte) {
            state ^= (value >> (8 * byte)) & 0xffu;
            state *= 0x100000001b3ull;
        }
    }
    void add(const float* values, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &values[i], sizeof bits);
            add_u32(bits);
        }
    }
};

// Numerical Recipes' LCG; the top 24 bits make a value in [-1, 1) exactly.
struct lcg_t {
    uint32_t state;
    uint32_t next() { return state = state * 1664525u + 1013904223u; }
    float sample() { return static_cast<float>(static_cast<int32_t>(next()) >> 8) * (1.0f / 8388608.0f); }
};

// Noise at half scale over a slow triangle of period 400 frames, all in exact steps.
std::vector<float> test_signal(uint32_t seed, size_t frames) {
    lcg_t lcg{seed};
    std::vector<float> signal(frames);
    for (size_t i = 0; i < frames; ++i) {
        const int32_t phase = static_cast<int32_t>(i % 400);
        const int32_t triangle = phase < 200 ? phase - 100 : 300 - phase;  // -100 .. 100
        signal[i] = lcg.sample() * 0.5f + static_cast<float>(triangle) * (1.0f / 256.0f);
    }
    return signal;
}

size_t total_frames() {
    size_t total = 0;
    for (int32_t n : block_lengths) total += static_cast<size_t>(n);
    return total * passes;
}

// Runs `block(at, n)` over the whole signal in the uneven blocks.
template <typename Block>
void in_blocks(Block block) {
    size_t at = 0;
    for (int pass = 0; pass < passes; ++pass) {
        for (int32_t n : block_lengths) {
            block(at, n);
            at += static_cast<size_t>(n);
        }
    }
}

std::string hex64(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%016" PRIx64, value);
    return text;
}

#define EXPECT_HASH(expected, got) EXPECT_EQ(hex64(expected), hex64(got))

// ---- distortion ---------------------------------------------------------------

uint64_t distortion_hash(void (*set_parameters)()) {
    distortion_init(48000);
    set_parameters();
    const std::vector<float> in = test_signal(12345u, total_frames());
    std::vector<float> out(in.size());
    fnv1a_t hash;
    in_blocks([&](size_t at, int32_t n) {
        const float* inputs[] = {in.data() + at};
        float* outputs[] = {out.data() + at};
        distortion_compute(n, inputs, outputs);
        hash.add(out.data() + at, static_cast<size_t>(n));
    });
    return hash.state;
}

TEST(same_bits, distortion_at_its_defaults) {
    EXPECT_HASH(0x683d4631e1c01f52ull, distortion_hash([] {}));
}

TEST(same_bits, distortion_with_overdrive) {
    EXPECT_HASH(0xed9f671dfae7c83eull, distortion_hash([] {
                    using namespace distortion;
                    driverover = 1.0f;
                    overdriver = 7.0f;
                    drive = 0.3f;
                    drivegain = -3.0f;
                    vibrato = 0.0f;
                }));
}

TEST(same_bits, distortion_with_overdrive_and_filters_bypassed) {
    EXPECT_HASH(0x686d1a12aca78135ull, distortion_hash([] {
                    using namespace distortion;
                    driverover = 1.0f;
                    overdriver = 13.0f;
                    drivelevel1 = 0.1f;
                    low_highpass = 0.0f;
                    low_highcut = 0.0f;
                }));
}

TEST(same_bits, distortion_with_wide_filters_and_a_long_delay) {
    EXPECT_HASH(0x3dd8c4da0e5fc4c9ull, distortion_hash([] {
                    using namespace distortion;
                    highpass = 50.0f;
                    lowpass = 12000.0f;
                    highcut = 8000.0f;
                    lowcut = 50.0f;
                    trigger = 0.5f;
                    vibrato = 200.0f;
                    drive = 0.9f;
                    drivegain = 4.5f;
                }));
}

// ---- echo ---------------------------------------------------------------------

uint64_t echo_hash(float time, float release) {
    echo_init(44100);
    echo::time = time;
    echo::release = release;
    const std::vector<float> in = test_signal(777u, total_frames());
    std::vector<float> out(in.size());
    fnv1a_t hash;
    in_blocks([&](size_t at, int32_t n) {
        const float* inputs[] = {in.data() + at};
        float* outputs[] = {out.data() + at};
        echo_compute(n, inputs, outputs);
        hash.add(out.data() + at, static_cast<size_t>(n));
    });
    return hash.state;
}

TEST(same_bits, echo_short_delay_half_feedback) {
    EXPECT_HASH(0x04f16465b00b5bf3ull, echo_hash(10.0f, 50.0f));
}

TEST(same_bits, echo_long_delay_high_feedback) {
    // 150 ms is 6615 frames: the echo of the first pass lands in the later ones.
    EXPECT_HASH(0x84a9efe190d4d485ull, echo_hash(150.0f, 90.0f));
}

// ---- the two mixers -------------------------------------------------------------

TEST(same_bits, returnmix_mix) {
    const std::vector<float> in = test_signal(1u, total_frames());
    const std::vector<float> feedback = test_signal(2u, total_frames());
    std::vector<float> out(in.size());
    fnv1a_t hash;
    in_blocks([&](size_t at, int32_t n) {
        returnmix_mix(static_cast<uint32_t>(n), in.data() + at, feedback.data() + at, out.data() + at);
        hash.add(out.data() + at, static_cast<size_t>(n));
    });
    EXPECT_HASH(0x24ba4d96706d24d1ull, hash.state);
}

// A loop of `values` 16-bit values from the LCG, full scale, the extremes included.
std::vector<int16_t> loop_values(size_t values) {
    lcg_t lcg{99u};
    std::vector<int16_t> loop(values);
    for (size_t i = 0; i < values; ++i) loop[i] = static_cast<int16_t>(lcg.next() >> 16);
    loop[0] = -32768;
    loop[1] = 32767;
    return loop;
}

uint64_t spinreel_hash(int channels, int32_t frames) {
    std::vector<int16_t> values = loop_values(static_cast<size_t>(frames) * (channels == 1 ? 1 : 2));
    sample_buffer_t loop{values.data(), frames, 0};
    const std::vector<float> in1 = test_signal(3u, total_frames());
    const std::vector<float> in2 = test_signal(4u, total_frames());
    std::vector<float> out1(in1.size()), out2(in1.size());
    fnv1a_t hash;
    in_blocks([&](size_t at, int32_t n) {
        spinreel_mix(static_cast<uint32_t>(n), &loop, channels, in1.data() + at, in2.data() + at,
                     out1.data() + at, out2.data() + at);
        hash.add(out1.data() + at, static_cast<size_t>(n));
        hash.add(out2.data() + at, static_cast<size_t>(n));
        hash.add_u32(static_cast<uint32_t>(loop.position));
    });
    return hash.state;
}

TEST(same_bits, spinreel_mix_mono_and_stereo_loops) {
    // Loop lengths that wrap inside blocks: 997 frames mono, 1500 frames stereo.
    EXPECT_HASH(0x91d1a2723e0900e9ull, spinreel_hash(1, 997));
    EXPECT_HASH(0x43c600b2ac058cb5ull, spinreel_hash(2, 1500));
}

}  // namespace
