// padplayer: its mix and key handling called directly, and the real program through
// a real jackd with its three sample files on a private /sdcard.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "harness.h"
#include "padplayer.h"
#include "wav_files.h"

using namespace harness;

namespace {

// What a frame carries while value v plays on top of input `in`.
float played(int16_t v, float in) {
    return static_cast<float>((static_cast<double>(v) / 32767.0) * 0.3 + static_cast<double>(in));
}

std::vector<int16_t> values(size_t count, int first, int step) {
    std::vector<int16_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = static_cast<int16_t>(first + int(i) * step);
    return v;
}

// Direct calls on the module's state, with the samples held by the test.
class padplayer_mix_test : public testing::Test {
protected:
    std::vector<int16_t> data[KEY_COUNT] = {values(10, 1000, 37), values(6, -3000, 511),
                                            values(5, 20000, -4099)};

    void SetUp() override {
        for (int k = 0; k < KEY_COUNT; ++k) {
            key_samples[k] = sample_buffer_t{data[k].data(), int32_t(data[k].size()), 0};
            key_positions[k].store(0);
        }
        current_sample.store(nullptr);
        last_sample = nullptr;
    }
    void TearDown() override {
        for (auto& key : key_samples) key = sample_buffer_t{};
        current_sample.store(nullptr);
        last_sample = nullptr;
    }

    void keys(const std::string& text) {
        for (char c : text) padplayer_key(static_cast<unsigned char>(c));
    }

    // Mixes `frames` frames of two distinct ramps in blocks of `block`; the inputs
    // are kept so that expectations refer to them.
    std::vector<float> in1, in2, out1, out2;
    void mix(size_t frames, size_t block) {
        const size_t start = in1.size();
        const auto a = ramp(frames, 0.01 + 0.001 * double(start), 1.25e-4);
        const auto b = ramp(frames, -0.02 - 0.001 * double(start), -2.5e-4);
        in1.insert(in1.end(), a.begin(), a.end());
        in2.insert(in2.end(), b.begin(), b.end());
        out1.resize(start + frames, -9.0f);
        out2.resize(start + frames, -9.0f);
        for (size_t done = 0; done < frames; done += block) {
            const auto n = jack_nframes_t(std::min(block, frames - done));
            const size_t at = start + done;
            padplayer_mix(n, &in1[at], &in2[at], &out1[at], &out2[at]);
        }
    }

    // Frames [from, from + count) carry `key`'s values from `first` on.
    void expect_playing(size_t from, size_t count, int key, size_t first = 0) {
        for (size_t i = 0; i < count; ++i) {
            const int16_t v = data[key][first + i];
            ASSERT_EQ(out1[from + i], played(v, in1[from + i])) << "frame " << from + i;
            ASSERT_EQ(out2[from + i], played(v, in2[from + i])) << "frame " << from + i;
        }
    }
    void expect_passing(size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            ASSERT_EQ(out1[i], in1[i]) << "frame " << i;
            ASSERT_EQ(out2[i], in2[i]) << "frame " << i;
        }
    }
};

TEST_F(padplayer_mix_test, inputs_pass_exactly_until_a_key_selects_a_sample) {
    keys(std::string("\nx\0z", 4));  // nothing selected yet: ignored
    EXPECT_EQ(current_sample.load(), nullptr);
    mix(1000, 128);
    expect_passing(0, 1000);
    EXPECT_EQ(current_sample.load(), nullptr);
}

TEST_F(padplayer_mix_test, a_and_newline_play_key_1_once_from_its_start) {
    keys("a");
    mix(4, 4);  // key 1 now stands at value 4
    keys("s");  // cut
    mix(2, 2);
    keys("a\n");
    mix(24, 8);  // key 1's ten values end in the second block
    expect_playing(0, 4, 0);
    expect_playing(4, 2, 1);
    expect_playing(6, 10, 0);
    expect_passing(16, 30);
    EXPECT_EQ(current_sample.load(), nullptr);
    EXPECT_EQ(last_sample, &key_samples[0]);
}

TEST_F(padplayer_mix_test, as_and_newline_play_key_2_and_upper_case_keys_work_alike) {
    keys("as\n");
    mix(9, 16);
    expect_playing(0, 6, 1);
    expect_passing(6, 9);
    keys("D");
    mix(7, 3);
    expect_playing(9, 5, 2);
    expect_passing(14, 16);
}

