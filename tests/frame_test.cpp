// The start-up, naming, port registration, error reports and termination that the
// client frame gives every standalone program, checked on the real programs
// against a real jackd. Add a row to `programs` for each new program.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "harness.h"
#include "wav_files.h"

using namespace harness;

namespace {

struct program_case {
    const char* label;
    const char* path;
    const char* usage;
    std::vector<std::string> args_after_name;
    std::vector<std::string> ports;  // in registration order, outputs first
    size_t outputs;
    // Own port and a peer it connects to when the server has loopback ports, one
    // row per peer; peers that the test server lacks (spinreel) are left out.
    std::vector<std::pair<std::string, std::string>> connections;
    // What standard output begins with before the client opens; empty: nothing at all.
    std::string out_before_open = "";
};

// An argument "@wav" stands for a short stereo WAV file that the test writes.
const std::string wav_argument = "@wav";

const std::vector<program_case> programs = {
    {"returnmix", RETURNMIX_PATH, "Usage : returnmix <client_name>\n", {},
     {"output1", "output2", "input1", "input2", "feedback1", "feedback2"}, 2,
     {{"output1", "loopback:playback_1"}, {"output2", "loopback:playback_2"},
      {"feedback1", "loopback:capture_1"}, {"feedback2", "loopback:capture_2"}}},
    {"tapdelay", TAPDELAY_PATH, "Usage : tapdelay <client_name> <time:0~2000> <release:0~100>\n",
     {},
     {"output1", "output2", "input1", "input2", "feedback1", "feedback2"}, 2,
     {{"output1", "loopback:playback_1"}, {"output2", "loopback:playback_2"},
      {"feedback1", "loopback:capture_1"}, {"feedback2", "loopback:capture_2"},
      {"output1", "system:playback_1"}, {"output2", "system:playback_2"}}},
    {"fuzzpedal", FUZZPEDAL_PATH,
     "Usage : fuzzpedal <client_name> <overdriver:1~20> <driverover:0~1> <drive:0~1> "
     "<drivelevel1:0~1> <drivegain:-20~20> <highpass:8~1000> <lowpass:1000~10000> "
     "<low_highpass:0~1> <highcut:1000~10000> <lowcut:8~1000> <low_highcut:0~1> "
     "<trigger:0~1> <vibrato:0.01~1>\n",
     {},
     {"output1", "output2", "input1", "input2"}, 2,
     {{"output1", "system:playback_1"}, {"output2", "system:playback_2"}}},
    {"spinreel", SPINREEL_PATH, "Usage : spinreel <client_name> <file_name>\n", {wav_argument},
     {"output1", "output2", "input1", "input2"}, 2, {}, "File is 60 bytes.\n"},
    {"padplayer", PADPLAYER_PATH, "Usage : padplayer <client_name>\n", {},
     {"output1", "output2", "input1", "input2"}, 2,
     {{"output1", "system:playback_1"}, {"output2", "system:playback_2"}}},
};

// padplayer loads its samples from fixed paths: every test process gets a private
// /sdcard with three short files there (set up after the test main's unshare).
class sdcard_keys : public testing::Environment {
    void SetUp() override {
        mount_private_sdcard();
        std::filesystem::create_directories("/sdcard/Sounds");
        for (const char* key : {"key1", "key2", "key3"}) {
            wav_files::write_wav(std::string("/sdcard/Sounds/") + key + ".wav",
                                 {100, -200, 300, -400}, 1 /*channels*/);
        }
    }
};
testing::Environment* const sdcard_environment =
    testing::AddGlobalTestEnvironment(new sdcard_keys);

void PrintTo(const program_case& p, std::ostream* out) { *out << p.label; }

std::vector<std::string> args(const program_case& p, const std::string& client_name) {
    std::vector<std::string> a{client_name};
    for (const auto& arg : p.args_after_name) {
        if (arg != wav_argument) {
            a.push_back(arg);
            continue;
        }
        a.push_back(wav_files::write_wav(test_dir() + "/loop.wav", {1, -2, 3, -4, 5, -6, 7, -8},
                                         2 /*channels*/));
    }
    return a;
}

class frame_test : public testing::TestWithParam<program_case> {};

std::string case_name(const testing::TestParamInfo<program_case>& info) {
    return info.param.label;
}

TEST_P(frame_test, without_arguments_writes_only_usage_and_fails) {
    child_process p(GetParam().path, {});
    const auto status = p.wait(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 1) << status->describe();
    EXPECT_EQ(p.err(), GetParam().usage);
    EXPECT_EQ(p.out(), "");
}

TEST_P(frame_test, without_server_reports_open_status_and_fails) {
    // With auto-start forbidden libjack reports JackFailure | JackServerFailed,
    // which "0x%2.0x" prints as 0x11.
    static_assert((JackFailure | JackServerFailed) == 0x11);
    child_process p(GetParam().path, args(GetParam(), "lonely"),
                    {"JACK_DEFAULT_SERVER=nobody_runs_this", "JACK_NO_START_SERVER=1"});
    const auto status = p.wait(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 1) << status->describe();
    const std::string err = p.err();
    EXPECT_EQ(count_line(err, "jack_client_open() failed, status = 0x11"), 1) << err;
    EXPECT_EQ(count_line(err, "Unable to connect to JACK server"), 1) << err;
    EXPECT_TRUE(lines_in_order(
        err, {"jack_client_open() failed, status = 0x11", "Unable to connect to JACK server"}))
        << err;
    EXPECT_EQ(count_line(err, "JACK server started"), 0) << err;
    const std::string& out_start = GetParam().out_before_open;
    if (out_start.empty()) {
        EXPECT_EQ(p.out(), "");
    } else {
        EXPECT_EQ(p.out().rfind(out_start, 0), 0u) << p.out();
    }
}

TEST_P(frame_test, taken_name_is_made_unique_and_used_for_ports_and_connections) {
    const program_case& prog = GetParam();
    jack_server server;
    harness_client holder(server.name(), "fx");  // takes the name first
    child_process p(prog.path, args(prog, "fx"), server.client_env());
    ASSERT_TRUE(wait_frame_ready(p)) << p.err();

    // The name the server gave the program: the only new client with our ports.
    std::string assigned;
    for (const auto& port : holder.all_ports()) {
        const auto colon = port.find(':');
        if (port.substr(colon + 1) == prog.ports[0] && port.rfind("fx", 0) == 0) {
            assigned = port.substr(0, colon);
        }
    }
    ASSERT_NE(assigned, "") << "no " << prog.ports[0] << " port on the server";
    EXPECT_NE(assigned, "fx");
    EXPECT_EQ(count_line(p.err(), "unique name `" + assigned + "' assigned"), 1) << p.err();
    EXPECT_TRUE(holder.client_ports("fx").empty());

    std::vector<std::string> expected_ports;
    for (const auto& port : prog.ports) expected_ports.push_back(assigned + ":" + port);
    EXPECT_EQ(holder.client_ports(assigned), expected_ports);
    for (size_t i = 0; i < expected_ports.size(); ++i) {
        const int direction = i < prog.outputs ? JackPortIsOutput : JackPortIsInput;
        EXPECT_TRUE(holder.port_flags(expected_ports[i]) & direction) << expected_ports[i];
    }
    std::map<std::string, std::vector<std::string>> peers;
    for (const auto& [own, peer] : prog.connections) peers[own].push_back(peer);
    for (auto& [own, want] : peers) {
        auto got = holder.connections(assigned + ":" + own);
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << own;
    }
}

TEST_P(frame_test, killed_server_ends_program_with_status_1_silently) {
    jack_server server;
    child_process p(GetParam().path, args(GetParam(), "victim"), server.client_env());
    ASSERT_TRUE(wait_frame_ready(p)) << p.err();
    server.kill();
    const auto status = p.wait(10s);
    ASSERT_TRUE(status) << "still running after the server died";
    EXPECT_EQ(status->code, 1) << status->describe();
    EXPECT_EQ(count_line(p.err(), "signal received, exiting ..."), 0) << p.err();
}

// A shell's Ctrl-C or a session being stopped signals the client and the server at
// the same moment; a server that wedges on its way down must not hold the client.
TEST_P(frame_test, signalled_together_with_the_server_ends_within_seconds) {
    for (int round = 0; round < 3; ++round) {
        jack_server server;
        child_process p(GetParam().path, args(GetParam(), "together"), server.client_env());
        ASSERT_TRUE(wait_frame_ready(p)) << p.err();
        kill(server.pid(), SIGTERM);
        p.signal(SIGTERM);
        const auto status = p.wait(3s);
        ASSERT_TRUE(status) << "round " << round << ": still running 3 s after the signals";
        // Whichever way out came first: the signal's (0) or the server's shutdown (1).
        EXPECT_TRUE(status->code == 0 || status->code == 1) << status->describe();
    }
}

INSTANTIATE_TEST_SUITE_P(programs, frame_test, testing::ValuesIn(programs), case_name);

// Each termination signal, once the handlers are in: the client closes, one line, status 0.
class frame_signal_test : public testing::TestWithParam<std::tuple<program_case, int>> {};

TEST_P(frame_signal_test, signal_closes_client_and_exits_0) {
    const auto& [prog, sig] = GetParam();
    jack_server server;
    harness_client observer(server.name(), "observer");
    child_process p(prog.path, args(prog, "sig"), server.client_env());
    ASSERT_TRUE(wait_frame_ready(p)) << p.err();
    ASSERT_FALSE(observer.client_ports("sig").empty());

    p.signal(sig);
    const auto status = p.wait(5s);
    ASSERT_TRUE(status) << "still running after signal " << sig;
    EXPECT_EQ(status->code, 0) << status->describe();
    EXPECT_EQ(count_line(p.err(), "signal received, exiting ..."), 1) << p.err();
    EXPECT_EQ(p.err().substr(p.err().size() - 29), "signal received, exiting ...\n");
    // The program closed its client itself: the ports are gone as soon as it has exited.
    EXPECT_EQ(observer.client_ports("sig"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    programs, frame_signal_test,
    testing::Combine(testing::ValuesIn(programs), testing::Values(SIGQUIT, SIGTERM, SIGHUP, SIGINT)),
    [](const testing::TestParamInfo<std::tuple<program_case, int>>& info) {
        return std::string(std::get<0>(info.param).label) + "_" +
               sigabbrev_np(std::get<1>(info.param));
    });

}  // namespace
