// fxrender: its refusals (each with its message, status 1 and no file left), the
// file it writes, the numbers read as the clients read them, block-size
// independence, and its rendering of a recorded live input compared with what the
// real fuzzpedal and tapdelay played from it through a private jackd.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "distortion.h"
#include "echo.h"
#include "fxrender.h"
#include "harness.h"
#include "wav_files.h"

using namespace harness;
using wav_files::bytes;

namespace {

constexpr size_t period = default_period;

// --- Files -----------------------------------------------------------------------

// A canonical 32-bit float WAV (format 3) of interleaved `samples`.
bytes float_wav(const std::vector<float>& samples, uint16_t channels, uint32_t rate = 44100) {
    return wav_files::wav_image({channels, rate, 32, wav_format_float},
                                wav_float_bytes(samples.data(), samples.size()));
}

std::string write_file(const std::string& name, const bytes& content) {
    const std::string path = test_dir() + "/" + name;
    wav_files::write_bytes(path, content);
    return path;
}

// What fxrender wrote: the header must be the canonical mono float one at `rate`.
::testing::AssertionResult read_output(const std::string& path, uint32_t rate,
                                       std::vector<float>* samples) {
    const std::string text = read_file(path);
    const bytes file(text.begin(), text.end());
    if (file.size() < 44) return ::testing::AssertionFailure() << path << ": " << file.size() << " bytes";
    const auto frames = (file.size() - 44) / 4;
    const bytes want =
        wav_files::canonical_header({1, rate, 32, wav_format_float}, uint32_t(frames * 4));
    wav_audio_t audio;
    std::string reason;
    if (!std::equal(want.begin(), want.end(), file.begin()) || (file.size() - 44) % 4 != 0 ||
        !wav_parse(file.data(), file.size(), &audio, &reason)) {
        return ::testing::AssertionFailure() << path << ": not a mono float header at " << rate;
    }
    *samples = audio.float32;
    return ::testing::AssertionSuccess();
}

struct run_result {
    exit_status status;
    std::string out, err;
};

run_result fxrender(const std::vector<std::string>& args) {
    child_process p(FXRENDER_PATH, args);
    auto status = p.wait(20s);
    run_result r{status ? *status : p.stop(1s), p.out(), p.err()};
    return r;
}


// --- Refusals ------------------------------------------------------------------------

struct bad_input {
    const char* label;
    std::string path;
    std::string reason;
};

bytes with_fmt(uint16_t format, uint16_t channels, uint16_t bits, const bytes& data) {
    return wav_files::wav_image({channels, 44100, bits, format}, data);
}

TEST(fxrender_refusals, each_bad_input_names_the_file_and_reason_and_leaves_no_file) {
    const bytes good = wav_files::wav_image({1, 44100, 16}, wav_files::pcm16({1, 2, 3, 4}));
    const bytes fmt_chunk(good.begin() + 12, good.begin() + 36);
    const bytes data_chunk(good.begin() + 36, good.end());

    bytes not_wave = good;
    std::memcpy(&not_wave[8], "AVI ", 4);
    bytes short_fmt = wav_files::riff_image(
        {'f', 'm', 't', ' ', 12, 0, 0, 0, 1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0});
    bytes truncated = good;
    wav_files::put_u32(truncated, 40, 400);
    bytes partial_frame = wav_files::wav_image({2, 44100, 16}, wav_files::pcm16({1, 2, 3}));
    bytes fmt_after_data = data_chunk;
    fmt_after_data.insert(fmt_after_data.end(), fmt_chunk.begin(), fmt_chunk.end());
    bytes huge_chunk = {'L', 'I', 'S', 'T', 0xF0, 0xFF, 0xFF, 0xFF, 'x', 'y'};
    huge_chunk.insert(huge_chunk.end(), good.begin() + 12, good.end());
    bytes bad_align = good;
    wav_files::put_u16(bad_align, 32, 4);

    const std::vector<bad_input> cases = {
        {"missing", test_dir() + "/nothing.wav", "cannot open: No such file or directory"},
        {"directory", make_test_subdir("a_directory"), "cannot read: Is a directory"},
        {"empty", write_file("empty.wav", {}), "not a RIFF/WAVE file"},
        {"not_wave", write_file("avi.wav", not_wave), "not a RIFF/WAVE file"},
        {"no_fmt", write_file("no_fmt.wav", wav_files::riff_image(data_chunk)), "no fmt chunk"},
        {"fmt_after_data", write_file("late_fmt.wav", wav_files::riff_image(fmt_after_data)),
         "no fmt chunk"},
        {"no_data", write_file("no_data.wav", wav_files::riff_image(fmt_chunk)), "no data chunk"},
        {"chunk_past_the_end", write_file("huge.wav", wav_files::riff_image(huge_chunk)),
         "truncated \"LIST\" chunk: 4294967280 bytes announced, 42 present"},
        {"short_fmt", write_file("short_fmt.wav", short_fmt), "fmt chunk too short (12 bytes)"},
        {"pcm8", write_file("pcm8.wav", with_fmt(1, 1, 8, {1, 2})),
         "format 1 with 8-bit samples is not 16-bit PCM or 32-bit float"},
        {"pcm24", write_file("pcm24.wav", with_fmt(1, 1, 24, {1, 2, 3})),
         "format 1 with 24-bit samples is not 16-bit PCM or 32-bit float"},
        {"pcm32", write_file("pcm32.wav", with_fmt(1, 1, 32, {1, 2, 3, 4})),
         "format 1 with 32-bit samples is not 16-bit PCM or 32-bit float"},
        {"float16", write_file("float16.wav", with_fmt(3, 1, 16, {1, 2})),
         "format 3 with 16-bit samples is not 16-bit PCM or 32-bit float"},
        {"zero_channels", write_file("mute.wav", with_fmt(1, 0, 16, {1, 2})), "zero channels"},
        {"bad_align", write_file("align.wav", bad_align),
         "block align 4 where 2 was expected"},
        {"truncated", write_file("truncated.wav", truncated),
         "truncated data: 400 bytes announced, 8 present"},
        {"partial_frame", write_file("partial.wav", partial_frame),
         "truncated data: 6 bytes are not whole frames of 4 bytes"},
    };
    const std::string out_dir = make_test_subdir("out");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto r = fxrender({"tapdelay", c.path, out_dir + "/out.wav", "10", "50"});
        EXPECT_EQ(r.status.code, 1) << r.status.describe();
        EXPECT_EQ(r.err, "fxrender: " + c.path + ": " + c.reason + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(dir_entries(out_dir), std::vector<std::string>{});
    }
    // The same chunks in good order are accepted, so each case fails for its own reason.
    const auto r = fxrender({"tapdelay", write_file("good.wav", wav_files::riff_image([&] {
                                 bytes c = fmt_chunk;
                                 c.insert(c.end(), data_chunk.begin(), data_chunk.end());
                                 return c;
                             }())),
                             out_dir + "/out.wav"});
    EXPECT_EQ(r.status.code, 0) << r.err;
    EXPECT_EQ(dir_entries(out_dir), std::vector<std::string>{"out.wav"});
}

TEST(fxrender_refusals, too_few_arguments_or_an_unknown_effect_write_nothing) {
    const std::string in = wav_files::write_wav(test_dir() + "/in.wav", {1, 2, 3}, 1);
    const std::string out_dir = make_test_subdir("out");
    const std::string out = out_dir + "/out.wav";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"fuzzpedal"}, {"fuzzpedal", in}}) {
        const auto r = fxrender(args);
        EXPECT_EQ(r.status.code, 1);
        EXPECT_EQ(r.err.rfind("Usage : fxrender fuzzpedal|tapdelay <in.wav> <out.wav> [numbers...]\n", 0), 0u)
            << r.err;
        EXPECT_NE(r.err.find("s / 32768.0f"), std::string::npos) << r.err;
    }
    for (const char* name : {"fuzz", "Tapdelay", "returnmix", ""}) {
        const auto r = fxrender({name, in, out, "1"});
        EXPECT_EQ(r.status.code, 1);
        EXPECT_EQ(r.err, std::string("fxrender: unknown effect \"") + name +
                             "\" (fuzzpedal or tapdelay)\n");
    }
    EXPECT_EQ(dir_entries(out_dir), std::vector<std::string>{});
}

