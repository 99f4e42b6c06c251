// A recording's own account of its cycles: the server's frame time at each cycle it
// recorded and at each overrun notice, from which overrun_map tells which recorded
// cycles an overrun may have reached. Room for both is made before the client is
// activated; then the process thread notes cycles and the notification thread notes
// notices, neither allocating, locking nor doing I/O, and each publishes its count
// for the main thread (release/acquire).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "overrun_map.h"
#include "realtime.h"

namespace recording {

// What a cycle_log holds at one moment, copied out for the main thread.
struct cycle_account {
    std::vector<std::uint32_t> cycle_times;
    std::vector<std::uint32_t> notice_times;  // the notices kept, in order
    size_t notices_seen = 0;

    bool all_notices_kept() const { return notice_times.size() == notices_seen; }
    // The recorded cycles an overrun may have reached; see overrun_map.
    overrun_map overruns(size_t period, size_t margin, std::uint32_t lag) const;
};

// How long after the start of the cycle it spoiled an overrun notice may come, in
// frames. The server reports an overrun while that cycle is still running late; the
// notice comes through a thread that is not real-time, within a few cycles on a quiet
// machine and up to a good tenth of a second on a busy one: four periods, and at
// least 0.15 s.
std::uint32_t notice_lag(std::uint32_t period, std::uint32_t rate);

class cycle_log {
public:
    // Before activation only.
    void reserve_cycles(size_t cycles) { cycle_times_.assign(cycles, 0); }
    void reserve_notices(size_t notices) { notice_times_.assign(notices, 0); }

    // The process thread, once a recorded cycle: cycles past the room are not kept.
    void note_cycle(std::uint32_t frame_time) noexcept REALTIME_NONBLOCKING;
    // The notification thread, one notice at a time: each counts, kept while there is
    // room.
    void note_notice(std::uint32_t frame_time) noexcept REALTIME_NONBLOCKING;

    size_t notices_seen() const { return notices_seen_.load(std::memory_order_acquire); }
    // What is noted so far.
    cycle_account account() const;

private:
    std::vector<std::uint32_t> cycle_times_, notice_times_;
    std::atomic<size_t> cycles_kept_{0}, notices_seen_{0};
};

}  // namespace recording
