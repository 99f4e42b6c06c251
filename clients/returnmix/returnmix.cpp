// returnmix's hooks in the client frame: its four loopback connections and one cycle's work.
#include "returnmix.h"

#include "client_frame.h"

int returnmix_process(jack_nframes_t nframes, void*) {
    auto* out1 = static_cast<float*>(jack_port_get_buffer(output_port1, nframes));
    auto* out2 = static_cast<float*>(jack_port_get_buffer(output_port2, nframes));
    const float* in1 = input_buffer(input_port1, nframes);
    const float* in2 = input_buffer(input_port2, nframes);
    const float* fb1 = input_buffer(feedback_port1, nframes);
    const float* fb2 = input_buffer(feedback_port2, nframes);
    returnmix_mix(nframes, in1, fb1, out1);
    returnmix_mix(nframes, in2, fb2, out2);
    return 0;
}

void returnmix_connect() {
    connect_own_output(output_port1, "loopback:playback_1");
    connect_own_output(output_port2, "loopback:playback_2");
    connect_own_input("loopback:capture_1", feedback_port1);
    connect_own_input("loopback:capture_2", feedback_port2);
}
