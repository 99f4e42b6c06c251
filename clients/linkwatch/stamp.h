// The stamp that linkwatch writes over one block of a network channel. It names the
// cycle that wrote it, so that the other end tells a block that arrived in its own
// cycle from one that came late, never came, or came twice:
//   sample 0      a mark;
//   samples 1, 2  the cycle's number, low and high 16 bits;
//   samples 3, 4  the echo: 1 + the latest cycle number heard from the other end,
//                 low and high 16 bits (0: nothing heard yet);
//   the rest      a check pattern that follows from the cycle's number.
// Every value is a whole number of 2^-16 or 2^-18 below 1, exactly a float, so the
// stamp crosses bit for bit where the link carries floats (netjack's default
// encoding). A block made of two cycles' samples (a torn block) fails the pattern;
// a block of any other signal fails the mark or the pattern, the whole block of it.
#pragma once

#include <cstdint>

#include "realtime.h"

// The smallest block a stamp fits in; JACK's shortest period is 16 frames.
inline constexpr uint32_t stamp_min_frames = 8;

struct stamp_t {
    uint32_t cycle = 0;
    uint32_t echo = 0;  // 1 + a cycle number of the other end; 0 for none
};

enum class stamp_reading { none, torn, intact };

void stamp_write(float* block, uint32_t frames, stamp_t stamp) REALTIME_NONBLOCKING;

// What `block` holds: intact (and the stamp in `*stamp`), torn (the mark and a
// number, but not every sample of that number's block), or no stamp at all.
stamp_reading stamp_read(const float* block, uint32_t frames, stamp_t* stamp) REALTIME_NONBLOCKING;
