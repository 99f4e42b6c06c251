// linkwatch's per-cycle accounting.
#include "link_counter.h"

namespace {

// How far from the expected stamp a neighbour's may lie.
constexpr int32_t neighbourhood = 2;

void bump(std::atomic<uint32_t>& count, uint32_t by = 1) {
    count.fetch_add(by, std::memory_order_relaxed);
}

}  // namespace

uint32_t link_counter::on_cycle(uint32_t own_cycle, const float* block, uint32_t frames) {
    stamp_t stamp;
    const stamp_reading reading = stamp_read(block, frames, &stamp);
    if (reading != stamp_reading::intact) {
        if (locked_) {
            bump(reading == stamp_reading::torn ? late_ : lost_);
            ++unclaimed_;
        }
        last_was_intact_ = false;
        return echo_;
    }
    // The echo names one of this end's cycles: the way there and back, in frames.
    if (stamp.echo != 0) note_round_trip((own_cycle - (stamp.echo - 1)) * frames);
    if (locked_ && stamp.cycle == last_stamp_) {
        // The same block again; the sequence goes on from where that stamp arrived.
        bump(last_was_intact_ ? repeated_ : late_);
        last_was_intact_ = true;
        return echo_;
    }
    if (!locked_) {
        locked_ = true;
        bump(on_time_);
    } else {
        const uint32_t elapsed = own_cycle - last_own_cycle_;
        const auto off = int32_t(stamp.cycle - (last_stamp_ + elapsed));
        bump(off == 0 ? on_time_ : late_);
        // Stamps between the last one and this one that no cycle in between carried,
        // whole or torn: they never arrived. After a jump the count means nothing.
        const auto passed_over = int32_t(stamp.cycle - last_stamp_ - 1) - int32_t(unclaimed_);
        if (off >= -neighbourhood && off <= neighbourhood && passed_over > 0) {
            bump(lost_, uint32_t(passed_over));
        }
    }
    last_stamp_ = stamp.cycle;
    last_own_cycle_ = own_cycle;
    last_was_intact_ = true;
    unclaimed_ = 0;
    echo_ = stamp.cycle + 1;
    return echo_;
}

void link_counter::note_round_trip(uint32_t frames) {
    uint32_t low = round_trip_min_.load(std::memory_order_relaxed);
    while (frames < low && !round_trip_min_.compare_exchange_weak(low, frames)) {
    }
    uint32_t high = round_trip_max_.load(std::memory_order_relaxed);
    while (frames > high && !round_trip_max_.compare_exchange_weak(high, frames)) {
    }
}

link_counts link_counter::take() {
    link_counts counts;
    counts.on_time = on_time_.exchange(0);
    counts.late = late_.exchange(0);
    counts.lost = lost_.exchange(0);
    counts.repeated = repeated_.exchange(0);
    counts.overruns = overruns_.exchange(0);
    const uint32_t low = round_trip_min_.exchange(UINT32_MAX);
    const uint32_t high = round_trip_max_.exchange(0);
    if (low != UINT32_MAX) {
        counts.round_trip_min = low;
        counts.round_trip_max = high;
    }
    return counts;
}
