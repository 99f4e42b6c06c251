// The distortion processor on its own: exact samples derived by hand from the
// chain's formulas, bit-for-bit agreement with the plain one-sample-at-a-time
// chain over many parameter sets and block splits, and what a listener hears.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "distortion.h"
#include "distortion_reference.h"

namespace {

using namespace distortion;

constexpr int32_t rate = 44100;

std::vector<float> run(const std::vector<float>& input, int32_t block = 128) {
    std::vector<float> output(input.size());
    for (size_t at = 0; at < input.size(); at += block) {
        const int32_t n = static_cast<int32_t>(std::min<size_t>(block, input.size() - at));
        const float* in[] = {input.data() + at};
        float* out[] = {output.data() + at};
        distortion_compute(n, in, out);
    }
    return output;
}

std::vector<float> sine(size_t frames, double hz, double amplitude) {
    std::vector<float> s(frames);
    for (size_t i = 0; i < frames; ++i) {
        s[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * double(i) / rate));
    }
    return s;
}

std::vector<float> noise(size_t frames, unsigned seed, float scale = 1.0f) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> sample(-scale, scale);
    std::vector<float> s(frames);
    for (auto& v : s) v = sample(random);
    return s;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// --- Set-up -----------------------------------------------------------------

TEST(distortion_init, sets_the_defaults_and_the_rate_constants) {
    overdriver = drive = trigger = vibrato = 99.0f;
    distortion_init(rate);
    EXPECT_EQ(sampling_rate, rate);
    EXPECT_EQ(pi_over_rate, 3.141593f / 44100.0f);
    EXPECT_EQ(rate_times_pi, 44100.0f * 3.141593f);
    EXPECT_EQ(half_over_rate, 0.5f / 44100.0f);

    const float expected[] = {0, 0, 0.64f, 0, 0, 130, 5000, 1, 5000, 130, 1, 0.12f, 0.5f};
    const float got[] = {overdriver, driverover, drive,       drivelevel1, drivegain,
                         highpass,   lowpass,    low_highpass, highcut,    lowcut,
                         low_highcut, trigger,   vibrato};
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(got[i], expected[i]) << i;
}

TEST(distortion_init, clears_every_history_and_the_ring) {
    distortion_init(rate);
    const auto input = noise(5000, 1);
    const auto first = run(input);
    ASSERT_NE(write_index, 0u);
    distortion_init(rate);
    EXPECT_EQ(write_index, 0u);
    EXPECT_EQ(std::count(std::begin(delay_line), std::end(delay_line), 0.0f), delay_line_length);
    const chain_state_t cleared{};
    EXPECT_EQ(std::memcmp(&chain, &cleared, sizeof chain), 0);
    const auto again = run(input);
    EXPECT_EQ(std::memcmp(first.data(), again.data(), first.size() * sizeof(float)), 0);
}

// --- Exact values derived by hand ---------------------------------------------

// The per-block coefficients written out once more from their formulas.
struct hand_coefficients {
    float FB, AL, BL, BH, AH, A1, G1, D1, G2, D2, B0, P, OA, DG, KG, KO;
    hand_coefficients() {
        const float por = 3.141593f / 44100.0f;
        FB = 1 - trigger;
        const float KL = 1 / tanf(por * lowpass);
        AL = KL - 1;
        BL = 1 / (KL + 1);
        const float KH =
            1 / tanf((44100.0f * 3.141593f - highpass * 6.283185f) * (0.5f / 44100.0f));
        BH = 1 / (KH + 1);
        AH = 0 - (KH - 1) / (KH + 1);
        const float T = tanf(por * highcut);
        A1 = (1 - 1 / (T * T)) * 2;
        const float IT = 1 / T;
        G1 = 1 / (1 + (IT + 1.847759f) / T);
        D1 = 1 + (IT - 1.847759f) / T;
        G2 = 1 / (1 + (IT + 0.765367f) / T);
        D2 = 1 + (IT - 0.765367f) / T;
        const float W = por * lowcut;
        B0 = 1 / (W + 1);
        P = 1 - W;
        OA = overdriver - 1;
        DG = powf(10, 2 * drive);
        KG = 0.0009999871f * powf(10, (drivegain - 10) * 0.05f);
        KO = 0.0009999871f * powf(10, float(double(overdriver) * -0.5 * 0.05000000074505806));
    }
};

