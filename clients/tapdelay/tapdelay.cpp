// tapdelay's hooks in the client frame: the eight connections and the work of one
// cycle (the set-up and the command line are in tapdelay_args.cpp).
#include "tapdelay.h"

#include <cstdint>
#include <cstring>

#include "client_frame.h"
#include "echo.h"

void tapdelay_connect() {
    connect_own_output(output_port1, "loopback:playback_1");
    connect_own_output(output_port2, "loopback:playback_2");
    connect_own_input("loopback:capture_1", feedback_port1);
    connect_own_input("loopback:capture_2", feedback_port2);
    connect_own_input("spinreel:output1", input_port1);
    connect_own_input("spinreel:output2", input_port2);
    connect_own_output(output_port1, "system:playback_1");
    connect_own_output(output_port2, "system:playback_2");
}

void tapdelay_block(jack_nframes_t nframes, const float* input1, float* output1, float* output2) {
    const float* inputs[1] = {input1};
    float* outputs[1] = {output1};
    echo_compute(static_cast<int32_t>(nframes), inputs, outputs);
    // The server's buffer would otherwise hold whatever it held before.
    std::memset(output2, 0, nframes * sizeof(float));
}

int tapdelay_process(jack_nframes_t nframes, void*) {
    auto* out1 = static_cast<float*>(jack_port_get_buffer(output_port1, nframes));
    auto* out2 = static_cast<float*>(jack_port_get_buffer(output_port2, nframes));
    const float* in1 = input_buffer(input_port1, nframes);
    // Fetched like every port of the cycle, but input2 and the feedback ports feed nothing.
    [[maybe_unused]] const float* in2 = input_buffer(input_port2, nframes);
    tapdelay_block(nframes, in1, out1, out2);
    return 0;
}
