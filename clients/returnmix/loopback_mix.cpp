// The loopback return mix, in double precision with one rounding per sample.
#include "loopback_mix.h"

void returnmix_mix(uint32_t nframes, const float* input, const float* feedback, float* output) {
    for (uint32_t i = 0; i < nframes; ++i) {
        output[i] = static_cast<float>(static_cast<double>(input[i]) +
                                       static_cast<double>(feedback[i]) * RETURN_GAIN);
    }
}