// The first output after distortion_init, every history still 0, for taps that
// both read the sample just written (vibrato in [0.5, 1)) or only one of them
// (vibrato 0).
float first_output_by_hand(float x) {
    const hand_coefficients k;
    if (driverover == 1.0f) {
        const float a = std::fabs(x);
        x = ((overdriver + a) * x) / ((x * x + k.OA * a) + 1) * (0 * 0.999f + k.KO);
    }
    const float t = 0 * k.FB + x;
    const float fd = vibrato == 0 ? (t + 0) * 0.5f : (t + t) * 0.5f;
    const float ly = 0 + (fd + 0 * k.AL) * k.BL;
    const float hy = (ly * k.BH + 0 * k.AH) - 0;
    const float s1 = low_highpass == 0 ? fd : hy;
    auto bank = [&](float u) {
        const float d1 = (u + 0 * k.P) * k.B0 - 0;
        const float d2 = (d1 + 0 * k.P) * k.B0 - 0;
        const float v1 = d2 - (0 * k.D1 + 0 * k.A1) * k.G1;
        const float b1 = (0 + (v1 + (0 + 0))) * k.G1;
        const float v2 = b1 - (0 * k.D2 + 0 * k.A1) * k.G2;
        return (0 + (v2 + (0 + 0))) * k.G2;
    };
    const float s2 = low_highcut == 0 ? s1 : bank(s1);
    float v = (s2 + drivelevel1) * k.DG;
    v = v < -1 ? -1 : v > 1 ? 1 : v;
    const float c = (1 - (v * v) * 0.333333f) * v;
    const float w = (0 * 0.999f + k.KG) * ((c + 0 * 0.995f) - 0);
    return low_highcut == 0 ? w : bank(w);
}

struct parameter_set {
    const char* name;
    void (*apply)();
};

const parameter_set first_sample_sets[] = {
    {"defaults", [] {}},
    {"hot_bias_and_bands",
     [] {
         drive = 1, drivelevel1 = 1, drivegain = 5, highpass = 200, lowpass = 3000;
         highcut = 8000, lowcut = 50, trigger = 0;
     }},
    {"overdrive_on",
     [] { overdriver = 7, driverover = 1, drive = 0, drivegain = -3, vibrato = 0; }},
    {"bypassed_filters",
     [] { low_highpass = 0, low_highcut = 0, overdriver = 13, driverover = 1; }},
};

TEST(distortion_exact, first_output_after_init_follows_the_chain_by_hand) {
    for (const auto& set : first_sample_sets) {
        for (float x : {0.5f, -0.0123f, 3e-4f, 0.9f, -2.5f}) {
            distortion_init(rate);
            set.apply();
            const float expected = first_output_by_hand(x);
            float y = 7.0f;
            const float* in[] = {&x};
            float* out[] = {&y};
            distortion_compute(1, in, out);
            EXPECT_TRUE(same_bits(y, expected)) << set.name << " x=" << x << ": " << y
                                                << " instead of " << expected;
            EXPECT_NE(y, 0.0f) << set.name;
        }
    }
}

TEST(distortion_exact, first_output_is_scaled_by_the_level_gain_alone) {
    distortion_init(rate);
    // Unity clipper gain and both filter selections off: the chain up to the level
    // stage is the clipper's polynomial of x itself.
    drive = 0;
    low_highpass = 0;
    low_highcut = 0;
    const float x = 0.01f;
    const float kg = 0.0009999871f * powf(10.0f, -0.5f);
    const float c = (1 - (x * x) * 0.333333f) * x;
    float y;
    const float* in[] = {&x};
    float* out[] = {&y};
    distortion_compute(1, in, out);
    EXPECT_EQ(y, kg * c);
    // About -70 dB in all: the -10 dB of the level, times the smoother's first step.
    EXPECT_NEAR(y / x, 0.000316, 0.000001);
    EXPECT_EQ(chain.level_gain, kg);
}

// The delay's impulse response, read from its output history one sample at a
// time with the feedback off: 0.5 at each tap, 1 where the taps coincide.
std::vector<float> tap_response(float v) {
    distortion_init(rate);
    vibrato = v;
    trigger = 1;
    std::vector<float> fd;
    for (int n = 0; n < delay_line_length; ++n) {
        const float x = n == 0 ? 1.0f : 0.0f;
        float y;
        const float* in[] = {&x};
        float* out[] = {&y};
        distortion_compute(1, in, out);
        fd.push_back(chain.tap_average);
    }
    return fd;
}

