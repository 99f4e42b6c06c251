// The pass-through internal client. Runs inside the server: the process callback on
// the server's real-time thread, the other two in its loading context.
#include "inprocess.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int jack_initialize(jack_client_t* client, const char* /*load_init*/) {
    auto* ports = static_cast<port_pair_t*>(malloc(sizeof(port_pair_t)));
    if (ports == nullptr) return 1;

    jack_set_process_callback(client, inprocess, ports);
    ports->input_port =
        jack_port_register(client, "input", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    ports->output_port =
        jack_port_register(client, "output", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    // A full port table leaves a handle null. Activated so, the copy would hand the
    // null port to the server's own process thread and take the whole server down;
    // refusing the load instead lets the server close the client, release the port
    // that did register and hand the record to jack_finish.
    if (ports->input_port == nullptr || ports->output_port == nullptr) {
        fputs("no more JACK ports available\n", stderr);
        return 1;
    }
    jack_activate(client);

    // From here on a failure leaves the client active; the record stays the process
    // callback's argument until jack_finish releases it.
    const char** capture = jack_get_ports(client, nullptr, nullptr, JackPortIsPhysical | JackPortIsOutput);
    if (capture == nullptr) {
        fputs("no physical capture ports\n", stderr);
        return 1;
    }
    if (jack_connect(client, capture[0], jack_port_name(ports->input_port)) != 0) {
        fputs("cannot connect input ports\n", stderr);
    }
    free(capture);

    const char** playback = jack_get_ports(client, nullptr, nullptr, JackPortIsPhysical | JackPortIsInput);
    if (playback == nullptr) {
        fputs("no physical playback ports\n", stderr);
        return 1;
    }
    if (jack_connect(client, jack_port_name(ports->output_port), playback[0]) != 0) {
        fputs("cannot connect output ports\n", stderr);
    }
    free(playback);
    return 0;
}

int inprocess(jack_nframes_t nframes, void* arg) {
    auto* ports = static_cast<port_pair_t*>(arg);
    auto* out = static_cast<float*>(jack_port_get_buffer(ports->output_port, nframes));
    const auto* in = static_cast<const float*>(jack_port_get_buffer(ports->input_port, nframes));
    memcpy(out, in, sizeof(float) * nframes);
    return 0;
}

void jack_finish(void* arg) {
    if (arg != nullptr) free(arg);
}
