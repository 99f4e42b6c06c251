// fxrender's steps: find the effect, read the WAV file's first channel, run the
// effect's processor over it as its client would, write the result atomically.
#include "fxrender.h"

#include <cstdio>
#include <new>

#include "distortion.h"
#include "echo.h"
#include "fuzzpedal_args.h"
#include "tapdelay_args.h"
#include "wav_file.h"

const char* const fxrender_usage =
    "Usage : fxrender fuzzpedal|tapdelay <in.wav> <out.wav> [numbers...]\n"
    "  Runs fuzzpedal's distortion or tapdelay's echo over the first channel of\n"
    "  <in.wav> and writes <out.wav>: mono, 32-bit float, at the input's rate.\n"
    "  The input holds 16-bit PCM, each sample s read as s / 32768.0f, or 32-bit\n"
    "  float. The numbers are the client's after its client name, read as it reads\n"
    "  them (whole numbers, atoi); the processor runs at 44100 Hz as in the client.\n";

namespace {

void parse_tapdelay(int argc, char** argv) {
    void* unused = nullptr;
    tapdelay_prepare(argc, argv, &unused);
}

const effect_t effects[] = {
    {"fuzzpedal", fuzzpedal_before_args, fuzzpedal_parse, distortion_compute},
    {"tapdelay", tapdelay_before_args, parse_tapdelay, echo_compute},
};

}  // namespace

const effect_t* fxrender_find_effect(const std::string& name) {
    for (const effect_t& e : effects) {
        if (name == e.name) return &e;
    }
    return nullptr;
}

bool fxrender_read_wav(const std::string& path, wav_input_t* input, std::string* reason) {
    wav_audio_t audio;
    if (!wav_read(path, &audio, reason)) {
        // What fxrender has always said of an input too large for memory.
        if (*reason == wav_too_large) *reason = "too large to render in memory";
        return false;
    }
    const size_t channels = audio.fmt.channels;
    const bool pcm16 = audio.fmt.format_tag == wav_format_pcm;
    const size_t frames = (pcm16 ? audio.pcm16.size() : audio.float32.size()) / channels;
    input->sample_rate = audio.fmt.sample_rate;
    input->samples.resize(frames);
    for (size_t i = 0; i < frames; ++i) {
        const size_t at = i * channels;  // the first channel of frame i
        input->samples[i] = pcm16 ? static_cast<float>(audio.pcm16[at]) / 32768.0f
                                  : audio.float32[at];
    }
    return true;
}

std::vector<float> fxrender_run(const effect_t& effect, const std::vector<std::string>& numbers,
                                const std::vector<float>& input, int32_t block) {
    // The client's own argv shape: program and client name, then the numbers.
    std::vector<std::string> args = {effect.name, "fxrender"};
    args.insert(args.end(), numbers.begin(), numbers.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    effect.before_args();
    effect.parse(static_cast<int>(args.size()), argv.data());

    if (block < 1) block = 1;
    std::vector<float> output(input.size());
    for (size_t at = 0; at < input.size(); at += static_cast<size_t>(block)) {
        const size_t n = std::min(static_cast<size_t>(block), input.size() - at);
        const float* const ins[] = {input.data() + at};
        float* const outs[] = {output.data() + at};
        effect.compute(static_cast<int32_t>(n), ins, outs);
    }
    return output;
}

int fxrender_main(int argc, char** argv) {
    if (argc < 4) {
        fputs(fxrender_usage, stderr);
        return 1;
    }
    const effect_t* effect = fxrender_find_effect(argv[1]);
    if (effect == nullptr) {
        fprintf(stderr, "fxrender: unknown effect \"%s\" (fuzzpedal or tapdelay)\n", argv[1]);
        return 1;
    }
    const std::string in_path = argv[2], out_path = argv[3];
    try {
        wav_input_t input;
        std::string reason;
        if (!fxrender_read_wav(in_path, &input, &reason)) {
            fprintf(stderr, "fxrender: %s: %s\n", in_path.c_str(), reason.c_str());
            return 1;
        }
        const std::vector<std::string> numbers(argv + 4, argv + argc);
        const auto output = fxrender_run(*effect, numbers, input.samples, 128);
        if (!wav_write_float(out_path, 1, input.sample_rate, output.data(), output.size(),
                             &reason)) {
            fprintf(stderr, "fxrender: %s: %s\n", out_path.c_str(), reason.c_str());
            return 1;
        }
    } catch (const std::bad_alloc&) {
        // A file too large for this machine's memory; nothing has been written.
        fprintf(stderr, "fxrender: %s: too large to render in memory\n", in_path.c_str());
        return 1;
    }
    return 0;
}