TEST_F(padplayer_mix_test, a_trigger_cuts_at_once_and_the_same_key_restarts) {
    keys("a");
    mix(3, 64);
    keys("d");
    mix(2, 64);
    keys("d");  // restart of the sample that plays
    mix(1, 64);
    keys("\n");  // last selection again
    mix(5, 64);
    keys("a");  // the cut key 1 restarts from 0, not from 3
    mix(12, 64);
    expect_playing(0, 3, 0);
    expect_playing(3, 2, 2);
    expect_playing(5, 1, 2);
    expect_playing(6, 5, 2);
    expect_playing(11, 10, 0);
    expect_passing(21, 23);
}

TEST_F(padplayer_mix_test, end_of_input_stops_the_key_loop_without_re_triggering) {
    // At end of input the loop returns; the sample goes on from where it was and
    // plays out once.
    const char text[] = "d\0a";
    FILE* in = fmemopen(const_cast<char*>(text), 3, "r");
    ASSERT_NE(in, nullptr);
    padplayer_read_keys(in);
    fclose(in);
    EXPECT_EQ(last_sample, &key_samples[0]);
    mix(7, 7);
    expect_playing(0, 7, 0);
    // A loop that re-triggered at end of input would restart key 1 here.
    in = fmemopen(const_cast<char*>(text), 0, "r");
    ASSERT_NE(in, nullptr);
    padplayer_read_keys(in);
    fclose(in);
    mix(10, 7);
    expect_playing(7, 3, 0, 7);
    expect_passing(10, 17);
}

TEST_F(padplayer_mix_test, triggers_racing_the_mix_give_whole_frames_of_one_record) {
    // Each frame carries one value of one record on both channels, or the inputs,
    // while another thread keeps typing.
    std::atomic<bool> stop{false};
    std::atomic<long> passes{0};
    std::thread typist([&] {
        const std::string text = "as\nd\nas\nsda\n";
        while (!stop.load()) {
            for (char c : text) padplayer_key(c);
            passes.fetch_add(1);
        }
    });
    const auto a = ramp(256, 0.01, 1.25e-4);
    const auto b = ramp(256, -0.02, -2.5e-4);
    float o1[256], o2[256];
    long blocks = 0, playing = 0;
    bool whole_frames = true;
    // Until both threads have overlapped for a while, however they are scheduled.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (; whole_frames && (playing < 20000 || passes.load() < 2000) &&
           std::chrono::steady_clock::now() < deadline;
         ++blocks) {
        padplayer_mix(256, a.data(), b.data(), o1, o2);
        for (size_t i = 0; i < 256 && whole_frames; ++i) {
            if (o1[i] == a[i] && o2[i] == b[i]) continue;
            bool whole = false;
            for (const auto& key : data) {
                for (int16_t v : key) {
                    whole = whole || (o1[i] == played(v, a[i]) && o2[i] == played(v, b[i]));
                }
            }
            EXPECT_TRUE(whole) << "frame " << i << ": " << o1[i] << " " << o2[i];
            whole_frames = whole;
            ++playing;
        }
    }
    stop.store(true);
    typist.join();
    // The race must really have happened: many frames played while keys came.
    EXPECT_GE(passes.load(), 2000);
    EXPECT_GE(playing, 20000) << blocks << " blocks";
}

// A canonical stereo 16-bit file over `data`, which may be an odd number of bytes.
void write_key(const std::string& path, const wav_files::bytes& data) {
    wav_files::write_bytes(path, wav_files::wav_image(wav_files::wav_format_t{}, data));
}

