// spinreel: the header report and its refusals from the real program, the loop mix
// called directly, and the program looping through a real jackd.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "harness.h"
#include "loop_mix.h"
#include "spinreel.h"
#include "wav_files.h"

using namespace harness;
using namespace wav_files;

namespace {

// The loop value at gain 0.2 plus an input, in double precision, rounded once.
float looped(int16_t value, float input) {
    return float(double(value) / 32767.0 * 0.2 + double(input));
}

// The program with no server to reach, so that it stops right after its file steps.
const std::vector<std::string> no_server = {"JACK_DEFAULT_SERVER=nobody_runs_this",
                                            "JACK_NO_START_SERVER=1"};

struct run_result {
    int code;
    std::string out, err;
};

run_result run_offline(const std::string& path) {
    child_process p(SPINREEL_PATH, {"spinreel", path}, no_server);
    const auto status = p.wait(5s);
    EXPECT_TRUE(status) << "spinreel did not end";
    return {status ? status->code : -1, p.out(), p.err()};
}

std::string file(const std::string& name, const bytes& content) {
    const std::string path = test_dir() + "/" + name;
    write_bytes(path, content);
    return path;
}

const char* const open_failed = "jack_client_open() failed, status = 0x11";

TEST(spinreel_report, canonical_file_prints_the_ten_lines_then_opens_the_client) {
    const bytes data = pcm16({100, -100, 200, -200, 300, -300, 400, -400, 500, -500, 600, -600, 7});
    const size_t n = 44 + data.size();
    const run_result r = run_offline(file("c.wav", wav_image({}, data)));
    EXPECT_EQ(r.out, "File is " + std::to_string(n) + " bytes.\n"
                     "RIFF header                           :RIFF\n"
                     "WAVE header                           :WAVE\n"
                     "FMT                                   :fmt \n"
                     "Data size (based on bits used)        :" + std::to_string(n - 8) + "\n"
                     "Sampling Rate                         :44100\n"
                     "Number of bits used                   :16\n"
                     "Number of channels                    :2\n"
                     "Number of bytes per second            :176400\n"
                     "data length                           :" + std::to_string(n - 44) + "\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(count_line(r.err, open_failed), 1) << r.err;
}

TEST(spinreel_report, fields_of_2_to_the_31_or_more_print_negative) {
    bytes image = wav_image({}, pcm16({1, 2, 3, 4}));
    put_u32(image, 40, 0xFFFFFFFFu);  // data_size
    put_u32(image, 24, 0x80000000u);  // sample_rate
    put_u32(image, 28, 0xFFFFFFFEu);  // byte_rate
    put_u16(image, 22, 0xFFFF);       // channels: 16 bits widen without sign
    const run_result r = run_offline(file("ones.wav", image));
    EXPECT_TRUE(lines_in_order(r.out, {"Sampling Rate                         :-2147483648",
                                       "Number of channels                    :65535",
                                       "Number of bytes per second            :-2",
                                       "data length                           :-1"}))
        << r.out;
}

TEST(spinreel_report, missing_file_is_reported_on_stdout_before_any_jack_activity) {
    const run_result r = run_offline(test_dir() + "/nowhere.wav");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Can not able to open wave file\n");
    EXPECT_EQ(r.err, "");  // not even the failed open of the client
}

TEST(spinreel_refusal, eight_and_twenty_four_bits_are_refused_after_the_report) {
    for (uint16_t bits : {8, 24}) {
        wav_format_t format;
        format.bits_per_sample = bits;
        const run_result r = run_offline(file("b.wav", wav_image(format, bytes(48, 0x40))));
        EXPECT_EQ(r.code, 1) << bits;
        EXPECT_EQ(split_lines(r.out).size(), 10u) << r.out;
        EXPECT_EQ(count_line(r.out, "Number of bits used                   :" +
                                        std::to_string(bits)), 1) << r.out;
        EXPECT_EQ(r.err, "Currently, supports 16 bits ber sample only\n") << bits;
    }
}

// A FIFO has no length to load by: with a header waiting in it, or with no writer
// at all, the program ends after the report instead of waiting on the FIFO.
TEST(spinreel_refusal, a_fifo_ends_start_up_with_1_after_the_report) {
    const std::string path = test_dir() + "/loop.fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const int held = open(path.c_str(), O_RDWR);  // a writer that stays, data queued
    ASSERT_GE(held, 0);
    const bytes image = wav_image({}, pcm16({1, 2, 3, 4}));
    ASSERT_EQ(write(held, image.data(), image.size()), ssize_t(image.size()));
    run_result r = run_offline(path);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(count_line(r.out, "Number of bits used                   :16"), 1) << r.out;
    EXPECT_EQ(r.err, "Unable to open '" + path + "'\n");
    close(held);

    r = run_offline(path);  // nobody writes: reads as empty
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(split_lines(r.out).size(), 10u) << r.out;
    EXPECT_EQ(r.err, "Currently, supports 16 bits ber sample only\n");
}

TEST(spinreel_refusal, no_channels_no_whole_frame_or_no_data_end_start_up) {
    wav_format_t none;
    none.channels = 0;
    run_result r = run_offline(file("c0.wav", wav_image(none, pcm16({1, 2, 3, 4}))));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(split_lines(r.out).size(), 10u) << r.out;
    EXPECT_EQ(r.err, "WAV file has no channels\n");

    // Three bytes of a stereo file: not even one whole frame of two 16-bit values.
    r = run_offline(file("short.wav", wav_image({}, {1, 2, 3})));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "WAV file holds less than one frame\n");

    const std::string empty = file("empty.wav", wav_image({}, {}));
    r = run_offline(empty);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Unable to open '" + empty + "'\n");
}

// Prepares the program's loop from a file as its start-up does.
void prepare_from(const std::string& path) {
    std::string arg0 = "spinreel", arg1 = "sr", arg2 = path;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
    void* arg = nullptr;
    testing::internal::CaptureStdout();  // the header report
    const bool ok = spinreel_prepare(3, argv, &arg);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok);
    ASSERT_EQ(arg, &loop_buffer);
}

