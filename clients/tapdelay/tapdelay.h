// tapdelay: the echo on "input1" into "output1", wired to the loop player, the
// loopback ports and the system playback ports.
#pragma once

#include "jack_realtime.h"
#include "tapdelay_args.h"

// The hooks that the client frame runs for this program (tapdelay_before_args and
// tapdelay_prepare come from tapdelay_args.h).
void tapdelay_connect();

// The JACK process callback, on the client's real-time thread. Returns 0.
int tapdelay_process(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;

// One cycle's work on the port buffers: the echo of input1 into output1, and
// silence into output2, which carries no signal of its own.
void tapdelay_block(jack_nframes_t nframes, const float* input1, float* output1, float* output2)
    REALTIME_NONBLOCKING;
