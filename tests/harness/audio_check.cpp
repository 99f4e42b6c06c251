// Test signals, and the comparison of recorded audio with what was expected.
#include "audio_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <sstream>

namespace harness {

std::vector<float> ramp(size_t frames, double first, double step) {
    std::vector<float> out(frames);
    for (size_t i = 0; i < frames; ++i) out[i] = static_cast<float>(first + step * double(i));
    return out;
}

std::vector<float> sweep_tone(size_t frames) {
    std::vector<float> s(frames);
    for (size_t i = 0; i < frames; ++i) {
        const double level = 0.05 + 0.6 * double(i) / double(frames);
        s[i] = static_cast<float>(level * std::sin(0.07 * double(i)) + 1e-3);
    }
    return s;
}

::testing::AssertionResult same_samples(const std::vector<float>& got,
                                        const std::vector<float>& want, size_t from) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << got.size() << " samples instead of " << want.size();
    }
    for (size_t i = from; i < want.size(); ++i) {
        if (std::memcmp(&got[i], &want[i], sizeof(float)) != 0) {
            return ::testing::AssertionFailure()
                   << "sample " << i << ": " << got[i] << " instead of " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult blocks_match(const std::vector<float>& captured,
                                        const std::vector<float>& expected, size_t block,
                                        size_t max_missing, const overrun_map* overruns) {
    const size_t expected_blocks = expected.size() / block;
    const size_t captured_blocks = captured.size() / block;
    auto at = [&](const std::vector<float>& v, size_t b) { return v.data() + b * block; };
    auto same = [&](const float* a, const float* b) {
        return std::memcmp(a, b, block * sizeof(float)) == 0;
    };

    size_t next = 0;  // first expected block the next captured block may equal
    size_t matched = 0, left_out = 0;
    bool started = false;
    size_t silent_since = 0;
    bool in_silence = false;
    for (size_t c = 0; c < captured_blocks; ++c) {
        if (overruns != nullptr && overruns->touched(c)) {
            ++left_out;
            continue;
        }
        const float* got = at(captured, c);
        if (std::all_of(got, got + block, [](float x) { return x == 0.0f; })) {
            if (started && !in_silence) silent_since = c;
            in_silence = true;
            continue;
        }
        if (started && in_silence) {
            return ::testing::AssertionFailure()
                   << "recorded blocks " << silent_since << ".." << c - 1
                   << " are silent in the middle of the signal";
        }
        in_silence = false;
        // The next block or a later one; else a repeated cycle showing the previous
        // block again. The next comes first where blocks are alike (a constant tail).
        const size_t from = next > 0 ? next - 1 : 0;
        size_t k = next;
        while (k < expected_blocks && !same(got, at(expected, k))) ++k;
        if (k == expected_blocks && next > 0 && same(got, at(expected, next - 1))) k = next - 1;
        if (k == expected_blocks) {
            const size_t ref = std::min(next, expected_blocks - 1);
            const float* want = at(expected, ref);
            size_t i = 0;
            while (i < block && std::memcmp(&got[i], &want[i], sizeof(float)) == 0) ++i;
            return ::testing::AssertionFailure()
                   << "recorded block " << c << " equals no expected block from " << from
                   << " on; against block " << ref << ", frame " << i << " is "
                   << std::setprecision(9) << got[i] << " instead of " << want[i];
        }
        if (!started || k >= next) ++matched;
        started = true;
        next = k + 1;
    }
    if (overruns != nullptr && 2 * matched < expected_blocks - std::min(max_missing, expected_blocks)) {
        return inconclusive(std::to_string(matched) + " of " + std::to_string(expected_blocks) +
                            " expected blocks found in untouched cycles, " +
                            std::to_string(left_out) + " recorded blocks left out");
    }
    const size_t missed = overruns != nullptr ? overruns->missed_cycles() : 0;
    if (matched + max_missing + left_out + missed < expected_blocks) {
        return ::testing::AssertionFailure()
               << "only " << matched << " of " << expected_blocks << " expected blocks were recorded ("
               << left_out << " recorded blocks left out, " << missed << " cycles went by unrecorded)";
    }
    return ::testing::AssertionSuccess() << matched << " of " << expected_blocks << " blocks";
}

::testing::AssertionResult same_samples_where_clean(const std::vector<float>& got,
                                                    const std::vector<float>& want, size_t from,
                                                    const overrun_map& overruns, size_t memory,
                                                    size_t floor) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << got.size() << " samples instead of " << want.size();
    }
    size_t compared = 0;
    for (const auto& [first, end] : overruns.clean_stretches(memory)) {
        for (size_t i = std::max(first, from); i < std::min(end, want.size()); ++i) {
            if (std::memcmp(&got[i], &want[i], sizeof(float)) != 0) {
                return ::testing::AssertionFailure()
                       << "sample " << i << ": " << std::setprecision(9) << got[i] << " instead of "
                       << want[i] << " (untouched by the " << overruns.touched_cycles()
                       << " cycles that overruns reached)";
            }
            ++compared;
        }
    }
    if (compared < floor) {
        return inconclusive(std::to_string(compared) + " samples compared, fewer than " +
                            std::to_string(floor) + "; overruns reached " +
                            std::to_string(overruns.touched_cycles()) + " of " +
                            std::to_string(overruns.cycles()) + " cycles");
    }
    return ::testing::AssertionSuccess() << compared << " samples compared";
}

namespace {
const std::string inconclusive_mark = "inconclusive: ";
}

::testing::AssertionResult inconclusive(const std::string& why) {
    return ::testing::AssertionFailure() << inconclusive_mark << why;
}

bool is_inconclusive(const ::testing::AssertionResult& result) {
    return !result && std::string(result.message()).rfind(inconclusive_mark, 0) == 0;
}

::testing::AssertionResult all_of(std::initializer_list<::testing::AssertionResult> results) {
    // Final failures first, so that the message starts as an inconclusive one only
    // when nothing failed for good.
    std::string final_failures, inconclusive_ones;
    for (const auto& r : results) {
        if (r) continue;
        std::string& to = is_inconclusive(r) ? inconclusive_ones : final_failures;
        to += std::string(to.empty() ? "" : "\n") + r.message();
    }
    const std::string failures =
        final_failures + (final_failures.empty() || inconclusive_ones.empty() ? "" : "\n") +
        inconclusive_ones;
    if (failures.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << failures;
}

::testing::AssertionResult retry_inconclusive(
    const std::function<::testing::AssertionResult()>& attempt, int attempts) {
    std::ostringstream history;
    for (int run = 1;; ++run) {
        ::testing::AssertionResult result = attempt();
        if (result) return result;
        history << "run " << run << ": " << result.message() << "\n";
        if (!is_inconclusive(result) || run >= attempts || ::testing::Test::HasFatalFailure()) {
            return ::testing::AssertionFailure() << history.str();
        }
    }
}

std::optional<size_t> lag_of_copy(const std::vector<float>& direct,
                                  const std::vector<float>& looped, size_t block,
                                  const overrun_map& overruns) {
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
                                          size_t block, const overrun_map& overruns,
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
