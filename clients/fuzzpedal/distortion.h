// The distortion processor of fuzzpedal: a mono chain of an optional overdrive,
// a feedback delay, a band filter, a pre-clip filter bank, a clipper, a DC
// blocker, a smoothed output level and a post-clip filter bank. Single precision
// throughout, rounded exactly as the chain is written, so that every build of it
// gives the same samples. Parameters and state are process-wide.
#pragma once

#include <cstdint>

#include "realtime.h"

// Kept in a namespace of their own so that a program can link several
// processors (each has a `sampling_rate`, a `write_index` and a `delay_line`).
namespace distortion {

// The thirteen parameters, in command-line order. The main thread writes them
// before the JACK client is activated; distortion_compute reads them per block.
extern float overdriver;    // overdrive shape; level compensation 10^(-overdriver/40)
extern float driverover;    // overdrive_stage runs only while this is exactly 1
extern float drive;         // clipper gain 10^(2 drive)
extern float drivelevel1;   // bias added before the clipper gain
extern float drivegain;     // output level in dB, less 10
extern float highpass;      // band filter high-pass corner, Hz
extern float lowpass;       // band filter low-pass corner, Hz
extern float low_highpass;  // 0: the band filter is bypassed; otherwise in the path
extern float highcut;       // Butterworth corner of both filter banks, Hz
extern float lowcut;        // DC-blocker corner of both filter banks, Hz
extern float low_highcut;   // 0: both filter banks are bypassed; otherwise in the path
extern float trigger;       // the delay's feedback gain is 1 - trigger
extern float vibrato;       // the delay's read taps, whole samples

// Set from the sample rate by distortion_init.
extern int32_t sampling_rate;
extern float pi_over_rate;
extern float rate_times_pi;
extern float half_over_rate;

constexpr int32_t delay_line_length = 4096;
constexpr uint32_t delay_line_mask = 0xFFF;

// Samples processed since distortion_init, wrapping modulo 2^32; its low 12 bits
// address delay_line.
extern uint32_t write_index;
extern float delay_line[delay_line_length];

// Every history below holds the value of the last processed sample; the value of
// the current sample exists only inside the loop.
struct dc_section_t {
    float x;  // scaled input
    float y;  // output
};

struct biquad_section_t {
    float v1;  // V one sample back
    float v2;  // V two samples back
};

struct filter_bank_t {
    dc_section_t dc_blocker_pair[2];
    biquad_section_t butterworth_lowpass[2];
};

struct chain_state_t {
    float overdrive_gain;  // smoother of overdrive_stage, advanced only while it runs
    float tap_average;     // feedback_delay output
    float lowpass_x, lowpass_y;
    float highpass_x, highpass_y;
    filter_bank_t pre_filter_bank;
    float clip_x, clip_y;  // clip_dc_blocker
    float level_gain;      // smoother of level_stage
    filter_bank_t post_filter_bank;
};

extern chain_state_t chain;

}  // namespace distortion

// Stores the rate, derives its constants, sets every parameter to its default
// and clears the delay line and every history.
void distortion_init(int32_t sample_rate);

// Processes `count` samples of inputs[0] into outputs[0]; no other entry is used,
// and a count of 0 or less processes nothing. outputs[0] may be inputs[0].
// Runs on the JACK process thread: no allocation, lock or I/O, and the
// transcendental calls are made once per block.
void distortion_compute(int32_t count, const float* const* inputs, float* const* outputs)
    REALTIME_NONBLOCKING;
