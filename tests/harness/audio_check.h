// Test signals and the comparison of recorded audio with what was expected.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <vector>

namespace harness {

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
::testing::AssertionResult blocks_match(const std::vector<float>& captured,
                                        const std::vector<float>& expected, size_t block,
                                        size_t max_missing = 2);

// Success if all are; otherwise every failure message, one per line.
::testing::AssertionResult all_of(std::initializer_list<::testing::AssertionResult> results);

// Runs `attempt` again, up to `attempts` runs in all, while it fails and reports
// (through its argument) that the server overran cycles during it: in such a cycle
// the server guarantees nothing about the audio. A failure without overruns is final.
// `attempt` builds its own server, program and clients, so every run starts afresh.
::testing::AssertionResult retry_on_xruns(
    const std::function<::testing::AssertionResult(int& xruns)>& attempt, int attempts = 3);

}  // namespace harness
