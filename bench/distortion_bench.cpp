// The distortion processor against its plain one-sample-at-a-time baseline, at
// the period sizes the device runs, at the defaults and with the overdrive on.
#include <cmath>
#include <vector>

#include "subnormal.h"

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

// Silence after a loud signal: the filters' state decays until the output parks at
// a subnormal value, where every product and sum may take the slow path.
void processor_subnormal(benchmark::State& state) {
    const int64_t frames = state.range(0);
    set_parameters(false);
    std::vector<float> loud = test_input(frames), silence(static_cast<size_t>(frames)), output(loud.size());
    for (float& x : loud) x *= 3.0f;
    const float* inputs[] = {loud.data()};
    float* outputs[] = {output.data()};
    for (int block = 0; block < 100; ++block) distortion_compute(static_cast<int32_t>(frames), inputs, outputs);
    inputs[0] = silence.data();
    // Ten seconds of silence at 44.1 kHz is far more than the decay needs.
    for (int64_t done = 0; done < 441000; done += frames) {
        distortion_compute(static_cast<int32_t>(frames), inputs, outputs);
    }
    run_per_sample(state, frames, [&] {
        distortion_compute(static_cast<int32_t>(frames), inputs, outputs);
        benchmark::DoNotOptimize(output.data());
    });
    state.counters["subnormal_share"] = subnormal_share(output);
}

void processor_defaults(benchmark::State& s) { distortion_block<distortion_compute>(s, false); }
void baseline_defaults(benchmark::State& s) { distortion_block<reference_compute>(s, false); }
void processor_overdrive(benchmark::State& s) { distortion_block<distortion_compute>(s, true); }
void baseline_overdrive(benchmark::State& s) { distortion_block<reference_compute>(s, true); }

}  // namespace

BENCHMARK(processor_defaults)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(processor_subnormal)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(baseline_defaults)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(processor_overdrive)->Arg(64)->Arg(128)->Arg(1024);
BENCHMARK(baseline_overdrive)->Arg(64)->Arg(128)->Arg(1024);

BENCHMARK_MAIN();