TEST(fxrender_refusals, an_output_that_cannot_be_written_is_reported_and_leaves_no_file) {
    const std::string in = wav_files::write_wav(test_dir() + "/in.wav", {1, 2, 3, 4}, 1);
    const std::string top = make_test_subdir("top");
    const std::string a_file = write_file("top/plain", {'x'});
    const std::string existing_dir = make_test_subdir("top/taken.wav");
    const std::string read_only = make_test_subdir("top/read_only");
    // Root may write anywhere, but not on a read-only file system (this test's mount
    // namespace is private, so the mount is its own).
    ASSERT_EQ(mount("tmpfs", read_only.c_str(), "tmpfs", MS_RDONLY, "size=64k"), 0)
        << std::strerror(errno);

    const struct {
        std::string path, message;
    } cases[] = {
        {top + "/missing/out.wav", "cannot create a file in " + top + "/missing/: No such file or directory"},
        {a_file + "/out.wav", "cannot create a file in " + a_file + "/: Not a directory"},
        {read_only + "/out.wav", "cannot create a file in " + read_only + "/: Read-only file system"},
        {existing_dir, "cannot write: Is a directory"},
    };
    for (const auto& c : cases) {
        const auto r = fxrender({"fuzzpedal", in, c.path});
        EXPECT_EQ(r.status.code, 1) << c.path;
        EXPECT_EQ(r.err, "fxrender: " + c.path + ": " + c.message + "\n");
    }
    // No temporary file left behind, and the directory in the way untouched.
    EXPECT_EQ(dir_entries(top), (std::vector<std::string>{"plain", "read_only", "taken.wav"}));
    EXPECT_EQ(dir_entries(existing_dir), std::vector<std::string>{});
    EXPECT_EQ(dir_entries(read_only), std::vector<std::string>{});
    umount2(read_only.c_str(), MNT_DETACH);
}

