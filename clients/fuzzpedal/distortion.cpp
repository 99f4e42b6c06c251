// The distortion chain. distortion_compute derives its coefficients once per
// block, then runs the samples through a software pipeline: each pass of the loop
// advances four consecutive samples by one segment of the chain each, so the
// segments' recurrences are independent within a pass and the CPU overlaps them.
// Every sample still meets exactly the operations of the chain, in its order, so
// the output is bit for bit that of a one-sample-at-a-time loop.
#include "distortion.h"

#include <cmath>
#include <cstring>

#include "saturating_convert.h"

namespace distortion {

float overdriver, driverover, drive, drivelevel1, drivegain, highpass, lowpass, low_highpass,
    highcut, lowcut, low_highcut, trigger, vibrato;

int32_t sampling_rate;
float pi_over_rate, rate_times_pi, half_over_rate;

uint32_t write_index;
float delay_line[delay_line_length];
chain_state_t chain;

}  // namespace distortion

namespace {

using namespace distortion;

// What one block derives from the parameters.
struct coefficients_t {
    float fb;                  // feedback gain
    uint32_t tap0, tap1;       // delay taps, 0..4095
    float al, bl;              // input_lowpass
    float bh, ah;              // input_highpass
    bool sa, sb;               // selections: false picks the unfiltered value
    float a1, g1, d1, g2, d2;  // butterworth_lowpass
    float b0, p;               // dc_blocker_pair
    float oa;                  // overdrive_stage shape
    float dg;                  // clipper gain
    float kg, ko;              // smoother steps of level_stage and overdrive_stage
};

// Any truncation other than 0 selects the filtered value: only two values exist.
bool selects_filtered(float selector) { return saturating_trunc(selector) != 0; }

coefficients_t block_coefficients() {
    coefficients_t k;
    k.fb = 1.0f - trigger;
    k.tap0 = static_cast<uint32_t>(saturating_trunc(vibrato)) & delay_line_mask;
    k.tap1 = static_cast<uint32_t>(saturating_trunc(vibrato - 1.0f)) & delay_line_mask;

    const float kl = 1.0f / tanf(pi_over_rate * lowpass);
    k.al = kl - 1.0f;
    k.bl = 1.0f / (kl + 1.0f);

    // 6.283185 is a single-precision literal (6.28318501), not the float nearest 2 pi.
    const float kh = 1.0f / tanf((rate_times_pi - highpass * 6.283185f) * half_over_rate);
    k.bh = 1.0f / (kh + 1.0f);
    k.ah = 0.0f - (kh - 1.0f) / (kh + 1.0f);

    k.sa = selects_filtered(low_highpass);
    k.sb = selects_filtered(low_highcut);

    // 1.847759 and 0.765367: 2cos(pi/8) and 2cos(3pi/8), the damping of the two
    // sections of a fourth-order Butterworth low-pass.
    const float t = tanf(pi_over_rate * highcut);
    k.a1 = (1.0f - 1.0f / (t * t)) * 2.0f;
    const float it = 1.0f / t;
    k.g1 = 1.0f / (1.0f + (it + 1.847759f) / t);
    k.d1 = 1.0f + (it - 1.847759f) / t;
    k.g2 = 1.0f / (1.0f + (it + 0.765367f) / t);
    k.d2 = 1.0f + (it - 0.765367f) / t;

    const float w = pi_over_rate * lowcut;
    k.b0 = 1.0f / (w + 1.0f);
    k.p = 1.0f - w;

    k.oa = overdriver - 1.0f;
    k.dg = powf(10.0f, 2.0f * drive);
    // 0.0009999871 is 1 - 0.999 in single precision: the smoothers then settle at
    // exactly their power terms.
    k.kg = 0.0009999871f * powf(10.0f, (drivegain - 10.0f) * 0.05f);
    // The one exponent formed in double precision, from the float 0.05 widened.
    const double e = static_cast<double>(overdriver) * -0.5 * static_cast<double>(0.05f);
    k.ko = 0.0009999871f * powf(10.0f, static_cast<float>(e));
    return k;
}

// The sections and the loop's segments must be inlined: an out-of-line call
// would take the address of the loop's local state and force it out of registers.
#define ALWAYS_INLINE __attribute__((always_inline))

ALWAYS_INLINE inline float dc_section(dc_section_t& h, float u, const coefficients_t& k) {
    const float x = k.b0 * u;
    const float y = (u + h.y * k.p) * k.b0 - h.x;
    h.x = x;
    h.y = y;
    return y;
}

ALWAYS_INLINE inline float biquad_section(biquad_section_t& h, float u, float g, float d,
                                          const coefficients_t& k) {
    const float v0 = u - (h.v2 * d + h.v1 * k.a1) * g;
    const float out = (h.v2 + (v0 + (h.v1 + h.v1))) * g;
    h.v2 = h.v1;
    h.v1 = v0;
    return out;
}

ALWAYS_INLINE inline float dc_blocker_pair(filter_bank_t& b, float u, const coefficients_t& k) {
    return dc_section(b.dc_blocker_pair[1], dc_section(b.dc_blocker_pair[0], u, k), k);
}

ALWAYS_INLINE inline float butterworth_lowpass(filter_bank_t& b, float u,
                                               const coefficients_t& k) {
    const float f = biquad_section(b.butterworth_lowpass[0], u, k.g1, k.d1, k);
    return biquad_section(b.butterworth_lowpass[1], f, k.g2, k.d2, k);
}

// How many of the two taps are 0, i.e. read the value written by the same sample.
// Such a tap takes that value from a register instead of through memory, which
// keeps a store-to-load round trip out of the delay's recurrence.
enum tap_shape { no_zero_tap, one_zero_tap, two_zero_taps };

// The chain over one block, for one overdrive switch and tap shape. The state
// lives in locals for the block and is stored back once.
template <bool overdrive, tap_shape taps>
void run_chain(int32_t count, const float* in, float* out, const coefficients_t& block) {
    // Local copies: stores through `out` and into the ring could otherwise alias
    // them and force a reload per sample.
    const coefficients_t k = block;
    const float shape = overdriver;
    const float bias = drivelevel1;
    chain_state_t s = chain;
    uint32_t index = write_index;
    float* const ring = delay_line;
    const uint32_t other_tap = k.tap0 == 0 ? k.tap1 : k.tap0;  // for one_zero_tap

    constexpr int32_t depth = 4;  // segments, hence samples in flight

    // Segment 1: overdrive_stage, feedback_delay, band filter, first selection.
    auto segment1 = [&](float x) ALWAYS_INLINE {
        if constexpr (overdrive) {
            const float a = std::fabs(x);
            s.overdrive_gain = s.overdrive_gain * 0.999f + k.ko;
            x = ((shape + a) * x) / ((x * x + k.oa * a) + 1.0f) * s.overdrive_gain;
        }
        const float t = s.tap_average * k.fb + x;
        ring[index & delay_line_mask] = t;
        float fd;
        if constexpr (taps == two_zero_taps) {
            fd = (t + t) * 0.5f;
        } else if constexpr (taps == one_zero_tap) {
            fd = (t + ring[(index - other_tap) & delay_line_mask]) * 0.5f;
        } else {
            fd = (ring[(index - k.tap0) & delay_line_mask] +
                  ring[(index - k.tap1) & delay_line_mask]) *
                 0.5f;
        }
        ++index;
        s.tap_average = fd;

        const float lx = k.bl * fd;
        const float ly = s.lowpass_x + (fd + s.lowpass_y * k.al) * k.bl;
        s.lowpass_x = lx;
        s.lowpass_y = ly;
        const float hx = ly * k.bh;
        const float hy = (hx + s.highpass_y * k.ah) - s.highpass_x;
        s.highpass_x = hx;
        s.highpass_y = hy;
        return k.sa ? hy : fd;
    };

    // Segment 2: pre_filter_bank, second selection, clipper.
    auto segment2 = [&](float s1) ALWAYS_INLINE {
        const float f1 = butterworth_lowpass(s.pre_filter_bank,
                                             dc_blocker_pair(s.pre_filter_bank, s1, k), k);
        const float s2 = k.sb ? f1 : s1;
        float v = (s2 + bias) * k.dg;
        if (v < -1.0f) {
            v = -1.0f;
        } else if (v > 1.0f) {
            v = 1.0f;
        }
        // 0.333333 is a single-precision literal (0.33333299), not 1/3.
        return (1.0f - (v * v) * 0.333333f) * v;
    };

    // Segment 3: clip_dc_blocker, level_stage, the post bank's DC blockers.
    // Hands on w and the DC blockers' output.
    struct level_out {
        float w, d;
    };
    auto segment3 = [&](float c) ALWAYS_INLINE {
        const float cy = (c + s.clip_y * 0.995f) - s.clip_x;
        s.clip_x = c;
        s.clip_y = cy;
        s.level_gain = s.level_gain * 0.999f + k.kg;
        const float w = s.level_gain * cy;
        return level_out{w, dc_blocker_pair(s.post_filter_bank, w, k)};
    };

    // Segment 4: the post bank's Butterworth low-pass and the third selection.
    auto segment4 = [&](level_out l) ALWAYS_INLINE {
        const float f2 = butterworth_lowpass(s.post_filter_bank, l.d, k);
        return k.sb ? f2 : l.w;
    };

    if (count < depth) {
        for (int32_t i = 0; i < count; ++i) {
            out[i] = segment4(segment3(segment2(segment1(in[i]))));
        }
    } else {
        // Pass p runs segment 4 for sample p-3, 3 for p-2, 2 for p-1 and 1 for
        // p, in that order, so each segment takes what the one before it handed
        // over in the previous pass. The first three passes fill the pipeline,
        // the last three drain it.
        float h12 = segment1(in[0]);
        float h23 = segment2(h12);
        h12 = segment1(in[1]);
        level_out h34 = segment3(h23);
        h23 = segment2(h12);
        h12 = segment1(in[2]);
        for (int32_t p = depth - 1; p < count; ++p) {
            out[p - 3] = segment4(h34);
            h34 = segment3(h23);
            h23 = segment2(h12);
            h12 = segment1(in[p]);
        }
        out[count - 3] = segment4(h34);
        h34 = segment3(h23);
        h23 = segment2(h12);
        out[count - 2] = segment4(h34);
        h34 = segment3(h23);
        out[count - 1] = segment4(h34);
    }

    chain = s;
    write_index = index;
}

template <bool overdrive>
void run_chain_for_taps(int32_t count, const float* in, float* out, const coefficients_t& k) {
    const int zero_taps = (k.tap0 == 0) + (k.tap1 == 0);
    if (zero_taps == 2) {
        run_chain<overdrive, two_zero_taps>(count, in, out, k);
    } else if (zero_taps == 1) {
        run_chain<overdrive, one_zero_tap>(count, in, out, k);
    } else {
        run_chain<overdrive, no_zero_tap>(count, in, out, k);
    }
}

}  // namespace