TEST(padplayer_load, keys_play_their_byte_count_halved_or_quartered) {
    // 14 data bytes: key 1 plays 7 values, key 2 plays 3; 3 bytes give key 3 no
    // whole frame, and a trigger plays its first value once.
    const auto v = values(7, -700, 211);
    auto odd = wav_files::pcm16({4321, 5});
    odd.pop_back();
    const std::string dir = test_dir();
    write_key(dir + "/k1.wav", wav_files::pcm16(v));
    write_key(dir + "/k2.wav", wav_files::pcm16(v));
    write_key(dir + "/k3.wav", odd);
    const std::string names[KEY_COUNT] = {dir + "/k1.wav", dir + "/k2.wav", dir + "/k3.wav"};
    const char* const real[KEY_COUNT] = {names[0].c_str(), names[1].c_str(), names[2].c_str()};
    ASSERT_TRUE(padplayer_load(real));
    EXPECT_EQ(key_samples[0].frames, 7);
    EXPECT_EQ(key_samples[1].frames, 3);
    EXPECT_EQ(key_samples[2].frames, 0);

    const float zero[16] = {};
    const std::vector<std::pair<char, int>> plays = {{'a', 7}, {'s', 3}, {'d', 1}};
    for (const auto& [key, want] : plays) {
        padplayer_key(key);
        float out1[16], out2[16];
        padplayer_mix(16, zero, zero, out1, out2);
        int count = 0;
        while (count < 16 && out1[count] != 0.0f) ++count;
        EXPECT_EQ(count, want) << key;
        const int16_t first = key == 'd' ? 4321 : v[0];
        EXPECT_EQ(out1[0], played(first, 0.0f)) << key;
        EXPECT_EQ(out2[count - 1], out1[count - 1]) << key;
        for (int i = count; i < 16; ++i) EXPECT_EQ(out1[i], 0.0f) << key << " frame " << i;
    }
    padplayer_release(nullptr);
    for (const auto& key : key_samples) EXPECT_EQ(key.samples, nullptr);
    current_sample.store(nullptr);
    last_sample = nullptr;
}

// ---- the real program ----

const std::vector<int16_t> key1_values = values(300, 100, 97);

// Writes the three files at their fixed paths; `count` of them (1 to 3 missing).
void write_sdcard_keys(int count = KEY_COUNT) {
    mount_private_sdcard();
    std::filesystem::create_directories("/sdcard/Sounds");
    for (int k = 0; k < KEY_COUNT; ++k) std::filesystem::remove(key_paths[k]);
    const std::vector<int16_t> files[KEY_COUNT] = {key1_values, values(40, -5, -3),
                                                   values(40, 7, 5)};
    for (int k = 0; k < count; ++k) wav_files::write_wav(key_paths[k], files[k], 1);
}

TEST(padplayer_program, a_missing_key_file_is_named_and_ends_start_up_with_1) {
    for (int missing = 1; missing <= KEY_COUNT; ++missing) {
        write_sdcard_keys(missing - 1);
        child_process p(PADPLAYER_PATH, {"pp"},
                        {"JACK_DEFAULT_SERVER=nobody_runs_this", "JACK_NO_START_SERVER=1"});
        const auto status = p.wait(5s);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 1) << status->describe();
        // Nothing of the client open: the files come first.
        EXPECT_EQ(p.err(), "Unable to open file " + std::to_string(missing) + "\n");
    }
}

TEST(padplayer_program, a_header_alone_is_refused_like_a_missing_file) {
    write_sdcard_keys();
    wav_files::write_wav(key_paths[1], {}, 1);
    child_process p(PADPLAYER_PATH, {"pp"}, {"JACK_NO_START_SERVER=1"});
    const auto status = p.wait(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 1) << status->describe();
    EXPECT_EQ(p.err(), "Unable to open file 2\n");
}

TEST(padplayer_program, outputs_go_to_the_first_two_physical_playback_ports) {
    write_sdcard_keys();
    rig pad;
    ASSERT_TRUE(pad.start({PADPLAYER_PATH, {"pp"}, /*stdin_pipe=*/true}));
    using list = std::vector<std::string>;
    EXPECT_EQ(pad.feed.connections("pp:output1"), list{"system:playback_1"});
    EXPECT_EQ(pad.feed.connections("pp:output2"), list{"system:playback_2"});
    EXPECT_EQ(pad.feed.connections("pp:input1"), list{});
    EXPECT_EQ(count_line(pad.program->err(), "cannot connect output ports"), 0) << pad.program->err();
}