TEST(distortion_exact, vibrato_sets_the_two_taps) {
    struct tap_case {
        float vibrato;
        int tap0, tap1;
    };
    const tap_case cases[] = {
        {0, 0, 4095},    {1, 1, 0},       {5000, 904, 903}, {-3, 4093, 4092}, {0.5f, 0, 0},
        {0.99f, 0, 0},   {2, 2, 1},       {4096, 0, 4095},
        // Saturating like the device: huge values stick at the int32 limits.
        {1e10f, 4095, 4095}, {-1e10f, 0, 0},
    };
    for (const auto& c : cases) {
        const auto fd = tap_response(c.vibrato);
        for (int n = 0; n < delay_line_length; ++n) {
            const float expected = 0.5f * ((n == c.tap0) + (n == c.tap1));
            ASSERT_EQ(fd[n], expected) << "vibrato " << c.vibrato << " sample " << n;
        }
    }
}

TEST(distortion_exact, taps_above_zero_keep_the_output_silent_until_they_reach_written_samples) {
    distortion_init(rate);
    vibrato = 5000;  // taps 904 and 903
    const auto input = noise(2048, 2, 0.5f);
    const auto output = run(input, 100);
    for (int n = 0; n < 903; ++n) ASSERT_EQ(output[n], 0.0f) << n;
    EXPECT_NE(output[903], 0.0f);
}

TEST(distortion_exact, a_count_of_zero_or_less_changes_no_state_and_writes_nothing) {
    distortion_init(rate);
    const auto input = noise(3000, 3, 0.7f);
    run(input);
    const chain_state_t before = chain;
    const uint32_t index = write_index;
    std::vector<float> ring(std::begin(delay_line), std::end(delay_line));

    float x = 0.25f, y = -9.0f;
    const float* in[] = {&x};
    float* out[] = {&y};
    distortion_compute(0, in, out);
    distortion_compute(-5, in, out);
    EXPECT_EQ(y, -9.0f);
    EXPECT_EQ(std::memcmp(&chain, &before, sizeof chain), 0);
    EXPECT_EQ(write_index, index);
    EXPECT_EQ(std::memcmp(ring.data(), delay_line, sizeof delay_line), 0);
}

TEST(distortion_exact, only_driverover_exactly_1_runs_the_overdrive) {
    const auto input = noise(4000, 4, 0.8f);
    auto output_with = [&](float switch_value) {
        distortion_init(rate);
        overdriver = 9;
        driverover = switch_value;
        return run(input);
    };
    const auto off = output_with(0);
    EXPECT_EQ(chain.overdrive_gain, 0.0f);
    for (float value : {2.0f, 0.999f, 1.0001f, -1.0f}) {
        EXPECT_EQ(output_with(value), off) << value;
        EXPECT_EQ(chain.overdrive_gain, 0.0f) << value;
    }
    const auto on = output_with(1);
    EXPECT_NE(on, off);
    // The compensation heads for 10^(-9/40), -4.5 dB.
    EXPECT_NEAR(chain.overdrive_gain, std::pow(10.0, -9.0 / 40) * (1 - std::pow(0.999, 4000)),
                1e-4);
}

TEST(distortion_exact, overdrive_compensation_exponent_uses_the_float_0_05) {
    // Amounts for which the exponent differs when formed with the double 0.05.
    int differing = 0;
    for (int amount = 1; amount <= 40; ++amount) {
        const float od = static_cast<float>(amount);
        const float widened = static_cast<float>(double(od) * -0.5 * 0.05000000074505806);
        const float exact = static_cast<float>(double(od) * -0.5 * 0.05);
        if (widened == exact) continue;
        ++differing;
        distortion_init(rate);
        overdriver = od;
        driverover = 1;
        float x = 0.1f, y;
        const float* in[] = {&x};
        float* out[] = {&y};
        distortion_compute(1, in, out);
        EXPECT_EQ(chain.overdrive_gain, 0.0009999871f * powf(10.0f, widened)) << amount;
        EXPECT_NE(chain.overdrive_gain, 0.0009999871f * powf(10.0f, exact)) << amount;
    }
    EXPECT_GT(differing, 0);
}