// --- The file it writes -----------------------------------------------------------------

// tapdelay without feedback passes its input through unchanged, which shows how
// each sample was read.
TEST(fxrender_output, first_channel_read_as_written_into_a_mono_float_file_at_the_same_rate) {
    const std::vector<int16_t> pcm = {0, 7, -32768, 32767, 1, -1, 12345, -9, 16384, 3};
    std::vector<float> stereo_first;
    for (size_t i = 0; i < pcm.size(); i += 2) stereo_first.push_back(float(pcm[i]) / 32768.0f);
    EXPECT_EQ(stereo_first[1], -1.0f);

    const std::vector<float> floats = {0.25f, 9.0f, 1e-42f, -7.5f, 3.0f, 1e30f, -1e-3f, 0.0f, 2.0f};
    const std::vector<float> float_first = {0.25f, -7.5f, -1e-3f};

    const std::string out = make_test_subdir("out") + "/rendered.wav";
    write_file("out/rendered.wav", {'o', 'l', 'd'});  // an existing output is replaced
    struct {
        std::string in;
        uint32_t rate;
        std::vector<float> want;
    } cases[] = {
        {wav_files::write_wav(test_dir() + "/stereo.wav", pcm, 2, 22050), 22050, stereo_first},
        {wav_files::write_wav(test_dir() + "/mono.wav", pcm, 1, 48000), 48000, [&] {
             std::vector<float> all;
             for (int16_t v : pcm) all.push_back(float(v) / 32768.0f);
             return all;
         }()},
        {write_file("three.wav", float_wav(floats, 3, 96000)), 96000, float_first},
        {write_file("silent.wav", float_wav({}, 2)), 44100, {}},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const auto r = fxrender({"tapdelay", c.in, out, "5", "0"});
        ASSERT_EQ(r.status.code, 0) << r.err;
        EXPECT_EQ(r.err + r.out, "");
        std::vector<float> got;
        ASSERT_TRUE(read_output(out, c.rate, &got));
        EXPECT_TRUE(same_samples(got, c.want));
        struct stat st {};
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    }
    EXPECT_EQ(dir_entries(test_dir() + "/out"), std::vector<std::string>{"rendered.wav"});
}

// --- Numbers and blocks -----------------------------------------------------------------

// The processor set up by hand with the values the client's reading must give.
std::vector<float> processed_with(void (*init)(int32_t), void (*set)(),
                                  void (*compute)(int32_t, const float* const*, float* const*),
                                  const std::vector<float>& in) {
    init(44100);
    set();
    std::vector<float> out(in.size());
    const float* ins[] = {in.data()};
    float* outs[] = {out.data()};
    compute(int32_t(in.size()), ins, outs);
    return out;
}