struct block_out {
    std::vector<float> out1, out2;
};

block_out mix_block(sample_buffer_t& loop, int channels, const std::vector<float>& in1,
                    const std::vector<float>& in2) {
    block_out b{std::vector<float>(in1.size() + 1, -9.0f), std::vector<float>(in1.size() + 1, -9.0f)};
    spinreel_mix(uint32_t(in1.size()), &loop, channels, in1.data(), in2.data(), b.out1.data(),
                 b.out2.data());
    EXPECT_EQ(b.out1.back(), -9.0f) << "wrote past the block";
    EXPECT_EQ(b.out2.back(), -9.0f) << "wrote past the block";
    b.out1.pop_back();
    b.out2.pop_back();
    return b;
}

TEST(spinreel_mix, mono_puts_the_sample_on_both_outputs_and_input1_on_output2_too) {
    std::vector<int16_t> s = {-32768, 32767, 12345, -1, 0, 7};
    sample_buffer_t loop{s.data(), int32_t(s.size()), 0};
    const auto in1 = ramp(6, 0.01, 0.0123);
    const auto in2 = ramp(6, -0.3, 0.0456);
    const block_out b = mix_block(loop, 1, in1, in2);
    for (size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(b.out1[i], looped(s[i], in1[i])) << i;
        EXPECT_EQ(b.out2[i], b.out1[i] + in2[i]) << i;  // input 1 reaches output 2
    }
    EXPECT_EQ(loop.position, 0);  // wrapped after the last frame

    // Silent inputs: -32768 at 1/32767 lies just below -0.2; both outputs alike.
    const std::vector<float> zeros(2, 0.0f);
    const block_out quiet = mix_block(loop, 1, zeros, zeros);
    EXPECT_LT(quiet.out1[0], -0.2f);
    EXPECT_EQ(quiet.out1[1], looped(32767, 0.0f));
    EXPECT_EQ(quiet.out1, quiet.out2);
}

