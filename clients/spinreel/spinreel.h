// spinreel: loops one 16-bit WAV file into its two outputs on top of its inputs.
// It makes no connections; the effects connect to it under the name spinreel.
#pragma once

#include "jack_realtime.h"

#include "sample_buffer.h"
#include "wav_loader.h"

// Filled once at start-up; the process callback reads its channel count.
extern wav_header_t wav_header;
// The looped sample, given to the callbacks as their argument.
extern sample_buffer_t loop_buffer;

// The hooks that the client frame runs for this program. prepare reports, checks and
// loads the file named by argv[2]; it refuses (message on stderr, false) anything
// but 16 bits per sample, a channel count of 0, an unreadable data part and one
// shorter than a whole frame.
bool spinreel_prepare(int argc, char** argv, void** callback_arg);
// On the server's shutdown notification: frees the sample data of `arg`.
void spinreel_release(void* arg);

// The JACK process callback, on the client's real-time thread. Returns 0.
int spinreel_process(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;