TEST(fxrender_numbers, are_read_as_the_clients_read_them_and_surplus_ones_are_ignored) {
    const auto signal = sweep_tone(20000);
    // A 22050 Hz file: the processors still run at 44100 Hz, as in the clients.
    const std::string in = write_file("in.wav", float_wav(signal, 1, 22050));
    const std::string out = make_test_subdir("out") + "/out.wav";
    const auto render = [&](std::vector<std::string> args) {
        args.insert(args.begin() + 1, {in, out});
        const auto r = fxrender(args);
        EXPECT_EQ(r.status.code, 0) << r.err;
        std::vector<float> got;
        EXPECT_TRUE(read_output(out, 22050, &got));
        return got;
    };

    using namespace distortion;
    // drive 0.64 and vibrato 0.5 read as 0; "7x" as 7, "abc" as 0, "+1" as 1.
    const auto fuzz = render({"fuzzpedal", "3", "+1", "0.64", "abc", "7x", "200", "4000", "1",
                              "6000", "100", "1", "1", "0.5", "99", "-4"});
    const auto fuzz_want = processed_with(distortion_init, [] {
        overdriver = 3, driverover = 1, drive = 0, drivelevel1 = 0, drivegain = 7;
        highpass = 200, lowpass = 4000, low_highpass = 1, highcut = 6000, lowcut = 100;
        low_highcut = 1, trigger = 1, vibrato = 0;
    }, distortion_compute, signal);
    EXPECT_TRUE(same_samples(fuzz, fuzz_want));
    // The values the numbers look like would sound different.
    EXPECT_FALSE(same_samples(fuzz, processed_with(distortion_init, [] {
        overdriver = 3, driverover = 1, drive = 0.64f, drivelevel1 = 0, drivegain = 7;
        highpass = 200, lowpass = 4000, low_highpass = 1, highcut = 6000, lowcut = 100;
        low_highcut = 1, trigger = 1, vibrato = 0.5f;
    }, distortion_compute, signal)));
    // Numbers not given keep the defaults.
    EXPECT_TRUE(same_samples(render({"fuzzpedal", "0", "0", "1"}),
                             processed_with(distortion_init, [] { drive = 1; }, distortion_compute,
                                            signal)));

    const auto echo_out = render({"tapdelay", "1.5", "75", "9", "x"});
    EXPECT_TRUE(same_samples(echo_out, processed_with(echo_init, [] {
        echo::time = 1, echo::release = 75;
    }, echo_compute, signal)));
    EXPECT_FALSE(same_samples(echo_out, processed_with(echo_init, [] {
        echo::time = 1.5f, echo::release = 75;
    }, echo_compute, signal)));
    EXPECT_TRUE(same_samples(render({"tapdelay", "3"}),
                             processed_with(echo_init, [] { echo::time = 3; }, echo_compute, signal)));
}

// Beyond the echo's ring (262144 samples), so runs split at its wrap too.
TEST(fxrender_blocks, the_block_size_does_not_change_a_bit) {
    const auto signal = sweep_tone(300000);
    const struct {
        const char* effect;
        std::vector<std::string> numbers;
    } cases[] = {
        {"fuzzpedal", {}},
        {"fuzzpedal", {"3", "1", "1", "0", "5", "200", "4000", "1", "6000", "100", "1", "0", "1"}},
        {"tapdelay", {"2000", "90"}},
        {"tapdelay", {"0", "50"}},
        {"tapdelay", {"-2972", "99"}},  // a delay of 7 samples, run sample by sample
    };
    for (const auto& c : cases) {
        const effect_t* effect = fxrender_find_effect(c.effect);
        ASSERT_NE(effect, nullptr);
        const auto whole = fxrender_run(*effect, c.numbers, signal, int32_t(signal.size()));
        for (int32_t block : {1, 3, 4, 5, 64, 128, 1000, 4096, 100000}) {
            EXPECT_TRUE(same_samples(fxrender_run(*effect, c.numbers, signal, block), whole))
                << c.effect << " in blocks of " << block;
        }
    }
}

// --- Against the live clients ---------------------------------------------------------------

// Renders `source` as a float WAV with fxrender.
std::vector<float> render_recording(const std::string& effect, const std::vector<float>& source,
                                    const std::vector<std::string>& numbers) {
    const std::string in = write_file("recorded.wav", float_wav(source, 1));
    const std::string out = test_dir() + "/rendered.wav";
    std::vector<std::string> args = {effect, in, out};
    args.insert(args.end(), numbers.begin(), numbers.end());
    const auto r = fxrender(args);
    EXPECT_EQ(r.status.code, 0) << r.err;
    std::vector<float> got;
    EXPECT_TRUE(read_output(out, 44100, &got));
    return got;
}

// A live effect client `name` between a stand-in "spinreel" playing `signal`, and a
// recorder of what spinreel sent and of the client's output1, in the same cycles.
::testing::AssertionResult run_live(rig& live, const char* path, const std::string& name,
                                    const std::vector<std::string>& numbers,
                                    const std::vector<float>& signal, duration before_feed) {
    live.feeds("output1", signal);
    live.feeds("output2", std::vector<float>(signal.size(), 0.125f));
    live.records("source", signal.size() + 24 * period);
    live.records("out1", signal.size() + 24 * period);
    std::vector<std::string> args = {name};
    args.insert(args.end(), numbers.begin(), numbers.end());
    return live.run({path, args},
                    {{"spinreel:output1", "recorder:source"}, {name + ":output1", "recorder:out1"}},
                    before_feed, 20s);
}