TEST(distortion_exact, a_selector_other_than_0_selects_the_filtered_value) {
    const auto input = noise(3000, 5, 0.3f);
    for (float* selector : {&low_highpass, &low_highcut}) {
        auto output_with = [&](float value) {
            distortion_init(rate);
            *selector = value;
            return run(input);
        };
        const auto zero = output_with(0), one = output_with(1);
        ASSERT_NE(zero, one);
        for (float v : {2.0f, -1.0f, 1.5f, 7e9f, -7e9f}) EXPECT_EQ(output_with(v), one) << v;
        for (float v : {0.5f, -0.5f, 0.99f}) EXPECT_EQ(output_with(v), zero) << v;
    }
}

// --- Against the plain chain, bit for bit ---------------------------------------

const parameter_set reference_sets[] = {
    {"defaults", [] {}},
    {"selectors_0_0", [] { low_highpass = 0, low_highcut = 0; }},
    {"selectors_0_1", [] { low_highpass = 0, low_highcut = 1; }},
    {"selectors_1_0", [] { low_highpass = 1, low_highcut = 0; }},
    {"selectors_2_minus1", [] { low_highpass = 2, low_highcut = -1; }},
    {"overdrive_1", [] { overdriver = 1, driverover = 1; }},
    {"overdrive_20_hot", [] { overdriver = 20, driverover = 1, drive = 1, drivelevel1 = 1; }},
    {"overdrive_7_no_bias", [] { overdriver = 7, driverover = 1, vibrato = 0; }},
    {"vibrato_0", [] { vibrato = 0; }},
    {"vibrato_1", [] { vibrato = 1; }},
    {"vibrato_2", [] { vibrato = 2; }},
    {"vibrato_5000", [] { vibrato = 5000; }},
    {"vibrato_minus3", [] { vibrato = -3; }},
    {"vibrato_huge", [] { vibrato = 3e12f; }},
    {"vibrato_minus_huge_feedback_1", [] { vibrato = -3e12f, trigger = 0; }},
    {"feedback_off", [] { trigger = 1; }},
    {"command_line_style",
     [] {
         overdriver = 3, driverover = 1, drive = 0, drivelevel1 = 0, drivegain = 5;
         highpass = 200, lowpass = 4000, highcut = 6000, lowcut = 100, trigger = 0, vibrato = 0;
     }},
    {"extreme_corners",
     [] { highpass = 8, lowpass = 10000, highcut = 1000, lowcut = 1000, drivegain = 20; }},
    // A corner where the single-precision 6.283185 rounds differently from 2 pi.
    {"odd_corners", [] { highpass = 335, lowpass = 7777, highcut = 2345, lowcut = 997; }},
    {"other_extremes",
     [] { highpass = 1000, lowpass = 1000, highcut = 10000, lowcut = 8, drivegain = -20; }},
};

// Block sizes from 1 to 1024, with empty blocks between, in an order that puts
// the block edges everywhere relative to the loop's pipeline.
std::vector<int32_t> block_pattern(unsigned seed) {
    std::vector<int32_t> sizes = {1, 2, 3, 4, 5, 0, 6, 7, 64, 128, 1024, 1023, 3, 0, -2, 255};
    std::mt19937 random(seed);
    std::uniform_int_distribution<int32_t> size(1, 1024);
    for (int i = 0; i < 40; ++i) sizes.push_back(size(random));
    return sizes;
}

// Runs `compute` over `input` in blocks of the given sizes, cycling through them.
template <class Compute>
std::vector<float> run_blocks(Compute compute, const std::vector<float>& input,
                              const std::vector<int32_t>& sizes) {
    std::vector<float> output(input.size(), -123.0f);
    size_t at = 0;
    for (size_t b = 0; at < input.size(); ++b) {
        const int32_t want = sizes[b % sizes.size()];
        const int32_t n =
            want <= 0 ? want : static_cast<int32_t>(std::min<size_t>(want, input.size() - at));
        const float* in[] = {input.data() + at};
        float* out[] = {output.data() + at};
        compute(n, in, out);
        if (n > 0) at += n;
    }
    return output;
}

