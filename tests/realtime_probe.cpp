// A test-only JACK client for the real-time tests. Its nonblocking process callback
// halves "input" into "output"; with "print" it also calls printf every cycle,
// which RealtimeSanitizer has to stop. Writes "active" once activated, and exits 0
// on SIGTERM or SIGINT.
//   realtime_probe <client_name> clean|print
#include <jack/jack.h>

#include <cstdio>
#include <cstring>

#include "jack_realtime.h"
#include "stopped_client.h"

namespace {

jack_port_t* input_port = nullptr;
jack_port_t* output_port = nullptr;
bool print_each_cycle = false;

int probe_process(jack_nframes_t nframes, void*) REALTIME_NONBLOCKING {
    auto* out = static_cast<float*>(jack_port_get_buffer(output_port, nframes));
    const auto* in = static_cast<const float*>(jack_port_get_buffer(input_port, nframes));
    for (jack_nframes_t i = 0; i < nframes; ++i) out[i] = in[i] * 0.5f;
    if (print_each_cycle) {
        // The deliberate fault: unchecked by the compiler, so that the sanitizer sees it.
        REALTIME_UNCHECKED(printf("cycle of %u frames\n", static_cast<unsigned>(nframes)))
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[2], "clean") != 0 && strcmp(argv[2], "print") != 0)) {
        fputs("Usage : realtime_probe <client_name> clean|print\n", stderr);
        return 2;
    }
    print_each_cycle = strcmp(argv[2], "print") == 0;

    sigset_t stop_signals;
    jack_client_t* client = open_stoppable_client(argv[1], &stop_signals);
    if (client == nullptr) return 1;
    input_port = jack_port_register(client, "input", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    output_port =
        jack_port_register(client, "output", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    if (input_port == nullptr || output_port == nullptr ||
        jack_set_process_callback(client, probe_process, nullptr) != 0 ||
        jack_activate(client) != 0) {
        fputs("cannot set up the client\n", stderr);
        return 1;
    }
    return serve_until_stopped(client, stop_signals);
}
