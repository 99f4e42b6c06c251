// The loopback return mixer: adds the server's loopback returns, at 0.7, to its inputs.
#pragma once

#include "jack_realtime.h"

#include "loopback_mix.h"

// The JACK process callback: mixes both channels. Returns 0.
int returnmix_process(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;

// The hooks that the client frame runs for this program.
void returnmix_connect();
