// linkwatch's per-cycle work at the period sizes the device runs: one stamp written
// and the other end's stamp read and counted, as its process callback does, beside a
// memory copy of the same block.
#include <cstring>
#include <vector>

#include "link_counter.h"
#include "per_sample.h"
#include "stamp.h"

namespace {

void linkwatch_cycle(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    std::vector<float> arriving(frames), leaving(frames);
    link_counter counter;
    uint32_t cycle = 0;
    run_per_sample(state, frames, [&] {
        ++cycle;
        stamp_write(arriving.data(), frames, {cycle + 1000, cycle});  // the other end's
        const uint32_t echo = counter.on_cycle(cycle, arriving.data(), frames);
        stamp_write(leaving.data(), frames, {cycle, echo});
        benchmark::DoNotOptimize(leaving.data());
    });
    // Every cycle on time: the benchmark measured the common path.
    state.counters["on_time"] = counter.take().on_time;
}

void memcpy_block(benchmark::State& state) {
    const auto frames = static_cast<size_t>(state.range(0));
    std::vector<float> input(frames, 0.25f), output(frames);
    run_per_sample(state, static_cast<int64_t>(frames), [&] {
        std::memcpy(output.data(), input.data(), frames * sizeof(float));
        benchmark::DoNotOptimize(output.data());
    });
}

}  // namespace

BENCHMARK(linkwatch_cycle)->Arg(64)->Arg(128)->Arg(256)->Arg(1024);
BENCHMARK(memcpy_block)->Arg(64)->Arg(128)->Arg(256)->Arg(1024);

BENCHMARK_MAIN();