void distortion_init(int32_t sample_rate) {
    sampling_rate = sample_rate;
    const float rate = static_cast<float>(sample_rate);
    // 3.141593 is a single-precision literal (3.14159298), one unit in the last
    // place above the float nearest pi.
    pi_over_rate = 3.141593f / rate;
    rate_times_pi = rate * 3.141593f;
    half_over_rate = 0.5f / rate;

    overdriver = 0.0f;
    driverover = 0.0f;
    drive = 0.64f;
    drivelevel1 = 0.0f;
    drivegain = 0.0f;
    highpass = 130.0f;
    lowpass = 5000.0f;
    low_highpass = 1.0f;
    highcut = 5000.0f;
    lowcut = 130.0f;
    low_highcut = 1.0f;
    trigger = 0.12f;
    vibrato = 0.5f;

    write_index = 0;
    std::memset(delay_line, 0, sizeof delay_line);
    chain = chain_state_t{};
}

void distortion_compute(int32_t count, const float* const* inputs, float* const* outputs) {
    const coefficients_t k = block_coefficients();
    if (count <= 0) return;
    // driverover is compared as a float: only exactly 1.0 switches the stage on.
    if (driverover == 1.0f) {
        run_chain_for_taps<true>(count, inputs[0], outputs[0], k);
    } else {
        run_chain_for_taps<false>(count, inputs[0], outputs[0], k);
    }
}
