// The loop player's per-block mix, in double precision with one rounding per sample.
#include "loop_mix.h"

namespace {

float mixed(int16_t value, float input) {
    return static_cast<float>((value / LOOP_DIVISOR) * LOOP_GAIN + static_cast<double>(input));
}

}  // namespace

void spinreel_mix(uint32_t nframes, sample_buffer_t* loop, int channels, const float* in1,
                  const float* in2, float* out1, float* out2) {
    const int16_t* s = loop->samples;
    const int32_t frames = loop->frames;
    int32_t position = loop->position;
    if (channels == 1) {
        for (uint32_t i = 0; i < nframes; ++i) {
            out1[i] = mixed(s[position], in1[i]);
            out2[i] = out1[i] + in2[i];  // a single-precision sum, as stored
            if (++position >= frames) position = 0;
        }
    } else {
        for (uint32_t i = 0; i < nframes; ++i) {
            out1[i] = mixed(s[position], in1[i]);
            out2[i] = mixed(s[position + 1], in2[i]);
            position += 2;
            if (position / 2 >= frames) position = 0;
        }
    }
    loop->position = position;
}
