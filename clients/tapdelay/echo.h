// The echo processor: a feedback comb, y[n] = x[n] + gain * y[n - delay], with the
// delay taken from `time` (milliseconds) and the gain from `release` (percent)
// once per block. Its state is process-wide, as every processor of the suite's.
#pragma once

#include <cstdint>

#include "realtime.h"

// The processor's state lives in a namespace of its own: `time` would clash with
// the C library's time(), and programs that link several processors (tests,
// benchmarks, tools) must not see two `sampling_rate`s or `write_index`es.
namespace echo {

constexpr int32_t delay_line_length = 0x40000;  // twice the longest delay
constexpr uint32_t delay_line_mask = 0x3FFFF;

extern int32_t sampling_rate;
extern float ms_to_samples;  // samples per millisecond
extern float time;           // delay in milliseconds
extern float release;        // feedback in percent
// Running frame counter, wrapping modulo 2^32; its low 18 bits address the line.
extern uint32_t write_index;
extern float delay_line[delay_line_length];  // past outputs
extern float output_select;                  // 1: the echoed signal, 0: the dry input

}  // namespace echo

// Sets every parameter to its default and clears the line.
void echo_init(int32_t sampling_rate);

// Processes `count` frames of inputs[0] into outputs[0]; the other entries are not
// used. The output may be the input buffer itself. Called from the real-time
// thread: no allocation, no lock, no call that can block.
void echo_compute(int32_t count, const float* const* inputs, float* const* outputs)
    REALTIME_NONBLOCKING;
