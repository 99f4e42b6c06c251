// Where overruns reached a recording. In an overrun cycle the server guarantees
// nothing about the audio (blocks can be lost, repeated or torn), so comparisons
// of recorded audio leave out the cycles that one may have reached and judge the
// rest. The map is made from what the recorder itself saw: the server's frame time
// at each cycle it recorded, and the frame times at which overruns were reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace recording {

class overrun_map {
public:
    // A recording in cycles of `block` frames, cycle k recorded at server frame
    // time cycle_times[k]. A cycle is touched when the frame time does not step by
    // exactly `block` from the cycle before or to the cycle after (a cycle skipped,
    // repeated or run late), or when it began within `notice_lag` frames before an
    // overrun notice (notices come from another thread, a little late). The margin
    // covers the cycles after. `all_notices` is false when more overruns happened than
    // `notice_times` holds: then every cycle counts as touched. Each touched cycle
    // is widened by `margin` cycles on both sides.
    overrun_map(size_t block, const std::vector<std::uint32_t>& cycle_times,
                const std::vector<std::uint32_t>& notice_times, bool all_notices,
                size_t margin, std::uint32_t notice_lag);

    size_t block() const { return block_; }
    size_t cycles() const { return touched_.size(); }
    // Cycles past the recording count as touched: nothing is known of them.
    bool touched(size_t cycle) const { return cycle >= touched_.size() || touched_[cycle]; }
    size_t touched_cycles() const;
    // The server's cycles between the first and the last recorded one that went
    // by unrecorded: what a feed may have played that the recording lacks.
    size_t missed_cycles() const { return missed_; }
    // The stretches [first, end) of frames in untouched cycles that lie at least
    // `memory` frames after the end of every touched cycle before them: where a
    // processor whose state forgets a disturbance within `memory` frames is back
    // on its undisturbed course.
    std::vector<std::pair<size_t, size_t>> clean_stretches(size_t memory = 0) const;

private:
    size_t block_;
    std::vector<bool> touched_;
    size_t missed_ = 0;
};

}  // namespace recording
