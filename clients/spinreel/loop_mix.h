// The loop player's per-block mix: one looped 16-bit sample at a gain of 0.2 on top
// of two live inputs. No JACK here, so the mix builds for any target.
#pragma once

#include <cstdint>

#include "realtime.h"
#include "sample_buffer.h"

// 32767, not 32768, on purpose (-32768 maps slightly below -1): recordings made with
// the player match these values bit for bit.
constexpr double LOOP_DIVISOR = 32767.0;
constexpr double LOOP_GAIN = 0.2;

// Mixes nframes frames of `loop` into out1/out2 and advances loop->position, wrapping
// to the first frame right after the last whole one. With one channel both outputs
// carry the sample and out2 = out1 + in2, so input 1 reaches output 2 as well; any
// other channel count plays consecutive pairs of values. Arithmetic up to each store
// is double precision. Requires loop->frames >= 1 and a position inside the data.
// Runs on the real-time thread: no allocation, no I/O.
void spinreel_mix(uint32_t nframes, sample_buffer_t* loop, int channels, const float* in1,
                  const float* in2, float* out1, float* out2) REALTIME_NONBLOCKING;
