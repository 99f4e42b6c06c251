// passthru.so: an internal client that the JACK server loads into its own process.
// It copies the first physical capture port to the first physical playback port.
#pragma once

#include "jack_realtime.h"

// The plug-in's one record, allocated per load by jack_initialize and released by
// jack_finish; the server hands it to every process callback.
struct port_pair_t {
    jack_port_t* input_port;
    jack_port_t* output_port;
};

// The server looks these up by their plain C names; nothing else is exported.
#define PASSTHRU_EXPORT __attribute__((visibility("default")))

extern "C" {
// Registers "input" and "output", activates and connects them. Returns 0 when set-up
// completed, 1 when the record cannot be allocated, a port cannot be registered (before
// activation, so the server refuses the load) or a list of physical ports is missing.
// load_init, the load request's string, is not used.
PASSTHRU_EXPORT int jack_initialize(jack_client_t* client, const char* load_init);
// The process callback: copies the input buffer to the output buffer.
PASSTHRU_EXPORT int inprocess(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;
// Releases the record; a null argument does nothing.
PASSTHRU_EXPORT void jack_finish(void* arg);
}
