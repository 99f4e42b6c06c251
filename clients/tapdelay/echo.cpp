// The echo processor: set-up, and the per-block comb over the ring of past outputs.
#include "echo.h"

#include <algorithm>
#include <cstring>

#include "saturating_convert.h"

namespace echo {

int32_t sampling_rate = 0;
float ms_to_samples = 0.0f;
float time = 0.0f;
float release = 0.0f;
uint32_t write_index = 0;
float delay_line[delay_line_length] = {};
float output_select = 1.0f;

}  // namespace echo

namespace {

constexpr int32_t longest_delay = 0x20000;
constexpr uint32_t delay_mask = longest_delay - 1;

// Between 1 and 131072 samples. The product is rounded to float before the
// truncation, and the subtraction is unsigned so that a truncated INT32_MIN wraps
// as the device's two's complement arithmetic does.
int32_t block_delay(float ms_to_samples, float time) {
    const auto truncated = static_cast<uint32_t>(saturating_trunc(ms_to_samples * time));
    return static_cast<int32_t>(((truncated - 1u) & delay_mask) + 1u);
}

// Below this delay a run is too short to pay for its set-up; the scalar loop
// reads the samples it has just written instead.
constexpr int32_t short_delay = 16;

// One run of `n` frames into the line at `line`, reading the line at `past`. No
// read of the run sees a write of the run (the caller keeps n within the delay),
// and the input lies outside the line, so the loop can go as vectors.
void comb_run(int32_t n, float gain, const float* __restrict in, const float* __restrict past,
              float* __restrict line) {
    // Groups of a fixed size, so that the compiler needs no remainder loop of its
    // own to vectorise at every optimisation level.
    constexpr int32_t group = 8;
    int32_t k = 0;
    for (; k + group <= n; k += group) {
        for (int32_t j = 0; j < group; ++j) line[k + j] = past[k + j] * gain + in[k + j];
    }
    for (; k < n; ++k) line[k] = past[k] * gain + in[k];
}

// The same where the run may read what it writes: `past` lies `delay` before `line`.
void comb_run_short(int32_t n, float gain, const float* in, const float* past, float* line) {
    for (int32_t k = 0; k < n; ++k) line[k] = past[k] * gain + in[k];
}

}  // namespace

void echo_init(int32_t sampling_rate) {
    echo::sampling_rate = sampling_rate;
    // 0.001 is a single-precision constant: 44100 Hz gives the float nearest 44.1.
    echo::ms_to_samples = static_cast<float>(sampling_rate) * 0.001f;
    echo::time = 0.0f;
    echo::release = 0.0f;
    echo::write_index = 0;
    std::fill_n(echo::delay_line, echo::delay_line_length, 0.0f);
    echo::output_select = 1.0f;
}

void echo_compute(int32_t count, const float* const* inputs, float* const* outputs) {
    const int32_t delay = block_delay(echo::ms_to_samples, echo::time);
    // 0.01 is a single-precision constant, so that a release of 100 gives exactly 1.
    const float gain = echo::release * 0.01f;
    const bool echoed = saturating_trunc(echo::output_select) != 0;
    const float* in = inputs[0];
    float* out = outputs[0];
    float* const ring = echo::delay_line;
    uint32_t index = echo::write_index;

    // Split the block where either ring position wraps and, for the vector loop,
    // after `delay` frames, so that no run indexes with a mask or reads its own writes.
    for (int32_t done = 0; done < count;) {
        const uint32_t write_at = index & echo::delay_line_mask;
        const uint32_t read_at = (index - static_cast<uint32_t>(delay)) & echo::delay_line_mask;
        const auto room = static_cast<int32_t>(
            echo::delay_line_length - static_cast<int32_t>(std::max(write_at, read_at)));
        int32_t n = std::min(count - done, room);
        float* const line = ring + write_at;
        if (delay < short_delay) {
            comb_run_short(n, gain, in + done, ring + read_at, line);
        } else {
            n = std::min(n, delay);
            comb_run(n, gain, in + done, ring + read_at, line);
        }
        // The line now holds this run's output; the input has been read, so the
        // output may be the input buffer itself.
        if (echoed) {
            std::memcpy(out + done, line, static_cast<size_t>(n) * sizeof(float));
        } else if (out != in) {
            std::memmove(out + done, in + done, static_cast<size_t>(n) * sizeof(float));
        }
        done += n;
        index += static_cast<uint32_t>(n);
    }
    echo::write_index = index;
}
