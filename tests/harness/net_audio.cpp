// The lag of a copy that crossed the network, and the cycles that crossed late.
#include "net_audio.h"

#include <algorithm>
#include <string>

#include "audio_check.h"

namespace harness {

std::optional<size_t> lag_of_copy(const std::vector<float>& direct,
                                  const std::vector<float>& looped, size_t block,
                                  const recording::overrun_map& overruns) {
    const size_t blocks = std::min(direct.size(), looped.size()) / block;
    for (size_t lag = 0; lag <= 32; ++lag) {
        size_t agreeing = 0;
        for (size_t b = lag; b < blocks && agreeing < 8; ++b) {
            if (overruns.touched(b) || overruns.touched(b - lag)) continue;
            const float* want = &direct[(b - lag) * block];
            if (std::all_of(want, want + block, [](float s) { return s == 0.0f; })) continue;
            if (!std::equal(want, want + block, &looped[b * block])) break;
            ++agreeing;
        }
        if (agreeing == 8) return lag * block;
    }
    return std::nullopt;
}

bool crossed_late(const std::vector<float>& direct, const std::vector<float>& looped, size_t lag,
                  size_t block, size_t b) {
    for (size_t i = 0; i < block; ++i) {
        const size_t at = b * block + i;
        bool neighbour = false;
        for (size_t away = 1; away <= 2 && !neighbour; ++away) {
            const size_t step = away * block;
            neighbour = (at >= lag + step && looped[at] == direct[at - lag - step]) ||
                        (at + step < direct.size() + lag && looped[at] == direct[at - lag + step]);
        }
        if (!neighbour && looped[at] != direct[at - lag]) return false;
    }
    return true;
}

::testing::AssertionResult repeats_at_lag(const std::vector<float>& direct,
                                          const std::vector<float>& looped, size_t lag,
                                          size_t block, const recording::overrun_map& overruns,
                                          bool studio_overran) {
    const size_t blocks = std::min(direct.size(), looped.size()) / block;
    size_t judged = 0, sounding = 0, late = 0;
    for (size_t b = lag / block; b < blocks; ++b) {
        if (overruns.touched(b) || overruns.touched(b - lag / block)) continue;
        const float* want = &direct[b * block - lag];
        const bool same = std::equal(want, want + block, &looped[b * block]);
        if (!same && crossed_late(direct, looped, lag, block, b) && ++late * 50 <= blocks) continue;
        if (!same) {
            const std::string where = "block " + std::to_string(b) + " of the looped recording differs (lag " +
                                      std::to_string(lag) + " frames, " + std::to_string(late) +
                                      " late cycles before it)";
            return studio_overran ? inconclusive(where + ", with overruns on the studio")
                                  : ::testing::AssertionFailure() << where;
        }
        ++judged;
        sounding += std::any_of(want, want + block, [](float s) { return s != 0.0f; });
    }
    if (judged * 2 < blocks || sounding * 4 < blocks) {
        return inconclusive(std::to_string(judged) + " of " + std::to_string(blocks) +
                            " blocks judged, " + std::to_string(sounding) + " sounding");
    }
    ::testing::Test::RecordProperty("late_cycles", std::to_string(late));
    return ::testing::AssertionSuccess();
}

}  // namespace harness