TEST(padplayer_program, a_key_through_the_server_plays_once_and_end_of_input_idles) {
    write_sdcard_keys();
    constexpr float level1 = 0.25f, level2 = -0.125f;
    const auto plays_once = retry_inconclusive([&]() -> testing::AssertionResult {
        rig pad{without_loopback()};
        const size_t period = pad.feed.buffer_size();
        const size_t capacity = 120 * period;
        pad.feeds("in1", std::vector<float>(capacity + 64 * period, level1));
        pad.feeds("in2", std::vector<float>(capacity + 64 * period, level2));
        pad.records("out1", capacity);
        pad.records("out2", capacity);
        auto ran = pad.start({PADPLAYER_PATH, {"pp"}, /*stdin_pipe=*/true});
        if (ran) {
            ran = pad.connect({{"feeder:in1", "pp:input1"}, {"feeder:in2", "pp:input2"},
                               {"pp:output1", "recorder:out1"}, {"pp:output2", "recorder:out2"}});
        }
        if (!ran) return ran;
        pad.begin_recording();
        std::this_thread::sleep_for(60ms);
        child_process& p = *pad.program;
        p.write_stdin("a");
        p.close_stdin();
        if (auto recorded = pad.wait_recorded(10s); !recorded) return recorded;
        const auto out1 = pad.captured("out1");
        const auto out2 = pad.captured("out2");
        if (!p.running()) return testing::AssertionFailure() << "ended at end of input";

        // Inputs pass through (or silence, before the feed begins), but for one run
        // of key 1's values; frames of cycles that an overrun may have reached are
        // left out, and a run that one cut into cannot be judged.
        const auto overruns = pad.overruns();
        std::vector<size_t> run;
        for (size_t i = 0; i < out1.size(); ++i) {
            if (overruns.touched(i / period)) continue;
            const bool through = (out1[i] == level1 && out2[i] == level2) ||
                                 (out1[i] == 0.0f && out2[i] == 0.0f);
            if (!through) run.push_back(i);
        }
        const size_t reach = key1_values.size() + period;
        const bool cut = run.empty() ? overruns.touched_cycles() > 0 : [&] {
            const size_t first = run.front() > reach ? run.front() - reach : 0;
            for (size_t c = first / period; c <= (run.back() + reach) / period; ++c) {
                if (c < overruns.cycles() && overruns.touched(c)) return true;
            }
            return false;
        }();
        const auto judged = [&](testing::AssertionResult failure) {
            return cut ? inconclusive("an overrun reached key 1's sound") : failure;
        };
        if (run.size() != key1_values.size()) {
            return judged(testing::AssertionFailure()
                          << run.size() << " frames differ from the inputs");
        }
        for (size_t k = 0; k < run.size(); ++k) {
            if (run[k] != run[0] + k || out1[run[k]] != played(key1_values[k], level1) ||
                out2[run[k]] != played(key1_values[k], level2)) {
                return judged(testing::AssertionFailure() << "value " << k << " at frame " << run[k]);
            }
        }
        return testing::AssertionSuccess();
    });
    EXPECT_TRUE(plays_once);
}

TEST(padplayer_program, after_end_of_input_the_program_sleeps) {
    write_sdcard_keys();
    jack_server server;
    child_process p(PADPLAYER_PATH, {"pp"}, server.client_env(), /*stdin_pipe=*/true);
    ASSERT_TRUE(wait_frame_ready(p)) << p.err();
    p.write_stdin("a\n");
    p.close_stdin();
    std::this_thread::sleep_for(300ms);
    const long before = cpu_ticks(p.pid());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2s);
    const long used = cpu_ticks(p.pid()) - before;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A loop spinning on end of input would take a whole core; the process thread
    // alone takes a few percent.
    EXPECT_LT(double(used), 0.25 * elapsed * double(sysconf(_SC_CLK_TCK))) << used << " ticks";
    EXPECT_TRUE(p.running());
    EXPECT_EQ(p.err(), "");
}

// The key loop sits in a read of an idle standard input; no way out may wait for it.
TEST(padplayer_program, with_an_idle_stdin_held_open_every_way_out_is_prompt) {
    write_sdcard_keys();
    struct way_out {
        const char* name;
        int signal;  // 0: the server is killed instead
        int status;
        duration bound;
    };
    for (const way_out& way : {way_out{"SIGINT", SIGINT, 0, 2s}, way_out{"SIGTERM", SIGTERM, 0, 2s},
                               way_out{"server killed", 0, 1, 3s}}) {
        jack_server server;
        child_process p(PADPLAYER_PATH, {"pp"}, server.client_env(), /*stdin_pipe=*/true);
        ASSERT_TRUE(wait_frame_ready(p)) << p.err();
        std::this_thread::sleep_for(200ms);  // the key loop is in its read by now
        if (way.signal != 0) {
            p.signal(way.signal);
        } else {
            server.kill();
        }
        const auto status = p.wait(way.bound);
        ASSERT_TRUE(status) << way.name << ": still running with stdin open";
        EXPECT_EQ(status->code, way.status) << way.name << ": " << status->describe();
    }
}

}  // namespace