// fuzzpedal has run on silence for a while when the recording starts, fxrender
// starts from a fresh processor: the output level's smoother and the filters after
// it start elsewhere. Both forget their start within a settling time (checked below
// offline for this signal and these numbers), after which the live output is the
// rendering bit for bit. A block that an overrun spoiled they forget sooner.
constexpr size_t settling_samples = 20000;
constexpr size_t forgetting_samples = 10000;

TEST(fxrender_live, renders_a_recorded_fuzzpedal_input_as_fuzzpedal_played_it) {
    const std::vector<std::string> numbers = {"3", "1", "0.64", "0", "5", "200", "4000",
                                              "1", "6000", "100", "1", "1", "0.5", "99"};
    const auto signal = sweep_tone(2 * 44100 / period * period);  // two seconds
    {
        // Offline: from a fresh start and after a long silence, the same after settling,
        // and not the same before.
        const effect_t& fuzz = *fxrender_find_effect("fuzzpedal");
        std::vector<float> after_silence(3 * settling_samples, 0.0f);
        after_silence.insert(after_silence.end(), signal.begin(), signal.end());
        auto settled = fxrender_run(fuzz, numbers, after_silence, period);
        settled.erase(settled.begin(), settled.begin() + 3 * settling_samples);
        const auto fresh = fxrender_run(fuzz, numbers, signal, period);
        ASSERT_TRUE(same_samples(fresh, settled, settling_samples));
        ASSERT_FALSE(same_samples(fresh, settled));
        // A block of silence in the middle is forgotten sooner.
        auto spoiled = signal;
        const size_t at = signal.size() / 2 / period * period;
        std::fill_n(spoiled.begin() + std::ptrdiff_t(at), period, 0.0f);
        ASSERT_TRUE(same_samples(fxrender_run(fuzz, numbers, spoiled, period), fresh,
                                 at + period + forgetting_samples));
    }
    EXPECT_TRUE(retry_inconclusive([&] {
        rig live{{}, "spinreel"};
        // 1.5 s of silence first: the program is as settled as after any longer one.
        auto result = run_live(live, FUZZPEDAL_PATH, "fp", numbers, signal, 1500ms);
        if (result) {
            const auto source = live.captured("source");
            const auto heard = live.captured("out1");
            const auto overruns = live.overruns();
            result = all_of({blocks_match(source, signal, period, 0, &overruns),
                             same_samples_where_clean(render_recording("fuzzpedal", source, numbers),
                                                      heard, settling_samples, overruns,
                                                      forgetting_samples,
                                                      (signal.size() - settling_samples) / 4)});
        }
        EXPECT_EQ(live.program->stop(2s).code, 0);
        return result;
    }));
}

// tapdelay has heard only silence before the recording starts, so its whole line
// holds zeros, as a fresh one does; where its write position stands makes no
// difference to a line of zeros. Its output is then the rendering bit for bit from
// the first recorded sample. The server has no loopback ports, so that tapdelay's
// feedback connections form no cycle in the graph that could reorder the clients.
TEST(fxrender_live, renders_a_recorded_tapdelay_input_as_tapdelay_played_it) {
    const std::vector<std::string> numbers = {"10", "60", "7"};
    const auto signal = sweep_tone(60 * period);
    EXPECT_TRUE(retry_inconclusive([&] {
        rig live{without_loopback(), "spinreel"};
        // Half a second for the new connections' overruns, if any, to pass.
        auto result = run_live(live, TAPDELAY_PATH, "td", numbers, signal, 500ms);
        if (result) {
            const auto source = live.captured("source");
            const auto heard = live.captured("out1");
            const auto rendered = render_recording("tapdelay", source, numbers);
            const auto overruns = live.overruns();
            // A spoiled block stays in the echo's line for good: only what comes
            // before the first disturbed cycle is compared. The echo is in the
            // recording: the rendering is not the dry input.
            result = all_of({blocks_match(source, signal, period, 0, &overruns),
                             same_samples_where_clean(rendered, heard, 0, overruns, source.size(),
                                                      signal.size() / 2),
                             same_samples(rendered, source)
                                 ? ::testing::AssertionFailure() << "no echo heard"
                                 : ::testing::AssertionSuccess()});
        }
        EXPECT_EQ(live.program->stop(2s).code, 0);
        return result;
    }));
}

}  // namespace
