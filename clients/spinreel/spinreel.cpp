// spinreel's hooks in the client frame: checking and loading the WAV file, and one cycle's work.
#include "spinreel.h"

#include <cstdio>
#include <cstdlib>

#include "client_frame.h"
#include "loop_mix.h"

wav_header_t wav_header{};
sample_buffer_t loop_buffer{};

bool spinreel_prepare(int, char** argv, void** callback_arg) {
    const char* path = argv[2];
    wav_read_header(path, &wav_header);
    if (wav_header.bits_per_sample != 16) {
        // "ber" on purpose: users' scripts match this text byte for byte.
        fprintf(stderr, "Currently, supports 16 bits ber sample only\n");
        return false;
    }
    // Without channels there is no frame size to divide by.
    if (wav_header.channels == 0) {
        fprintf(stderr, "WAV file has no channels\n");
        return false;
    }
    int16_t* samples = nullptr;
    const int32_t bytes = wav_load_samples(path, &samples);
    if (bytes < 1) {
        fprintf(stderr, "Unable to open '%s'\n", path);
        return false;
    }
    const int32_t frame_bytes = (int32_t(wav_header.channels) * wav_header.bits_per_sample) / 8;
    const int32_t frames = bytes / frame_bytes;
    // With no whole frame the loop would replay values that lie beyond the data.
    if (frames < 1) {
        free(samples);
        fprintf(stderr, "WAV file holds less than one frame\n");
        return false;
    }
    loop_buffer.samples = samples;
    loop_buffer.frames = frames;
    loop_buffer.position = 0;
    *callback_arg = &loop_buffer;
    return true;
}

void spinreel_release(void* arg) {
    if (arg != nullptr) free(static_cast<sample_buffer_t*>(arg)->samples);
}

int spinreel_process(jack_nframes_t nframes, void* arg) {
    if (arg == nullptr) {
        // Unreachable in the program, whose prepare hook always hands over the loop
        // record; were it reached, the sanitizer would report the write.
        REALTIME_UNCHECKED(fputs("process arg is NULL", stderr))
        return 0;
    }
    auto* out1 = static_cast<float*>(jack_port_get_buffer(output_port1, nframes));
    auto* out2 = static_cast<float*>(jack_port_get_buffer(output_port2, nframes));
    const float* in1 = input_buffer(input_port1, nframes);
    const float* in2 = input_buffer(input_port2, nframes);
    spinreel_mix(nframes, static_cast<sample_buffer_t*>(arg), wav_header.channels, in1, in2,
                 out1, out2);
    return 0;
}
