// What linkwatch counts of the stamps that arrive, one cycle of its own at a time,
// on the audio thread; the main thread takes the counts once a second.
//
// Once the first intact stamp has arrived, the stamps are expected to follow the
// receiving server's cycles one for one. Each cycle of the receiver is then one of:
//   on time   the stamp that follows the last one by as many cycles as have passed;
//   late      a neighbour's stamp (within two cycles of the expected one, never seen
//             before), or a torn block;
//   repeated  the same stamp as the cycle before;
//   lost      no stamp at all.
// Stamps that the sequence skips over, where no cycle in between carried them, count
// as lost too (a block that came twice stands in for the one that never came).
// A stamp further than two cycles from the expected one (the other end restarted, or
// the link came back) starts the sequence again there and counts as late.
#pragma once

#include <atomic>
#include <cstdint>

#include "realtime.h"
#include "stamp.h"

struct link_counts {
    uint32_t on_time = 0, late = 0, lost = 0, repeated = 0;
    uint32_t overruns = 0;
    // The round trip in frames, lowest and highest; 0 when none was measured.
    uint32_t round_trip_min = 0, round_trip_max = 0;
};

class link_counter {
public:
    // One cycle of the receiver: `own_cycle` is its own cycle's number (one more
    // each call), `block` what arrived. Returns the echo to send: 1 + the
    // latest intact stamp's cycle number, 0 before any.
    uint32_t on_cycle(uint32_t own_cycle, const float* block, uint32_t frames) REALTIME_NONBLOCKING;
    // An overrun of the receiving server (from JACK's overrun callback).
    void on_overrun() { overruns_.fetch_add(1, std::memory_order_relaxed); }
    // The counts since the last take, and a fresh start for the next.
    link_counts take();

private:
    void note_round_trip(uint32_t frames) REALTIME_NONBLOCKING;

    // Audio thread only.
    bool locked_ = false;
    uint32_t last_stamp_ = 0;      // the latest intact stamp's cycle
    uint32_t last_own_cycle_ = 0;  // the receiver's cycle it came in
    bool last_was_intact_ = false;
    uint32_t unclaimed_ = 0;  // cycles since then without an intact stamp
    uint32_t echo_ = 0;

    std::atomic<uint32_t> on_time_{0}, late_{0}, lost_{0}, repeated_{0}, overruns_{0};
    std::atomic<uint32_t> round_trip_min_{UINT32_MAX}, round_trip_max_{0};
};
