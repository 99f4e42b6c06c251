// The clients and the plug-in's callback built with RealtimeSanitizer, each run
// through a real jackd for thousands of cycles with its inputs driven. An unsafe
// call in a process callback would be reported on stderr and end the program, so
// each run must keep going, say nothing of the sanitizer and exit 0 on SIGTERM.
// A probe client shows that the same rig does catch a printf in a callback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "harness.h"
#include "wav_files.h"

using namespace harness;

namespace {

// Small periods, so that a few seconds make thousands of cycles.
constexpr unsigned period = 32;
constexpr size_t run_cycles = 4000;
const std::string sanitizer_report = "RealtimeSanitizer";

std::vector<float> sine(size_t frames, double hz, double level = 0.4) {
    std::vector<float> s(frames);
    for (size_t i = 0; i < frames; ++i) {
        s[i] = static_cast<float>(level * std::sin(2.0 * M_PI * hz * double(i) / 44100.0));
    }
    return s;
}

struct program_t {
    std::string path;
    std::vector<std::string> args;  // args[0] is the client name, unless `client` is set
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    bool frame = true;  // a client of the frame; otherwise it writes "active" when set up
    bool keys = false;  // types keys on stdin during the run, then ends the input
    std::string client = "";  // the client's name where args[0] is not
};

struct run_result_t {
    size_t cycles = 0;
    bool ran_through = false;  // still running when the cycles were done
    exit_status status;
    std::string out, err;
    std::vector<float> output;  // the first output, as recorded
    size_t live_frames = 0;  // non-zero frames of the first output in the last tenth
    size_t checked_frames = 0;
};

bool wait_active(child_process& p) {
    return wait_until([&] { return !p.running() || p.out().find("active\n") != std::string::npos; },
                      5s) &&
           p.running();
}

// Starts `program` on a fresh server, feeds its inputs and records its first output
// for run_cycles cycles (counted by the feeding client) while it keeps running, then
// stops it with SIGTERM.
run_result_t run_driven(const program_t& program) {
    server_options options;
    options.period = period;
    rig driven{options};
    const std::string name = program.client.empty() ? program.args[0] : program.client;
    const size_t frames = run_cycles * period;
    port_pairs pairs{{name + ":" + program.outputs[0], "recorder:in"}};
    for (size_t i = 0; i < program.inputs.size(); ++i) {
        const std::string out = "out" + std::to_string(i + 1);
        driven.feeds(out, sine(frames + 2000 * period, 220.0 * double(i + 1)));
        pairs.emplace_back("feeder:" + out, name + ":" + program.inputs[i]);
    }
    driven.records("in", frames);
    driven.activate();
    child_process& p = driven.program.emplace(program.path, program.args,
                                              driven.server.client_env(), program.keys);
    run_result_t r;
    const bool ready = program.frame ? wait_frame_ready(p) : wait_active(p);
    if (!ready) {
        r.status = p.stop(2s);
        r.out = p.out();
        r.err = p.err();
        return r;
    }
    EXPECT_TRUE(driven.connect(pairs));
    harness_client& feeder = driven.feed;
    const size_t start = feeder.cycles();
    driven.begin_recording();
    const std::string typed = "asd\nsda";
    size_t next_key = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (feeder.cycles() - start < run_cycles && p.running() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        if (!program.keys) continue;
        if (next_key < typed.size()) {
            p.write_stdin(typed.substr(next_key++, 1));
        } else if (next_key == typed.size()) {
            p.close_stdin();  // end of input while the cycles go on
            ++next_key;
        }
    }
    r.cycles = feeder.cycles() - start;
    r.ran_through = p.running();
    if (program.keys) EXPECT_GT(next_key, typed.size()) << "the run ended before the input";
    driven.wait_recorded(2s);
    r.status = p.stop(2s);
    r.out = p.out();
    r.err = p.err();

    r.output = driven.captured("in");
    const size_t n = r.output.size();
    for (size_t i = n - n / 10; i < n; ++i) r.live_frames += r.output[i] != 0.0f;
    r.checked_frames = n / 10;
    std::printf("%s: %zu cycles of %u frames, %d xruns\n", name.c_str(), r.cycles, period,
                settled_xruns(feeder, driven.recorder()));
    return r;
}

void expect_clean_run(const run_result_t& r) {
    EXPECT_GE(r.cycles, run_cycles);
    EXPECT_TRUE(r.ran_through) << r.status.describe() << "\n" << r.err;
    EXPECT_EQ(r.err.find(sanitizer_report), std::string::npos) << r.err;
    EXPECT_EQ(r.status.code, 0) << r.status.describe() << "\n" << r.err;
    // The callback kept working to the end: its output carries the driven signal.
    EXPECT_GT(r.checked_frames, 0u);
    EXPECT_GE(r.live_frames, r.checked_frames / 2) << r.live_frames << " of " << r.checked_frames;
}

const std::vector<std::string> two_inputs{"input1", "input2"};
const std::vector<std::string> two_outputs{"output1", "output2"};

TEST(realtime_clients, fuzzpedal_runs_clean_and_still_writes_its_line_per_cycle) {
    const auto r = run_driven({FUZZPEDAL_PATH, {"fuzzpedal"}, two_inputs, two_outputs});
    expect_clean_run(r);
    // The callback only counts; the writer thread wrote a line for every cycle.
    EXPECT_GE(size_t(count_line(r.out, "process is called")), r.cycles);
}

TEST(realtime_clients, tapdelay_runs_clean) {
    expect_clean_run(run_driven({TAPDELAY_PATH, {"tapdelay", "3", "60"}, two_inputs, two_outputs}));
}

TEST(realtime_clients, returnmix_runs_clean) {
    expect_clean_run(run_driven({RETURNMIX_PATH, {"returnmix"}, two_inputs, two_outputs}));
}

TEST(realtime_clients, spinreel_runs_clean) {
    std::vector<int16_t> values(3000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = int16_t(int(i % 200) * 150 - 15000);
    const std::string wav = wav_files::write_wav(test_dir() + "/loop.wav", values, 2);
    expect_clean_run(run_driven({SPINREEL_PATH, {"spinreel", wav}, two_inputs, two_outputs}));
}

TEST(realtime_clients, padplayer_runs_clean_through_keys_and_end_of_input) {
    mount_private_sdcard();
    std::filesystem::create_directories("/sdcard/Sounds");
    for (int k = 1; k <= 3; ++k) {
        std::vector<int16_t> values(4000 * k);
        for (size_t i = 0; i < values.size(); ++i) values[i] = int16_t((int(i) * 37 * k) % 20000);
        wav_files::write_wav("/sdcard/Sounds/key" + std::to_string(k) + ".wav", values, 1);
    }
    program_t program{PADPLAYER_PATH, {"padplayer"}, two_inputs, two_outputs};
    program.keys = true;
    const auto r = run_driven(program);
    expect_clean_run(r);
    // The keys did play: frames that carry neither the first input nor silence.
    const auto in1 = sine(run_cycles * period + 2000 * period, 220.0);
    const std::set<float> passed(in1.begin(), in1.end());
    const auto played = std::count_if(r.output.begin(), r.output.end(), [&](float v) {
        return v != 0.0f && passed.count(v) == 0;
    });
    std::printf("padplayer: %td frames carried a key sample\n", played);
    EXPECT_GE(played, 4000);
}

// Its own stamps on its input (it connects the two itself): every cycle's stamp is
// read, counted and echoed.
TEST(realtime_clients, linkwatch_runs_clean) {
    program_t program{LINKWATCH_PATH, {"receive", "watch", "--from", "watch:output"}, {}, {"output"}};
    program.client = "watch";
    const auto r = run_driven(program);
    expect_clean_run(r);
    EXPECT_NE(r.out.find(" on time, "), std::string::npos) << r.out;
}

TEST(realtime_clients, passthru_callback_runs_clean) {
    program_t program{INPROCESS_HOST_PATH, {"passthru"}, {"input"}, {"output"}};
    program.frame = false;
    const auto r = run_driven(program);
    expect_clean_run(r);
    EXPECT_EQ(r.err, "");  // jack_initialize found and connected the physical ports
}

// The negative control: the same probe passes when its callback only fetches buffers
// and computes, and is stopped with a report when it also calls printf.
TEST(realtime_control, a_computing_callback_passes) {
    program_t program{REALTIME_PROBE_PATH, {"probe", "clean"}, {"input"}, {"output"}};
    program.frame = false;
    expect_clean_run(run_driven(program));
}

TEST(realtime_control, a_printing_callback_is_stopped_with_a_report) {
    server_options options;
    options.period = period;
    jack_server server{options};
    child_process p(REALTIME_PROBE_PATH, {"probe", "print"}, server.client_env());
    const auto status = p.wait(10s);
    ASSERT_TRUE(status) << "still running: " << p.err();
    const std::string err = p.err();
    EXPECT_NE(status->code, 0) << status->describe();
    EXPECT_NE(err.find("ERROR: " + sanitizer_report + ": unsafe-library-call"), std::string::npos)
        << err;
    EXPECT_NE(err.find("printf"), std::string::npos) << err;
    EXPECT_NE(err.find("probe_process"), std::string::npos) << err;
}

}  // namespace
