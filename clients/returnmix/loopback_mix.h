// The loopback return mix of returnmix: an input plus its loopback return at 0.7.
// No JACK here, so the mix builds for any target.
#pragma once

#include <cstdint>

#include "realtime.h"

// The double nearest to 0.7; the mix is formed in double precision.
constexpr double RETURN_GAIN = 0.7;

// output[i] = input[i] + feedback[i] * RETURN_GAIN for i below nframes, each sum
// rounded to float once. Called per channel by the process callback.
void returnmix_mix(uint32_t nframes, const float* input, const float* feedback, float* output)
    REALTIME_NONBLOCKING;
