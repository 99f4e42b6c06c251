// fuzzpedal: the distortion processor as a JACK client. The hooks that the
// client frame runs for it (the command line's in fuzzpedal_args.h), and the
// per-cycle work that tests call directly.
#pragma once

#include "fuzzpedal_args.h"
#include "jack_realtime.h"

// Reads the numbers and starts the thread that writes the cycle lines.
bool fuzzpedal_prepare(int argc, char** argv, void** callback_arg);

// One cycle on given buffers: input1 through the processor into output1, and
// silence into output2, which the mono processor leaves alone.
void fuzzpedal_cycle(jack_nframes_t nframes, const float* input1, float* output1,
                     float* output2) REALTIME_NONBLOCKING;

// The JACK process callback (real-time thread). Counts its one line per cycle
// (cycle_lines.h writes it to stdout), fetches the four buffers and runs
// fuzzpedal_cycle. Returns 0.
int fuzzpedal_process(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;

// spinreel's outputs into the inputs, the outputs to the system playback ports.
void fuzzpedal_connect();
