// The loopback return mixer: adds the server's loopback returns, at 0.7, to its inputs.
#pragma once

#include "jack_realtime.h"

// The double nearest to 0.7; the mix is formed in double precision.
constexpr double RETURN_GAIN = 0.7;

// output[i] = input[i] + feedback[i] * RETURN_GAIN for i below nframes, each sum
// rounded to float once. Called per channel by the process callback.
void returnmix_mix(jack_nframes_t nframes, const float* input, const float* feedback,
                   float* output) REALTIME_NONBLOCKING;

// The JACK process callback: mixes both channels. Returns 0.
int returnmix_process(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;

// The hooks that the client frame runs for this program.
void returnmix_connect();