::testing::AssertionResult identical(const std::vector<float>& got,
                                     const std::vector<float>& want) {
    for (size_t i = 0; i < want.size(); ++i) {
        if (!same_bits(got[i], want[i])) {
            return ::testing::AssertionFailure()
                   << "sample " << i << ": " << got[i] << " instead of " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(distortion_reference_match, every_parameter_set_and_block_split_gives_the_plain_chains_bits) {
    // Quiet, loud and clipping passages, so that every stage is exercised.
    auto input = noise(20000, 6, 0.4f);
    for (size_t i = 5000; i < 8000; ++i) input[i] *= 40.0f;
    for (size_t i = 12000; i < 13000; ++i) input[i] = 0.0f;
    const auto tone = sine(4000, 440, 0.9);
    std::copy(tone.begin(), tone.end(), input.begin() + 14000);

    unsigned seed = 10;
    for (const auto& set : reference_sets) {
        distortion_init(rate);
        set.apply();
        reference_init(rate);
        const auto want = run_blocks(reference_compute, input, {1});
        const auto got = run_blocks(distortion_compute, input, block_pattern(++seed));
        EXPECT_TRUE(identical(got, want)) << set.name;
        size_t nonzero = std::count_if(got.begin(), got.end(), [](float v) { return v != 0; });
        EXPECT_GT(nonzero, input.size() / 2) << set.name;
    }
}

TEST(distortion_reference_match, parameters_changed_between_blocks_meet_the_same_state) {
    // The program fixes its parameters before it starts, but every part of the
    // state, the ring included, must be kept as the chain defines it: new taps,
    // selections or an overdrive switched on read it from the next block on.
    const auto input = noise(12000, 9, 0.5f);
    auto run_both = [&](auto&& compute) {
        std::vector<float> output(input.size());
        for (size_t at = 0; at < input.size(); at += 500) {
            const size_t block = at / 500;
            if (block == 8) vibrato = 3000;
            if (block == 12) vibrato = 1;
            if (block == 14) low_highpass = 0, low_highcut = 0;
            if (block == 16) driverover = 1, overdriver = 4;
            if (block == 20) low_highcut = 1, trigger = 0.5f, vibrato = 0;
            const float* in[] = {input.data() + at};
            float* out[] = {output.data() + at};
            compute(500, in, out);
        }
        return output;
    };
    distortion_init(rate);
    reference_init(rate);
    const auto want = run_both(reference_compute);
    distortion_init(rate);
    const auto got = run_both(distortion_compute);
    EXPECT_TRUE(identical(got, want));
}

TEST(distortion_reference_match, the_output_buffer_may_be_the_input_buffer) {
    const auto input = noise(3000, 7, 0.6f);
    distortion_init(rate);
    reference_init(rate);
    const auto want = run_blocks(reference_compute, input, {1});
    std::vector<float> buffer = input;
    for (size_t at = 0; at < buffer.size(); at += 250) {
        float* io = buffer.data() + at;
        const float* in[] = {io};
        float* out[] = {io};
        distortion_compute(250, in, out);
    }
    EXPECT_TRUE(identical(buffer, want));
}

// --- What a listener hears --------------------------------------------------------

// Power of the discrete Fourier component `bin` of a stretch.
double power_at(const std::vector<float>& s, size_t from, size_t length, size_t bin) {
    std::complex<double> sum = 0;
    for (size_t i = 0; i < length; ++i) {
        sum += double(s[from + i]) * std::polar(1.0, -2 * M_PI * double(bin * i) / double(length));
    }
    return std::norm(sum);
}

double rms(const std::vector<float>& s, size_t from, size_t length) {
    double sum = 0;
    for (size_t i = from; i < from + length; ++i) sum += double(s[i]) * s[i];
    return std::sqrt(sum / double(length));
}

TEST(distortion_sound, a_1khz_sine_comes_out_clipped_and_band_limited) {
    distortion_init(rate);
    const auto output = run(sine(2 * rate, 1000, 0.5));

    // After the fade-in the level holds.
    const size_t window = rate / 10;
    const double settled = rms(output, rate, window);
    for (size_t from = rate / 2; from + window <= output.size(); from += window) {
        EXPECT_NEAR(rms(output, from, window), settled, settled * 1e-3) << from;
    }
    // At about -10 dB of the clipper's 0.667 peak.
    EXPECT_GT(settled, 0.1);
    EXPECT_LT(settled, 0.3);

    // 4410 samples hold exactly 100 periods: bin k is k * 10 Hz.
    const size_t length = 4410, from = rate;
    const double fundamental = power_at(output, from, length, 100);
    const double third = power_at(output, from, length, 300);
    double above_10k = 0;
    for (size_t bin = 1001; bin < length / 2; ++bin) {
        above_10k += power_at(output, from, length, bin);
    }
    // Clipping adds odd harmonics that a linear chain would not...
    EXPECT_GT(third, fundamental * 1e-2);
    // ...and the Butterworth sections take away what lies above 10 kHz.
    EXPECT_LT(above_10k, fundamental * 1e-4);
}

TEST(distortion_sound, the_level_fades_in_to_99_percent_after_about_4600_samples) {
    distortion_init(rate);
    // 44 samples per period, so that once the filters have settled every period
    // repeats the last one scaled by the level smoother.
    const size_t period = 44;
    const auto output = run(sine(40000, double(rate) / period, 0.5));
    auto peak = [&](size_t p) {
        float m = 0;
        for (size_t i = p * period; i < (p + 1) * period; ++i) {
            m = std::max(m, std::fabs(output[i]));
        }
        return m;
    };
    const float final_peak = peak(output.size() / period - 1);
    size_t first_at_99 = 0;
    while (peak(first_at_99) < 0.99f * final_peak) ++first_at_99;
    const size_t reached = first_at_99 * period;
    EXPECT_GE(reached, 4500u);
    EXPECT_LE(reached, 4700u);
    // About 63% after 1000 samples.
    EXPECT_NEAR(peak(1000 / period) / final_peak, 0.63, 0.03);
}

TEST(distortion_sound, the_clipper_never_leaves_two_thirds_whatever_the_input) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> inputs = {inf, -inf, std::numeric_limits<float>::max(),
                                 -std::numeric_limits<float>::max(), 1e30f, -1e30f, 1.0f, -1.0f};
    for (int i = -400; i <= 400; ++i) inputs.push_back(float(i) / 100.0f);
    // The clipper's value at full scale, scaled by the level's first step.
    const float clip_peak = (1.0f - (1.0f * 1.0f) * 0.333333f) * 1.0f;
    ASSERT_NEAR(clip_peak, 0.666667, 1e-6);
    const float bound = (0.0009999871f * powf(10.0f, -0.5f)) * clip_peak;

    for (bool filters : {false, true}) {
        for (float x : inputs) {
            // Unity gain: the clipper sees x itself when the filters are bypassed.
            distortion_init(rate);
            drive = 0;
            low_highpass = low_highcut = filters ? 1.0f : 0.0f;
            float y;
            const float* in[] = {&x};
            float* out[] = {&y};
            distortion_compute(1, in, out);
            ASSERT_LE(std::fabs(y), bound) << "x=" << x << (filters ? " filtered" : "");
            if (!filters && std::fabs(x) >= 1.0f) {
                EXPECT_EQ(std::fabs(y), bound) << "x=" << x;  // clipped flat
            }
        }
    }

    // A long stretch of the largest input stays finite and bounded.
    distortion_init(rate);
    low_highpass = low_highcut = 0;
    const auto output = run(std::vector<float>(20000, inf));
    for (size_t i = 0; i < output.size(); ++i) {
        ASSERT_TRUE(std::isfinite(output[i])) << i;
        ASSERT_LE(std::fabs(output[i]), 0.3163f * 0.666667f) << i;
    }
}

TEST(distortion_sound, bypassed_stages_still_run_but_do_not_reach_the_output) {
    const auto input = noise(6000, 8, 0.5f);
    auto output_with = [&](float lhp, float lhc, float hp, float lp, float hc, float lc) {
        distortion_init(rate);
        low_highpass = lhp, low_highcut = lhc;
        highpass = hp, lowpass = lp, highcut = hc, lowcut = lc;
        return run(input);
    };
    // With low_highcut 0 the output is w: the filter banks' corners do not matter.
    EXPECT_EQ(output_with(1, 0, 130, 5000, 5000, 130), output_with(1, 0, 130, 5000, 2000, 400));
    EXPECT_NE(output_with(1, 1, 130, 5000, 5000, 130), output_with(1, 1, 130, 5000, 2000, 400));
    // With low_highpass 0 the band filter is bypassed in the same way.
    EXPECT_EQ(output_with(0, 1, 130, 5000, 5000, 130), output_with(0, 1, 300, 2000, 5000, 130));
    EXPECT_NE(output_with(1, 1, 130, 5000, 5000, 130), output_with(1, 1, 300, 2000, 5000, 130));
    // The bypassed stages' states advanced all the same.
    output_with(0, 0, 130, 5000, 5000, 130);
    EXPECT_NE(chain.highpass_y, 0.0f);
    EXPECT_NE(chain.pre_filter_bank.butterworth_lowpass[1].v1, 0.0f);
    EXPECT_NE(chain.post_filter_bank.butterworth_lowpass[1].v1, 0.0f);
}

}  // namespace
