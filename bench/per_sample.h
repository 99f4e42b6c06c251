// Timing shared by the processor benchmarks: nanoseconds per sample, and how many
// times faster than real time at 44.1 kHz a block is computed.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

// Runs block() for every benchmark iteration and reports per-sample figures.
template <typename Block>
void run_per_sample(benchmark::State& state, int64_t frames_per_block, Block&& block) {
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        block();
        benchmark::ClobberMemory();
    }
    const std::chrono::duration<double, std::nano> elapsed =
        std::chrono::steady_clock::now() - start;
    const double samples = static_cast<double>(state.iterations()) * frames_per_block;
    const double ns_per_sample = elapsed.count() / samples;
    state.counters["ns_per_sample"] = ns_per_sample;
    state.counters["x_realtime"] = (1e9 / 44100.0) / ns_per_sample;
}
