// padplayer: plays one of three samples once when a key arrives on standard input,
// on top of its two pass-through inputs. The hooks that the client frame runs for
// it, the key handling, and the per-block mix that tests call directly.
//
// The key loop (main thread) and the process callback (JACK's real-time thread)
// share the playback selection: `current_sample` and the play positions are atomic.
// `samples` and `frames` of each record are written before the client opens and
// only read afterwards.
#pragma once

#include "jack_realtime.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "sample_buffer.h"

constexpr int KEY_COUNT = 3;

// The fixed sample files of keys 1, 2 and 3.
extern const char* const key_paths[KEY_COUNT];

// Divided first, then multiplied by the gain, in double precision.
// 32767, not 32768, on purpose: recordings made with the player match these values bit for bit.
constexpr double SAMPLE_SCALE = 32767.0;
constexpr double KEY_GAIN = 0.3;

// The three loaded samples. Their `position` fields stay unused: the positions,
// which both threads touch, live in key_positions (same index).
extern sample_buffer_t key_samples[KEY_COUNT];
extern std::atomic<int32_t> key_positions[KEY_COUNT];
// The record that plays, or null when the inputs pass through.
extern std::atomic<sample_buffer_t*> current_sample;
// The record selected last, or null before the first key; key loop only.
extern sample_buffer_t* last_sample;

// Loads the three files into key_samples: frames = byte count / 2 for key 1 and
// byte count / 4 for keys 2 and 3. On a count below 1 writes "Unable to open file N"
// to stderr and returns false (samples loaded so far are kept).
bool padplayer_load(const char* const paths[KEY_COUNT]);
bool padplayer_prepare(int argc, char** argv, void** callback_arg);

// Key loop side: starts `record` (one of key_samples) from its first value, cutting
// whatever plays.
void padplayer_trigger(sample_buffer_t* record);
// Acts on one character: a/A, s/S, d/D trigger keys 1 to 3, a zero byte does
// nothing, anything else triggers the last selected sample again (nothing before
// the first selection).
void padplayer_key(int character);
// Reads characters from `keys` until its end, acting on each; then returns.
void padplayer_read_keys(FILE* keys);
// The frame's main loop: the keys of stdin, then parks for ever (sleep(1) steps),
// so the last sample plays out once and the process idles until a signal.
[[noreturn]] void padplayer_main_loop();

// One block (real-time thread): with no sample, exact copies of the inputs; while a
// sample plays, out = float((v / 32767.0) * 0.3 + in) per channel, one value per
// frame. When the sample ends inside the block the rest of it passes through.
void padplayer_mix(jack_nframes_t nframes, const float* in1, const float* in2, float* out1,
                   float* out2) REALTIME_NONBLOCKING;

// The JACK process callback: fetches the four buffers and mixes. Returns 0.
int padplayer_process(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;

// output1 and output2 to the first two physical playback ports; exits with 1 when
// the server lists none.
void padplayer_connect();

// Shutdown callback: frees the three sample buffers.
void padplayer_release(void* arg);
