// The per-cycle accounting of a recording.
#include "cycle_log.h"

#include <algorithm>

namespace recording {

std::uint32_t notice_lag(std::uint32_t period, std::uint32_t rate) {
    return std::max<std::uint32_t>(4 * period, rate * 3 / 20);
}

void cycle_log::note_cycle(std::uint32_t frame_time) noexcept {
    const size_t cycle = cycles_kept_.load(std::memory_order_relaxed);
    if (cycle < cycle_times_.size()) {
        cycle_times_[cycle] = frame_time;
        cycles_kept_.store(cycle + 1, std::memory_order_release);
    }
}

void cycle_log::note_notice(std::uint32_t frame_time) noexcept {
    const size_t seen = notices_seen_.load(std::memory_order_relaxed);
    if (seen < notice_times_.size()) notice_times_[seen] = frame_time;
    notices_seen_.store(seen + 1, std::memory_order_release);
}

cycle_account cycle_log::account() const {
    const auto cycles = std::ptrdiff_t(cycles_kept_.load(std::memory_order_acquire));
    const size_t seen = notices_seen();
    const auto kept = std::ptrdiff_t(std::min(seen, notice_times_.size()));
    return {{cycle_times_.begin(), cycle_times_.begin() + cycles},
            {notice_times_.begin(), notice_times_.begin() + kept},
            seen};
}

overrun_map cycle_account::overruns(size_t period, size_t margin, std::uint32_t lag) const {
    return overrun_map(period, cycle_times, notice_times, all_notices_kept(), margin, lag);
}

}  // namespace recording
