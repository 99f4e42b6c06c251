// Test signals and the comparison of recorded audio with what was expected.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "overrun_map.h"

namespace harness {

using recording::overrun_map;

// `frames` samples first, first + step, ... rounded to float: distinct and, for a
// step well above the float spacing, none zero when first and step share a sign.
std::vector<float> ramp(size_t frames, double first, double step);

// A tone whose level sweeps slowly from 0.05 to 0.65, with a small offset: loud
// enough at its end for the distortion's clipper.
std::vector<float> sweep_tone(size_t frames);

// Whether `got` has the size of `want` and equals it bit for bit from sample `from` on.
::testing::AssertionResult same_samples(const std::vector<float>& got,
                                        const std::vector<float>& want, size_t from = 0);

// Compares a recording with the expected output in whole blocks of `block` frames,
// since a program's latency is a whole number of cycles. Silent blocks before and
// after the signal are skipped; every other block must equal, bit for bit, one
// expected block at or after the previous match (a late cycle can repeat or skip
// one). At most `max_missing` expected blocks may be absent.
//
// With `overruns` (the recorder's map, in cycles of `block` frames), recorded
// blocks that an overrun may have reached are left out, and each of them, and each
// cycle that went by unrecorded, may have cost one expected block; the result is inconclusive() when fewer than half
// of the expected blocks that must be recorded were found in untouched ones.
::testing::AssertionResult blocks_match(const std::vector<float>& captured,
                                        const std::vector<float>& expected, size_t block,
                                        size_t max_missing = 2,
                                        const overrun_map* overruns = nullptr);

// same_samples over the clean_stretches(memory) of `overruns` only, from sample
// `from` on: for a processor with state, whose output after a disturbed cycle
// differs until it has forgotten the disturbance (within `memory` samples). The
// result is inconclusive() when fewer than `floor` samples could be compared.
::testing::AssertionResult same_samples_where_clean(const std::vector<float>& got,
                                                    const std::vector<float>& want, size_t from,
                                                    const overrun_map& overruns, size_t memory,
                                                    size_t floor);

// A failure that judges nothing: overruns left too little untouched audio.
::testing::AssertionResult inconclusive(const std::string& why);
bool is_inconclusive(const ::testing::AssertionResult& result);

// Success if all are; otherwise every failure message, one per line. The result
// is inconclusive only when every failure is.
::testing::AssertionResult all_of(std::initializer_list<::testing::AssertionResult> results);

// Runs `attempt` again, up to `attempts` runs in all, while its result is
// inconclusive(). A wrong sample in untouched audio is a final failure.
// `attempt` builds its own server, program and clients, so every run starts afresh.
::testing::AssertionResult retry_inconclusive(
    const std::function<::testing::AssertionResult()>& attempt, int attempts = 3);

// A program's output and its copy that came back over JACK's network transport,
// recorded in the same cycles in blocks of `block` frames.
// Where `looped` repeats `direct`: the lag in frames (a whole number of blocks, up to
// 32) at which their first eight untouched sounding blocks agree.
std::optional<size_t> lag_of_copy(const std::vector<float>& direct,
                                  const std::vector<float>& looped, size_t block,
                                  const overrun_map& overruns);

// Whether looped block `b` is a cycle that crossed late: the studio passes on what
// has arrived of the device's cycle when its own begins, and a cycle that is late
// there comes back whole or in part as a neighbouring cycle (a stale packet), with no
// overrun on either side. Each of its samples is then the output of a cycle up to
// two away, where a corrupted copy would hold other values. (The demo's report finds
// such cycles in its recordings its own way: scripts/suitetools/network.py.)
bool crossed_late(const std::vector<float>& direct, const std::vector<float>& looped, size_t lag,
                  size_t block, size_t b);

// Every untouched block of `looped` equals `direct` `lag` frames earlier, but for
// cycles that crossed late (at most one in 50, noted as the test's late_cycles). A
// studio overrun that the device cannot see can spoil the copy: a mismatch with
// `studio_overran` is inconclusive, one without it a failure. Fewer than half of the
// blocks judged, or too little sound among them, is inconclusive.
::testing::AssertionResult repeats_at_lag(const std::vector<float>& direct,
                                          const std::vector<float>& looped, size_t lag,
                                          size_t block, const overrun_map& overruns,
                                          bool studio_overran);

}  // namespace harness
