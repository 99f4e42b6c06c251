// graph_stub_passthru.so: the stand-in for passthru in scripts/bench-suite, loaded
// into the server with "jack_load passthru graph_stub_passthru". The same ports
// ("input", "output") and connections as passthru.so (the first physical capture
// port to "input", "output" to the first physical playback port) and a plain copy
// per cycle. One load per server: its two ports live in static storage.
#include <jack/jack.h>

#include <cstdio>

#include "jack_realtime.h"

#include <cstdlib>

#define STUB_EXPORT __attribute__((visibility("default")))

namespace {

jack_port_t* input_port = nullptr;
jack_port_t* output_port = nullptr;

// Runs on the server's real-time thread.
int stub_process(jack_nframes_t nframes, void*) REALTIME_NONBLOCKING {
    const auto* in = static_cast<const float*>(jack_port_get_buffer(input_port, nframes));
    auto* out = static_cast<float*>(jack_port_get_buffer(output_port, nframes));
    for (jack_nframes_t i = 0; i < nframes; ++i) out[i] = in[i];
    return 0;
}

// Connects `own` with the first physical port of the other direction.
void connect_first_physical(jack_client_t* client, jack_port_t* own, bool own_is_input) {
    const unsigned long wanted = JackPortIsPhysical | (own_is_input ? JackPortIsOutput : JackPortIsInput);
    const char** ports = jack_get_ports(client, nullptr, nullptr, wanted);
    const char* peer = ports != nullptr ? ports[0] : nullptr;
    const char* name = jack_port_name(own);
    if (peer == nullptr || (own_is_input ? jack_connect(client, peer, name)
                                         : jack_connect(client, name, peer)) != 0) {
        fprintf(stderr, "graph_stub_passthru: cannot connect %s\n", name);
    }
    free(ports);
}

}  // namespace

extern "C" {

STUB_EXPORT int jack_initialize(jack_client_t* client, const char* /*load_init*/) {
    input_port = jack_port_register(client, "input", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    output_port =
        jack_port_register(client, "output", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (input_port == nullptr || output_port == nullptr ||
        jack_set_process_callback(client, stub_process, nullptr) != 0 ||
        jack_activate(client) != 0) {
        fputs("graph_stub_passthru: cannot set up the client\n", stderr);
        return 1;
    }
    connect_first_physical(client, input_port, true /*own_is_input*/);
    connect_first_physical(client, output_port, false /*own_is_input*/);
    return 0;
}

STUB_EXPORT void jack_finish(void* /*arg*/) {}

}  // extern "C"
