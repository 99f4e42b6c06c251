// The echo's block at the period sizes the device runs, beside the plain
// one-sample-at-a-time comb it replaced and a memory copy of the same block.
#include <cstring>
#include <vector>

#include "echo.h"
#include "per_sample.h"
#include "saturating_convert.h"
#include "subnormal.h"

namespace {

// The baseline: the comb as the formulas read, masked ring indexing on every
// sample and the state read and written in place.
namespace plain {

float delay_line[echo::delay_line_length];
uint32_t write_index = 0;

void compute(int32_t count, const float* const* inputs, float* const* outputs) {
    const auto truncated = static_cast<uint32_t>(saturating_trunc(echo::ms_to_samples * echo::time));
    const uint32_t delay = ((truncated - 1u) & 0x1FFFFu) + 1u;
    const float gain = echo::release * 0.01f;
    const int32_t choice = saturating_trunc(echo::output_select);
    for (int32_t i = 0; i < count; ++i) {
        const float x = inputs[0][i];
        const float y = delay_line[(write_index - delay) & echo::delay_line_mask] * gain + x;
        delay_line[write_index & echo::delay_line_mask] = y;
        outputs[0][i] = choice == 0 ? x : y;
        ++write_index;
    }
}

}  // namespace plain

struct block_fixture {
    std::vector<float> input, output;
    const float* inputs[1];
    float* outputs[1];

    explicit block_fixture(size_t frames) : input(frames), output(frames) {
        for (size_t i = 0; i < frames; ++i) input[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
        inputs[0] = input.data();
        outputs[0] = output.data();
        echo_init(44100);
        echo::time = 300.0f;  // 13230 samples
        echo::release = 50.0f;
    }
};

void echo_block(benchmark::State& state) {
    const auto frames = static_cast<int32_t>(state.range(0));
    block_fixture f(static_cast<size_t>(frames));
    run_per_sample(state, frames, [&] {
        echo_compute(frames, f.inputs, f.outputs);
        benchmark::DoNotOptimize(f.output.data());
    });
}

// A short delay, below most blocks: the runs read what the same block wrote.
void echo_block_short_delay(benchmark::State& state) {
    const auto frames = static_cast<int32_t>(state.range(0));
    block_fixture f(static_cast<size_t>(frames));
    echo::time = 1.0f;  // 44 samples
    run_per_sample(state, frames, [&] {
        echo_compute(frames, f.inputs, f.outputs);
        benchmark::DoNotOptimize(f.output.data());
    });
}

// Feedback at 99%: on a signal the loop holds normal values...
void echo_block_feedback_99(benchmark::State& state) {
    const auto frames = static_cast<int32_t>(state.range(0));
    block_fixture f(static_cast<size_t>(frames));
    echo::release = 99.0f;
    run_per_sample(state, frames, [&] {
        echo_compute(frames, f.inputs, f.outputs);
        benchmark::DoNotOptimize(f.output.data());
    });
    state.counters["subnormal_share"] = subnormal_share(f.output);
}

// ...and on silence after it, the loop decays by 0.99 a pass into the subnormal
// range, where x * 0.99 rounds back to x for the smallest values: it parks there.
void echo_block_subnormal(benchmark::State& state) {
    const auto frames = static_cast<int32_t>(state.range(0));
    block_fixture f(static_cast<size_t>(frames));
    echo::release = 99.0f;
    for (int block = 0; block < 13230 / frames + 1; ++block) echo_compute(frames, f.inputs, f.outputs);
    std::vector<float> silence(static_cast<size_t>(frames));
    f.inputs[0] = silence.data();
    // About 8700 passes of the 13230-sample loop take 0.5 down to 2^-126; 9500 is past it.
    for (int64_t done = 0; done < int64_t{9500} * 13230; done += frames) echo_compute(frames, f.inputs, f.outputs);
    run_per_sample(state, frames, [&] {
        echo_compute(frames, f.inputs, f.outputs);
        benchmark::DoNotOptimize(f.output.data());
    });
    state.counters["subnormal_share"] = subnormal_share(f.output);
}

void echo_block_baseline(benchmark::State& state) {
    const auto frames = static_cast<int32_t>(state.range(0));
    block_fixture f(static_cast<size_t>(frames));
    run_per_sample(state, frames, [&] {
        plain::compute(frames, f.inputs, f.outputs);
        benchmark::DoNotOptimize(f.output.data());
    });
}

void memcpy_block(benchmark::State& state) {
    const auto frames = static_cast<size_t>(state.range(0));
    block_fixture f(frames);
    run_per_sample(state, static_cast<int64_t>(frames), [&] {
        std::memcpy(f.output.data(), f.input.data(), frames * sizeof(float));
        benchmark::DoNotOptimize(f.output.data());
    });
}

}  // namespace

BENCHMARK(echo_block)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(echo_block_short_delay)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(echo_block_feedback_99)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(echo_block_subnormal)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(echo_block_baseline)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(memcpy_block)->Arg(64)->Arg(128)->Arg(1024);

BENCHMARK_MAIN();
