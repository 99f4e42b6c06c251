// A plain version of the distortion chain: one sample at a time, every history
// kept as H[0], H[1] (and H[2]) and shifted at the end of each sample, all state
// read from and written to memory. It is the baseline that the benchmark times
// the processor against, and the second implementation that the tests compare
// the processor with, bit for bit. It reads the processor's parameters
// (distortion::overdriver and the others) but keeps its own state.
#pragma once

#include <cstdint>

// Sets up the reference's own sample-rate constants and clears its state; the
// parameters are left as they are.
void reference_init(int32_t sample_rate);

// Processes `count` samples of inputs[0] into outputs[0], as distortion_compute does.
void reference_compute(int32_t count, const float* const* inputs, float* const* outputs);
