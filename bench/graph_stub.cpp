// graph_stub <role>: the suite's graph without the suite's work, for
// scripts/bench-suite. It stands in for one of the five standalone clients: opens a
// JACK client under the role's name, registers the same ports in the same order,
// makes the same connections in the same order, and per cycle only copies input1 to
// output1 and input2 to output2. The overruns of a server running these show what
// the machine costs the graph itself, the floor under the real clients' figures.
// Writes "active" once connected; exits 0 on SIGTERM or SIGINT.
//   graph_stub spinreel|fuzzpedal|tapdelay|returnmix|padplayer
#include <jack/jack.h>

#include <cstdio>
#include <cstring>

#include "jack_realtime.h"
#include "stopped_client.h"

#include <cstdlib>

namespace {

struct connection_t {
    const char* source;
    const char* destination;
};

// What a role registers and connects. Own ports are named in full: the client runs
// under the role's name.
struct role_t {
    const char* name;
    bool feedback_ports;        // "feedback1", "feedback2" after the four others
    bool to_physical_playback;  // output1/2 to the first two physical playback ports
    connection_t connections[8];
};

const role_t roles[] = {
    {"spinreel", false, false, {}},
    {"fuzzpedal", false, false,
     {{"spinreel:output1", "fuzzpedal:input1"},
      {"spinreel:output2", "fuzzpedal:input2"},
      {"fuzzpedal:output1", "system:playback_1"},
      {"fuzzpedal:output2", "system:playback_2"}}},
    {"tapdelay", true, false,
     {{"tapdelay:output1", "loopback:playback_1"},
      {"tapdelay:output2", "loopback:playback_2"},
      {"loopback:capture_1", "tapdelay:feedback1"},
      {"loopback:capture_2", "tapdelay:feedback2"},
      {"spinreel:output1", "tapdelay:input1"},
      {"spinreel:output2", "tapdelay:input2"},
      {"tapdelay:output1", "system:playback_1"},
      {"tapdelay:output2", "system:playback_2"}}},
    {"returnmix", true, false,
     {{"returnmix:output1", "loopback:playback_1"},
      {"returnmix:output2", "loopback:playback_2"},
      {"loopback:capture_1", "returnmix:feedback1"},
      {"loopback:capture_2", "returnmix:feedback2"}}},
    {"padplayer", false, true, {}},
};

// Written by the main thread before activation, only read afterwards.
jack_port_t* output_port1 = nullptr;
jack_port_t* output_port2 = nullptr;
jack_port_t* input_port1 = nullptr;
jack_port_t* input_port2 = nullptr;

void copy_port(jack_port_t* from, jack_port_t* to, jack_nframes_t nframes) REALTIME_NONBLOCKING {
    const auto* in = static_cast<const float*>(jack_port_get_buffer(from, nframes));
    auto* out = static_cast<float*>(jack_port_get_buffer(to, nframes));
    for (jack_nframes_t i = 0; i < nframes; ++i) out[i] = in[i];
}

// Runs on the client library's real-time thread.
int stub_process(jack_nframes_t nframes, void*) REALTIME_NONBLOCKING {
    copy_port(input_port1, output_port1, nframes);
    copy_port(input_port2, output_port2, nframes);
    return 0;
}

jack_port_t* register_port(jack_client_t* client, const char* name, unsigned long flags) {
    return jack_port_register(client, name, JACK_DEFAULT_AUDIO_TYPE, flags, 0);
}

void connect_ports(jack_client_t* client, const char* source, const char* destination) {
    if (source == nullptr || destination == nullptr ||
        jack_connect(client, source, destination) != 0) {
        fprintf(stderr, "cannot connect %s to %s\n", source ? source : "(none)",
                destination ? destination : "(none)");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const role_t* role = nullptr;
    for (const auto& r : roles) {
        if (argc == 2 && strcmp(argv[1], r.name) == 0) role = &r;
    }
    if (role == nullptr) {
        fputs("Usage : graph_stub spinreel|fuzzpedal|tapdelay|returnmix|padplayer\n", stderr);
        return 2;
    }

    sigset_t stop_signals;
    jack_client_t* client = open_stoppable_client(role->name, &stop_signals);
    if (client == nullptr) return 1;
    output_port1 = register_port(client, "output1", JackPortIsOutput);
    output_port2 = register_port(client, "output2", JackPortIsOutput);
    input_port1 = register_port(client, "input1", JackPortIsInput);
    input_port2 = register_port(client, "input2", JackPortIsInput);
    bool registered = output_port1 && output_port2 && input_port1 && input_port2;
    if (role->feedback_ports) {
        registered = register_port(client, "feedback1", JackPortIsInput) &&
                     register_port(client, "feedback2", JackPortIsInput) && registered;
    }
    if (!registered || jack_set_process_callback(client, stub_process, nullptr) != 0 ||
        jack_activate(client) != 0) {
        fputs("cannot set up the client\n", stderr);
        jack_client_close(client);
        return 1;
    }

    for (const auto& c : role->connections) {
        if (c.source != nullptr) connect_ports(client, c.source, c.destination);
    }
    if (role->to_physical_playback) {
        const char** playback =
            jack_get_ports(client, nullptr, nullptr, JackPortIsPhysical | JackPortIsInput);
        const bool two = playback != nullptr && playback[0] != nullptr;
        connect_ports(client, jack_port_name(output_port1), two ? playback[0] : nullptr);
        connect_ports(client, jack_port_name(output_port2), two ? playback[1] : nullptr);
        free(playback);
    }
    return serve_until_stopped(client, stop_signals);
}
