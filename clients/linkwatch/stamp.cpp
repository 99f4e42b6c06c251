// Writing and reading linkwatch's per-cycle stamp.
#include "stamp.h"

namespace {

constexpr float half_word_scale = 65536.0f;
// 46341 / 65536, kept on purpose: the mark of every stamp since the first.
constexpr float mark = 46341.0f / half_word_scale;
constexpr uint32_t header_samples = 5;

float half_word(uint32_t value) { return float(value & 0xFFFFu) / half_word_scale; }

// The 16-bit value of a sample that holds one, else -1.
int32_t read_half_word(float sample) {
    const float scaled = sample * half_word_scale;
    if (!(scaled >= 0.0f && scaled < half_word_scale)) return -1;
    const auto whole = uint32_t(scaled);
    return float(whole) == scaled ? int32_t(whole) : -1;
}

// The check sample `index` of cycle `cycle`'s block: a mix of both, a quarter of full
// scale at most.
float pattern(uint32_t cycle, uint32_t index) {
    uint32_t x = cycle * 0x9E3779B1u + index * 0x85EBCA77u;
    x ^= x >> 15;
    x *= 0xC2B2AE3Du;
    x ^= x >> 13;
    return float(x >> 16) / (4.0f * half_word_scale);
}

}  // namespace

void stamp_write(float* block, uint32_t frames, stamp_t stamp) {
    if (frames < stamp_min_frames) return;
    block[0] = mark;
    block[1] = half_word(stamp.cycle);
    block[2] = half_word(stamp.cycle >> 16);
    block[3] = half_word(stamp.echo);
    block[4] = half_word(stamp.echo >> 16);
    for (uint32_t i = header_samples; i < frames; ++i) block[i] = pattern(stamp.cycle, i);
}

stamp_reading stamp_read(const float* block, uint32_t frames, stamp_t* stamp) {
    if (frames < stamp_min_frames || block[0] != mark) return stamp_reading::none;
    int32_t words[4];
    for (uint32_t i = 0; i < 4; ++i) {
        words[i] = read_half_word(block[1 + i]);
        if (words[i] < 0) return stamp_reading::none;
    }
    const uint32_t cycle = uint32_t(words[0]) | uint32_t(words[1]) << 16;
    const uint32_t echo = uint32_t(words[2]) | uint32_t(words[3]) << 16;
    uint32_t matching = 0;
    for (uint32_t i = header_samples; i < frames; ++i) matching += block[i] == pattern(cycle, i);
    if (matching == frames - header_samples) {
        stamp->cycle = cycle;
        stamp->echo = echo;
        return stamp_reading::intact;
    }
    // A header with no sample of its pattern is some other signal; with part of it,
    // a block torn between two cycles.
    return matching > 0 ? stamp_reading::torn : stamp_reading::none;
}