TEST(spinreel_mix, two_channels_take_left_and_right_each_with_its_own_input) {
    std::vector<int16_t> s = {1000, -2000, 3000, -4000, -32768, 32767};
    sample_buffer_t loop{s.data(), 3, 0};
    const auto in1 = ramp(3, 0.25, 0.01);
    const auto in2 = ramp(3, -0.5, -0.02);
    const block_out b = mix_block(loop, 2, in1, in2);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(b.out1[i], looped(s[2 * i], in1[i])) << i;
        EXPECT_EQ(b.out2[i], looped(s[2 * i + 1], in2[i])) << i;
    }
    EXPECT_EQ(loop.position, 0);
}

TEST(spinreel_mix, loop_wraps_from_the_last_frame_to_the_first_across_blocks) {
    // Five stereo frames played in blocks of three: 0 1 2 | 3 4 0 | 1 2 3 | 4 0 1 ...
    std::vector<int16_t> s;
    for (int16_t f = 0; f < 5; ++f) s.insert(s.end(), {int16_t(100 * f + 1), int16_t(-100 * f - 2)});
    sample_buffer_t loop{s.data(), 5, 0};
    const std::vector<float> zeros(3, 0.0f);
    for (int block = 0; block < 7; ++block) {
        const block_out b = mix_block(loop, 2, zeros, zeros);
        for (int i = 0; i < 3; ++i) {
            const int frame = (3 * block + i) % 5;
            EXPECT_EQ(b.out1[i], looped(s[2 * frame], 0.0f)) << block << ":" << i;
            EXPECT_EQ(b.out2[i], looped(s[2 * frame + 1], 0.0f)) << block << ":" << i;
        }
        EXPECT_EQ(loop.position, 2 * ((3 * block + 3) % 5));
    }
    std::vector<int16_t> m = {11, 22, 33, 44};
    sample_buffer_t mono{m.data(), 4, 0};
    for (int block = 0; block < 5; ++block) {
        const block_out b = mix_block(mono, 1, zeros, zeros);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(b.out1[i], looped(m[(3 * block + i) % 4], 0.0f));
    }
}

TEST(spinreel_mix, trailing_partial_frame_is_never_played) {
    // Three stereo frames and one value more: the odd value 9999 stays silent.
    prepare_from(file("partial.wav", wav_image({}, pcm16({10, 20, 30, 40, 50, 60, 9999}))));
    ASSERT_EQ(loop_buffer.frames, 3);
    const std::vector<float> zeros(10, 0.0f);
    const block_out b = mix_block(loop_buffer, 2, zeros, zeros);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(b.out1[i], looped(int16_t(10 + 20 * (i % 3)), 0.0f)) << i;
        EXPECT_EQ(b.out2[i], looped(int16_t(20 + 20 * (i % 3)), 0.0f)) << i;
    }
    free(loop_buffer.samples);
}

TEST(spinreel_mix, four_channels_play_as_pairs_over_the_frames_of_four) {
    // 16 values of four channels: four frames, so only the first four pairs loop.
    std::vector<int16_t> values;
    for (int16_t v = 1; v <= 16; ++v) values.push_back(int16_t(v * 1000));
    prepare_from(write_wav(test_dir() + "/quad.wav", values, 4));
    ASSERT_EQ(loop_buffer.frames, 4);
    const std::vector<float> zeros(9, 0.0f);
    const block_out b = mix_block(loop_buffer, 4, zeros, zeros);
    for (int i = 0; i < 9; ++i) {
        const int pair = i % 4;
        EXPECT_EQ(b.out1[i], looped(values[2 * pair], 0.0f)) << i;
        EXPECT_EQ(b.out2[i], looped(values[2 * pair + 1], 0.0f)) << i;
    }
    free(loop_buffer.samples);
}

// Through a real server: one client feeds both inputs, another records both outputs.
// The loop's position when recording starts is unknown, and so is the cycle in which
// the feed starts, so every recorded block is matched against each loop position and
// each block of the feed (or silence); then the blocks must follow on without gaps.
constexpr int32_t loop_frames = 301;  // no multiple of the period: wraps inside blocks

