// A program's output and its copy that came back over JACK's network transport,
// recorded in the same cycles in blocks of `block` frames: the lag between them, and
// the rule of a cycle that crossed late (scripts/demo_net_report.py applies the same
// rule to the demo's recordings).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "overrun_map.h"

namespace harness {

// Where `looped` repeats `direct`: the lag in frames (a whole number of blocks, up to
// 32) at which their first eight untouched sounding blocks agree.
std::optional<size_t> lag_of_copy(const std::vector<float>& direct,
                                  const std::vector<float>& looped, size_t block,
                                  const recording::overrun_map& overruns);

// Whether looped block `b` is a cycle that crossed late: the studio passes on what
// has arrived of the device's cycle when its own begins, and a cycle that is late
// there comes back whole or in part as a neighbouring cycle (a stale packet), with no
// overrun on either side. Each of its samples is then the output of a cycle up to
// two away, where a corrupted copy would hold other values.
bool crossed_late(const std::vector<float>& direct, const std::vector<float>& looped, size_t lag,
                  size_t block, size_t b);

// Every untouched block of `looped` equals `direct` `lag` frames earlier, but for
// cycles that crossed late (at most one in 50, noted as the test's late_cycles). A
// studio overrun that the device cannot see can spoil the copy: a mismatch with
// `studio_overran` is inconclusive, one without it a failure. Fewer than half of the
// blocks judged, or too little sound among them, is inconclusive.
::testing::AssertionResult repeats_at_lag(const std::vector<float>& direct,
                                          const std::vector<float>& looped, size_t lag,
                                          size_t block, const recording::overrun_map& overruns,
                                          bool studio_overran);

}  // namespace harness
