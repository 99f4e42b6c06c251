// The return mixer's block at the period sizes the device runs.
#include <vector>

#include "per_sample.h"
#include "returnmix.h"

static void returnmix_block(benchmark::State& state) {
    const auto frames = static_cast<jack_nframes_t>(state.range(0));
    std::vector<float> input(frames), feedback(frames), output(frames);
    for (jack_nframes_t i = 0; i < frames; ++i) {
        input[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
        feedback[i] = static_cast<float>(i % 89) / 89.0f - 0.5f;
    }
    run_per_sample(state, frames, [&] {
        returnmix_mix(frames, input.data(), feedback.data(), output.data());
        benchmark::DoNotOptimize(output.data());
    });
}
BENCHMARK(returnmix_block)->Arg(64)->Arg(128)->Arg(1024);

BENCHMARK_MAIN();
