// fuzzpedal's hooks into the client frame and its per-cycle work.
#include "fuzzpedal.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "client_frame.h"
#include "cycle_lines.h"
#include "distortion.h"

bool fuzzpedal_prepare(int argc, char** argv, void**) {
    fuzzpedal_parse(argc, argv);
    // Without the writer the documented line of every cycle would never appear.
    if (const int error = cycle_lines_start(STDOUT_FILENO)) {
        fprintf(stderr, "cannot start the cycle line writer: %s\n", strerror(error));
        return false;
    }
    return true;
}

void fuzzpedal_cycle(jack_nframes_t nframes, const float* input1, float* output1,
                     float* output2) {
    const float* const inputs[] = {input1};
    float* const outputs[] = {output1};
    distortion_compute(static_cast<int32_t>(nframes), inputs, outputs);
    std::memset(output2, 0, nframes * sizeof(float));
}

int fuzzpedal_process(jack_nframes_t nframes, void*) {
    // The cycle's "process is called" line, first of all; cycle_lines writes it out.
    cycle_lines_count();
    auto* out1 = static_cast<float*>(jack_port_get_buffer(output_port1, nframes));
    auto* out2 = static_cast<float*>(jack_port_get_buffer(output_port2, nframes));
    const float* in1 = input_buffer(input_port1, nframes);
    [[maybe_unused]] const float* in2 = input_buffer(input_port2, nframes);  // mono: unread
    fuzzpedal_cycle(nframes, in1, out1, out2);
    return 0;
}

void fuzzpedal_connect() {
    connect_own_input("spinreel:output1", input_port1);
    connect_own_input("spinreel:output2", input_port2);
    connect_own_output(output_port1, "system:playback_1");
    connect_own_output(output_port2, "system:playback_2");
}
