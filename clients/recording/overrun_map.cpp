// Locating the cycles of a recording that an overrun may have reached.
#include "overrun_map.h"

#include <algorithm>

namespace recording {

overrun_map::overrun_map(size_t block, const std::vector<std::uint32_t>& cycle_times,
                         const std::vector<std::uint32_t>& notice_times, bool all_notices,
                         size_t margin, std::uint32_t notice_lag)
    : block_(block), touched_(cycle_times.size(), !all_notices) {
    const size_t n = cycle_times.size();
    std::vector<bool> hit(n, false);
    // Frame times wrap at 2^32: differences are taken modulo that.
    for (size_t k = 1; k < n; ++k) {
        const std::uint32_t step = cycle_times[k] - cycle_times[k - 1];
        if (step == block) continue;
        hit[k - 1] = hit[k] = true;
        if (step > block && step < 0x80000000u) missed_ += step / block - 1;
    }
    for (const std::uint32_t notice : notice_times) {
        for (size_t k = 0; k < n; ++k) {
            const auto before = static_cast<std::int32_t>(notice - cycle_times[k]);
            if (before >= 0 && before <= static_cast<std::int64_t>(notice_lag)) hit[k] = true;
        }
    }
    for (size_t k = 0; k < n; ++k) {
        if (!hit[k]) continue;
        const size_t first = k > margin ? k - margin : 0;
        const size_t last = std::min(n - 1, k + margin);
        for (size_t j = first; j <= last; ++j) touched_[j] = true;
    }
}

size_t overrun_map::touched_cycles() const {
    return static_cast<size_t>(std::count(touched_.begin(), touched_.end(), true));
}

std::vector<std::pair<size_t, size_t>> overrun_map::clean_stretches(size_t memory) const {
    std::vector<std::pair<size_t, size_t>> stretches;
    size_t clean_from = 0;  // first frame past the last touched cycle's memory
    for (size_t k = 0; k < touched_.size(); ++k) {
        const size_t begin = k * block_, end = begin + block_;
        if (touched_[k]) {
            clean_from = end + memory;
            continue;
        }
        const size_t first = std::max(begin, clean_from);
        if (first >= end) continue;
        if (!stretches.empty() && stretches.back().second == first) {
            stretches.back().second = end;
        } else {
            stretches.emplace_back(first, end);
        }
    }
    return stretches;
}

}  // namespace recording