std::vector<int16_t> loop_values() {
    std::vector<int16_t> s;
    for (int32_t f = 0; f < loop_frames; ++f)
        s.insert(s.end(), {int16_t(-30000 + 199 * f), int16_t(29000 - 173 * f)});
    return s;
}

TEST(spinreel_server, loops_the_file_over_both_inputs_bit_for_bit) {
    const std::vector<int16_t> s = loop_values();
    constexpr size_t period = default_period;
    const size_t feed_blocks = 60;
    const auto in1 = ramp(feed_blocks * period, 0.01, 1.234567e-5);
    const auto in2 = ramp(feed_blocks * period, -0.02, -1.1e-5);

    // The block that loop position p and feed block k (-1: silent inputs) give.
    const auto matches = [&](const float* o1, const float* o2, int32_t p, long k) {
        for (size_t i = 0; i < period; ++i) {
            const int32_t f = int32_t((p + i) % loop_frames);
            const float a = k < 0 ? 0.0f : in1[k * period + i];
            const float b = k < 0 ? 0.0f : in2[k * period + i];
            if (o1[i] != looped(s[2 * f], a) || o2[i] != looped(s[2 * f + 1], b)) return false;
        }
        return true;
    };

    EXPECT_TRUE(retry_inconclusive([&]() -> testing::AssertionResult {
        rig reel{without_loopback()};
        if (reel.feed.buffer_size() != period) return testing::AssertionFailure() << "period";
        reel.feeds("in1", in1);
        reel.feeds("in2", in2);
        reel.records("out1", (feed_blocks + 40) * period);
        reel.records("out2", (feed_blocks + 40) * period);
        const std::string path = write_wav(test_dir() + "/loop.wav", s, 2);
        const auto ran = reel.run({SPINREEL_PATH, {"spinreel", path}},
                                  {{"feeder:in1", "spinreel:input1"}, {"feeder:in2", "spinreel:input2"},
                                   {"spinreel:output1", "recorder:out1"},
                                   {"spinreel:output2", "recorder:out2"}},
                                  0ms, 10s);
        if (!ran) return ran;
        const auto out1 = reel.captured("out1");
        const auto out2 = reel.captured("out2");
        // Blocks that an overrun may have reached are left out; the blocks after
        // them follow on from where the loop and the feed then stand.
        const auto overruns = reel.overruns();

        int32_t expected_position = -1;
        long last_feed = -1;
        size_t fed_blocks_seen = 0, gaps = 0;
        bool after_overrun = false;
        for (size_t block = 0; block + 1 <= out1.size() / period; ++block) {
            if (overruns.touched(block)) {
                expected_position = -1;
                after_overrun = true;
                continue;
            }
            const float* o1 = &out1[block * period];
            const float* o2 = &out2[block * period];
            bool found = false;
            for (int32_t p = 0; p < loop_frames && !found; ++p) {
                for (long k = -1; k < long(feed_blocks) && !found; ++k) {
                    if (k >= 0 && k <= last_feed) continue;  // the feed only moves on
                    if (!matches(o1, o2, p, k)) continue;
                    found = true;
                    if (expected_position >= 0 && p != expected_position) ++gaps;
                    if (k >= 0) {
                        if (last_feed >= 0 && k != last_feed + 1 && !after_overrun) ++gaps;
                        last_feed = k;
                        ++fed_blocks_seen;
                    }
                    after_overrun = false;
                    expected_position = int32_t((p + period) % loop_frames);
                }
            }
            if (!found)
                return testing::AssertionFailure() << "recorded block " << block
                                                   << " is no loop block plus its inputs";
        }
        if (gaps > 0) return testing::AssertionFailure() << gaps << " blocks out of sequence";
        if (2 * fed_blocks_seen < feed_blocks)
            return inconclusive(std::to_string(fed_blocks_seen) + " of " +
                                std::to_string(feed_blocks) + " fed blocks in untouched cycles");
        if (fed_blocks_seen + overruns.touched_cycles() < feed_blocks)
            return testing::AssertionFailure()
                   << fed_blocks_seen << " of " << feed_blocks << " fed blocks recorded";
        return testing::AssertionSuccess();
    }));
}

}  // namespace
