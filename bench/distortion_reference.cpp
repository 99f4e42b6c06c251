// The distortion chain written straight from its formulas, one sample at a time.
#include "distortion_reference.h"

#include <cmath>
#include <cstring>
#include <initializer_list>

#include "distortion.h"
#include "saturating_convert.h"

namespace {

using namespace distortion;

float ref_pi_over_rate, ref_rate_times_pi, ref_half_over_rate;

uint32_t ref_write_index;
float ref_delay_line[4096];

// Two-value histories: [0] this sample, [1] the previous one.
float od[2], fd[2], lx[2], ly[2], hx[2], hy[2], cx[2], cy[2], lg[2];

struct dc_history {
    float x[2], y[2];
};
struct biquad_history {
    float v[3];
};
struct bank_history {
    dc_history dc1, dc2;
    biquad_history bq1, bq2;
};
bank_history pre, post;

// Per-block coefficients.
float FB, KL, AL, BL, KH, BH, AH, T, A1, IT, G1, D1, G2, D2, W, B0, P, OA, DG, KG, KO;
int32_t TAP0, TAP1, SA, SB;

float dc_section(dc_history& h, float u) {
    h.x[0] = B0 * u;
    h.y[0] = (u + h.y[1] * P) * B0 - h.x[1];
    return h.y[0];
}

float biquad_section(biquad_history& h, float u, float G, float D) {
    h.v[0] = u - (h.v[2] * D + h.v[1] * A1) * G;
    return (h.v[2] + (h.v[0] + (h.v[1] + h.v[1]))) * G;
}

float filter_bank(bank_history& b, float u) {
    const float d = dc_section(b.dc2, dc_section(b.dc1, u));
    return biquad_section(b.bq2, biquad_section(b.bq1, d, G1, D1), G2, D2);
}

void shift(float h[2]) { h[1] = h[0]; }

void shift_bank(bank_history& b) {
    shift(b.dc1.x);
    shift(b.dc1.y);
    shift(b.dc2.x);
    shift(b.dc2.y);
    for (biquad_history* q : {&b.bq1, &b.bq2}) {
        q->v[2] = q->v[1];
        q->v[1] = q->v[0];
    }
}

// A selector whose truncation is neither 0 nor 1 picks entry 1.
int32_t selector(float value) { return saturating_trunc(value) == 0 ? 0 : 1; }

void block_coefficients() {
    FB = 1.0f - trigger;
    TAP0 = saturating_trunc(vibrato) & 4095;
    TAP1 = saturating_trunc(vibrato - 1.0f) & 4095;
    KL = 1.0f / tanf(ref_pi_over_rate * lowpass);
    AL = KL - 1.0f;
    BL = 1.0f / (KL + 1.0f);
    KH = 1.0f / tanf((ref_rate_times_pi - highpass * 6.283185f) * ref_half_over_rate);
    BH = 1.0f / (KH + 1.0f);
    AH = 0.0f - (KH - 1.0f) / (KH + 1.0f);
    SA = selector(low_highpass);
    SB = selector(low_highcut);
    T = tanf(ref_pi_over_rate * highcut);
    A1 = (1.0f - 1.0f / (T * T)) * 2.0f;
    IT = 1.0f / T;
    G1 = 1.0f / (1.0f + (IT + 1.847759f) / T);
    D1 = 1.0f + (IT - 1.847759f) / T;
    G2 = 1.0f / (1.0f + (IT + 0.765367f) / T);
    D2 = 1.0f + (IT - 0.765367f) / T;
    W = ref_pi_over_rate * lowcut;
    B0 = 1.0f / (W + 1.0f);
    P = 1.0f - W;
    OA = overdriver - 1.0f;
    DG = powf(10.0f, 2.0f * drive);
    KG = 0.0009999871f * powf(10.0f, (drivegain - 10.0f) * 0.05f);
    const double e = static_cast<double>(overdriver) * -0.5 * static_cast<double>(0.05f);
    KO = 0.0009999871f * powf(10.0f, static_cast<float>(e));
}

float one_sample(float x) {
    if (driverover == 1.0f) {
        const float a = fabsf(x);
        od[0] = od[1] * 0.999f + KO;
        x = ((overdriver + a) * x) / ((x * x + OA * a) + 1.0f) * od[0];
    }

    const float t = fd[1] * FB + x;
    ref_delay_line[ref_write_index & 4095] = t;
    fd[0] = (ref_delay_line[(ref_write_index - TAP0) & 4095] +
             ref_delay_line[(ref_write_index - TAP1) & 4095]) *
            0.5f;

    lx[0] = BL * fd[0];
    ly[0] = lx[1] + (fd[0] + ly[1] * AL) * BL;
    hx[0] = ly[0] * BH;
    hy[0] = (hx[0] + hy[1] * AH) - hx[1];

    const float first[2] = {fd[0], hy[0]};
    const float s1 = first[SA];
    const float f1 = filter_bank(pre, s1);
    const float second[2] = {s1, f1};
    const float s2 = second[SB];

    float v = (s2 + drivelevel1) * DG;
    if (v < -1.0f) {
        v = -1.0f;
    } else if (v > 1.0f) {
        v = 1.0f;
    }
    const float c = (1.0f - (v * v) * 0.333333f) * v;

    cx[0] = c;
    cy[0] = (c + cy[1] * 0.995f) - cx[1];
    lg[0] = lg[1] * 0.999f + KG;
    const float w = lg[0] * cy[0];

    const float f2 = filter_bank(post, w);
    const float third[2] = {w, f2};
    const float y = third[SB];

    // When overdrive_stage did not run od[0] still holds the last value, so the
    // shift keeps it.
    for (float* h : {od, fd, lx, ly, hx, hy, cx, cy, lg}) shift(h);
    shift_bank(pre);
    shift_bank(post);
    ++ref_write_index;
    return y;
}

}  // namespace

void reference_init(int32_t sample_rate) {
    const float rate = static_cast<float>(sample_rate);
    ref_pi_over_rate = 3.141593f / rate;
    ref_rate_times_pi = rate * 3.141593f;
    ref_half_over_rate = 0.5f / rate;
    ref_write_index = 0;
    std::memset(ref_delay_line, 0, sizeof ref_delay_line);
    for (float* h : {od, fd, lx, ly, hx, hy, cx, cy, lg}) h[0] = h[1] = 0.0f;
    pre = bank_history{};
    post = bank_history{};
}

void reference_compute(int32_t count, const float* const* inputs, float* const* outputs) {
    block_coefficients();
    for (int32_t i = 0; i < count; ++i) outputs[0][i] = one_sample(inputs[0][i]);
}
