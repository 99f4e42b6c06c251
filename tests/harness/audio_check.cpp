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
                                        size_t max_missing) {
    const size_t expected_blocks = expected.size() / block;
    const size_t captured_blocks = captured.size() / block;
    auto at = [&](const std::vector<float>& v, size_t b) { return v.data() + b * block; };
    auto same = [&](const float* a, const float* b) {
        return std::memcmp(a, b, block * sizeof(float)) == 0;
    };

    size_t next = 0;  // first expected block the next captured block may equal
    size_t matched = 0;
    bool started = false;
    size_t silent_since = 0;
    bool in_silence = false;
    for (size_t c = 0; c < captured_blocks; ++c) {
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
        // A repeated cycle shows the previous block again.
        const size_t from = next > 0 ? next - 1 : 0;
        size_t k = from;
        while (k < expected_blocks && !same(got, at(expected, k))) ++k;
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
    if (matched + max_missing < expected_blocks) {
        return ::testing::AssertionFailure() << "only " << matched << " of " << expected_blocks
                                             << " expected blocks were recorded";
    }
    return ::testing::AssertionSuccess() << matched << " of " << expected_blocks << " blocks";
}

::testing::AssertionResult all_of(std::initializer_list<::testing::AssertionResult> results) {
    std::string failures;
    for (const auto& r : results) {
        if (!r) failures += std::string(failures.empty() ? "" : "\n") + r.message();
    }
    if (failures.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << failures;
}

::testing::AssertionResult retry_on_xruns(
    const std::function<::testing::AssertionResult(int& xruns)>& attempt, int attempts) {
    std::ostringstream history;
    for (int run = 1;; ++run) {
        int xruns = 0;
        ::testing::AssertionResult result = attempt(xruns);
        if (result) return result;
        history << "run " << run << " (" << xruns << " xruns): " << result.message() << "\n";
        if (xruns == 0 || run >= attempts || ::testing::Test::HasFatalFailure()) {
            return ::testing::AssertionFailure() << history.str();
        }
    }
}

}  // namespace harness
