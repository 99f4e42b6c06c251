// The keyboard sample player: loading, key handling, the mix and the JACK hooks.
#include "padplayer.h"

#include <unistd.h>

#include <cstdlib>

#include "client_frame.h"
#include "exit_path.h"
#include "wav_loader.h"

const char* const key_paths[KEY_COUNT] = {
    "/sdcard/Sounds/key1.wav",
    "/sdcard/Sounds/key2.wav",
    "/sdcard/Sounds/key3.wav",
};

sample_buffer_t key_samples[KEY_COUNT] = {};
std::atomic<int32_t> key_positions[KEY_COUNT] = {};
std::atomic<sample_buffer_t*> current_sample{nullptr};
sample_buffer_t* last_sample = nullptr;

namespace {

std::atomic<int32_t>& position_of(const sample_buffer_t* record) {
    return key_positions[record - key_samples];
}

// Takes `record` off after its last value `last`, unless a trigger came meanwhile.
// Another record triggered: it stays current. The same record triggered again: its
// position was reset to 0, so the reset CAS fails and the record is put back.
// (A record of one value re-triggered at this very moment cannot be told apart,
// since its position was already 0; that trigger is lost.)
void end_sample(sample_buffer_t* record, int32_t last) {
    sample_buffer_t* expected = record;
    const bool took_off = current_sample.compare_exchange_strong(expected, nullptr,
                                                                 std::memory_order_acq_rel);
    const bool retriggered =
        !position_of(record).compare_exchange_strong(last, 0, std::memory_order_acq_rel);
    if (took_off && retriggered) {
        expected = nullptr;
        current_sample.compare_exchange_strong(expected, record, std::memory_order_acq_rel);
    }
}

}  // namespace

bool padplayer_load(const char* const paths[KEY_COUNT]) {
    for (int key = 0; key < KEY_COUNT; ++key) {
        int16_t* data = nullptr;
        const int32_t count = wav_load_samples(paths[key], &data);
        if (count < 1) {
            fprintf(stderr, "Unable to open file %d\n", key + 1);
            return false;
        }
        // One 16-bit value per frame whatever the file's channels; keys 2 and 3
        // play only the first half of their values.
        const int32_t frames = key == 0 ? count / 2 : count / 4;
        key_samples[key] = sample_buffer_t{data, frames, 0};
        key_positions[key].store(0, std::memory_order_relaxed);
    }
    return true;
}

bool padplayer_prepare(int, char**, void**) { return padplayer_load(key_paths); }

void padplayer_trigger(sample_buffer_t* record) {
    // Position first, then the release store of the pointer: a process thread that
    // acquires the new record sees the reset, never the place where it was cut.
    position_of(record).store(0, std::memory_order_relaxed);
    current_sample.store(record, std::memory_order_release);
    last_sample = record;
}

void padplayer_key(int character) {
    switch (character) {
        case 'a':
        case 'A':
            padplayer_trigger(&key_samples[0]);
            break;
        case 's':
        case 'S':
            padplayer_trigger(&key_samples[1]);
            break;
        case 'd':
        case 'D':
            padplayer_trigger(&key_samples[2]);
            break;
        case 0:
            break;
        default:
            if (last_sample != nullptr) padplayer_trigger(last_sample);
            break;
    }
}

void padplayer_read_keys(FILE* keys) {
    // End of input (or a read error) ends the loop: re-triggering on it would
    // restart the last sample without pause for ever.
    for (int character; (character = fgetc(keys)) != EOF;) padplayer_key(character);
}

void padplayer_main_loop() {
    padplayer_read_keys(stdin);
    for (;;) sleep(1);
}

void padplayer_mix(jack_nframes_t nframes, const float* in1, const float* in2, float* out1,
                   float* out2) {
    for (jack_nframes_t i = 0; i < nframes; ++i) {
        // One load per frame: samples, frames and position all come from this record.
        sample_buffer_t* const record = current_sample.load(std::memory_order_acquire);
        if (record == nullptr) {
            out1[i] = in1[i];
            out2[i] = in2[i];
            continue;
        }
        std::atomic<int32_t>& position = position_of(record);
        int32_t played = position.load(std::memory_order_acquire);
        const double value = static_cast<double>(record->samples[played]);
        const double gain = (value / SAMPLE_SCALE) * KEY_GAIN;
        out1[i] = static_cast<float>(gain + static_cast<double>(in1[i]));
        out2[i] = static_cast<float>(gain + static_cast<double>(in2[i]));
        if (played + 1 < record->frames) {
            // Fails only when a trigger reset the position meanwhile: the reset wins.
            position.compare_exchange_strong(played, played + 1, std::memory_order_acq_rel);
        } else {
            end_sample(record, played);
        }
    }
}

int padplayer_process(jack_nframes_t nframes, void*) {
    auto* out1 = static_cast<float*>(jack_port_get_buffer(output_port1, nframes));
    auto* out2 = static_cast<float*>(jack_port_get_buffer(output_port2, nframes));
    padplayer_mix(nframes, input_buffer(input_port1, nframes), input_buffer(input_port2, nframes),
                  out1, out2);
    return 0;
}

namespace {

void connect_to_playback(jack_port_t* own, const char* playback) {
    // `playback` is null when the server lists fewer ports than this one needs.
    if (playback == nullptr || jack_connect(client, jack_port_name(own), playback) != 0) {
        fputs("cannot connect output ports\n", stderr);
    }
}

}  // namespace

void padplayer_connect() {
    const char** ports =
        jack_get_ports(client, nullptr, nullptr, JackPortIsPhysical | JackPortIsInput);
    if (ports == nullptr) {
        leave_process(1, "no physical playback ports\n");
    }
    connect_to_playback(output_port1, ports[0]);
    connect_to_playback(output_port2, ports[0] != nullptr ? ports[1] : nullptr);
    free(ports);  // port lists are freed with the C library's free, as everywhere in the suite
}

void padplayer_release(void*) {
    for (sample_buffer_t& key : key_samples) {
        if (key.samples != nullptr) {
            free(key.samples);
            key.samples = nullptr;
        }
    }
}
