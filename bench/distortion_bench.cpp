// The distortion processor against its plain one-sample-at-a-time baseline, at
// the period sizes the device runs, at the defaults and with the overdrive on.
#include <cmath>
#include <vector>

#include "distortion.h"
#include "distortion_reference.h"
#include "per_sample.h"

namespace {

// A 441 Hz tone with some noise-like content, at a level that the clipper bends.
std::vector<float> test_input(int64_t frames) {
    std::vector<float> input(static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i) {
        input[i] = 0.3f * std::sin(0.0628318f * static_cast<float>(i)) +
                   0.05f * static_cast<float>((i * 7919) % 101) / 101.0f;
    }
    return input;
}

void set_parameters(bool overdrive) {
    distortion_init(44100);
    reference_init(44100);
    if (overdrive) {
        distortion::overdriver = 6;
        distortion::driverover = 1;
    }
}

template <void (*compute)(int32_t, const float* const*, float* const*)>
void distortion_block(benchmark::State& state, bool overdrive) {
    const int64_t frames = state.range(0);
    set_parameters(overdrive);
    std::vector<float> input = test_input(frames), output(input.size());
    const float* inputs[] = {input.data()};
    float* outputs[] = {output.data()};
    run_per_sample(state, frames, [&] {
        compute(static_cast<int32_t>(frames), inputs, outputs);
        benchmark::DoNotOptimize(output.data());
    });
}

void processor_defaults(benchmark::State& s) { distortion_block<distortion_compute>(s, false); }
void baseline_defaults(benchmark::State& s) { distortion_block<reference_compute>(s, false); }
void processor_overdrive(benchmark::State& s) { distortion_block<distortion_compute>(s, true); }
void baseline_overdrive(benchmark::State& s) { distortion_block<reference_compute>(s, true); }

}  // namespace

BENCHMARK(processor_defaults)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(baseline_defaults)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(processor_overdrive)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(baseline_overdrive)->Arg(64)->Arg(128)->Arg(1024);

BENCHMARK_MAIN();
