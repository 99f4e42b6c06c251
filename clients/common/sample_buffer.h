// One loaded sample as a player plays it: the loader's data and a play position.
#pragma once

#include <cstdint>

struct sample_buffer_t {
    int16_t* samples;  // from wav_load_samples; owned by the player, freed at shutdown
    int32_t frames;    // playable length, computed by each player from the byte count
    int32_t position;  // index into samples (16-bit values) of the next value to play
};
