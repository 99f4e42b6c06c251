// fxrender: fuzzpedal's distortion or tapdelay's echo run offline over a WAV file,
// set up and read from the same numbers as the client's command line, so that a
// setting can be heard without a JACK server. The steps, for the program and tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern const char* const fxrender_usage;

// An effect as its client runs it: the set-up before the command line, the
// client's own reading of its numbers (argv[2] on), and the per-block compute.
struct effect_t {
    const char* name;
    void (*before_args)();
    void (*parse)(int argc, char** argv);
    void (*compute)(int32_t count, const float* const* inputs, float* const* outputs);
};

// The effect called `name`, or null.
const effect_t* fxrender_find_effect(const std::string& name);

// What fxrender takes from an input file: its rate and its first channel as floats
// (16-bit PCM as s / 32768.0f, 32-bit float as stored).
struct wav_input_t {
    uint32_t sample_rate = 0;
    std::vector<float> samples;
};

// Reads the WAV file at `path`. On failure returns false with the reason (no file
// name) in *reason.
bool fxrender_read_wav(const std::string& path, wav_input_t* input, std::string* reason);

// Sets `effect` up as its client does with `numbers` after the client name, then
// runs it over `input` in blocks of `block` frames and returns its output.
std::vector<float> fxrender_run(const effect_t& effect, const std::vector<std::string>& numbers,
                                const std::vector<float>& input, int32_t block);

// The whole program: fxrender <effect> <in.wav> <out.wav> [numbers...]. Returns the
// exit status, 0 or 1; every failure is reported on standard error.
int fxrender_main(int argc, char** argv);
