// tapdelay: its command line, its eight connections and their messages, and the
// echo it plays, through a real jackd with test clients standing in for the loop
// player; and its per-cycle work called directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "echo.h"
#include "harness.h"
#include "tapdelay.h"

using namespace harness;

namespace {

using list = std::vector<std::string>;

list sorted(list v) {
    std::sort(v.begin(), v.end());
    return v;
}

// The echo of `input` as the processor computes it offline, from a fresh state.
std::vector<float> offline_echo(const std::vector<float>& input, float time, float release) {
    echo_init(44100);
    echo::time = time;
    echo::release = release;
    std::vector<float> output(input.size());
    const float* inputs[1] = {input.data()};
    float* outputs[1] = {output.data()};
    echo_compute(static_cast<int32_t>(input.size()), inputs, outputs);
    return output;
}

// Without its silent blocks at the end, which a recording shows as nothing.
std::vector<float> without_trailing_silence(std::vector<float> v, size_t block) {
    while (v.size() >= block &&
           std::all_of(v.end() - static_cast<std::ptrdiff_t>(block), v.end(),
                       [](float x) { return x == 0.0f; })) {
        v.resize(v.size() - block);
    }
    return v;
}

TEST(tapdelay_connections, all_eight_are_made_in_silence_when_every_peer_exists) {
    // A stand-in for the loop player, there before tapdelay starts so that tapdelay's
    // own connections reach it.
    rig echo{{}, "spinreel"};
    echo.feeds("output1");
    echo.feeds("output2");
    ASSERT_TRUE(echo.start({TAPDELAY_PATH, {"td", "10", "50"}}));

    const harness_client& g = echo.feed;
    EXPECT_EQ(sorted(g.connections("td:output1")), (list{"loopback:playback_1", "system:playback_1"}));
    EXPECT_EQ(sorted(g.connections("td:output2")), (list{"loopback:playback_2", "system:playback_2"}));
    EXPECT_EQ(g.connections("td:feedback1"), list{"loopback:capture_1"});
    EXPECT_EQ(g.connections("td:feedback2"), list{"loopback:capture_2"});
    EXPECT_EQ(g.connections("td:input1"), list{"spinreel:output1"});
    EXPECT_EQ(g.connections("td:input2"), list{"spinreel:output2"});
    EXPECT_EQ(echo.program->err(), "");
}

TEST(tapdelay_connections, missing_spinreel_costs_two_input_messages) {
    rig echo;
    ASSERT_TRUE(echo.start({TAPDELAY_PATH, {"td"}}));
    const std::string err = echo.program->err();
    EXPECT_EQ(count_line(err, "cannot connect loopback input ports"), 2) << err;
    EXPECT_EQ(count_line(err, "cannot connect loopback output ports"), 0) << err;
    EXPECT_EQ(split_lines(err).size(), 2u) << err;
    EXPECT_EQ(sorted(echo.feed.connections("td:output1")),
              (list{"loopback:playback_1", "system:playback_1"}));
    EXPECT_EQ(echo.feed.connections("td:feedback2"), list{"loopback:capture_2"});
    EXPECT_EQ(echo.feed.connections("td:input1"), list{});
    EXPECT_TRUE(echo.program->running());
}

TEST(tapdelay_connections, server_without_loopback_reports_each_failure_in_order) {
    rig echo{without_loopback()};
    ASSERT_TRUE(echo.start({TAPDELAY_PATH, {"td"}}));
    const std::string out = "cannot connect loopback output ports";
    const std::string in = "cannot connect loopback input ports";
    const std::string err = echo.program->err();
    EXPECT_EQ(split_lines(err), (list{out, out, in, in, in, in})) << err;
    // The system playback connections come last and still succeed.
    EXPECT_EQ(echo.feed.connections("td:output1"), list{"system:playback_1"});
    EXPECT_EQ(echo.feed.connections("td:output2"), list{"system:playback_2"});
    EXPECT_TRUE(echo.program->running());
}

// What the command line sets, as the listener hears it on output1.
struct echo_case {
    const char* label;
    std::vector<std::string> args_after_name;
    float time;
    float release;
};

void PrintTo(const echo_case& c, std::ostream* out) { *out << c.label; }

class tapdelay_echo : public testing::TestWithParam<echo_case> {};

constexpr size_t period = default_period;

// The fake spinreel feeds input1, input2 and both feedback ports; a recorder takes
// both outputs. Feeder, tapdelay and recorder run in this order within a cycle.
// tapdelay has seen only silence before the feed, so its line holds zeros and the
// offline echo from a fresh state is what it must play.
TEST_P(tapdelay_echo, output1_carries_the_echo_of_input1_and_output2_is_silent) {
    const echo_case& c = GetParam();
    const size_t fed = 40 * period;
    const size_t compared = fed + 24 * period;  // the echo's tail after the feed
    const auto in1 = ramp(fed, 0.01, 1.234567e-5);
    std::vector<float> padded = in1;
    padded.resize(compared, 0.0f);
    const auto want = without_trailing_silence(offline_echo(padded, c.time, c.release), period);
    if (c.release != 0.0f) {
        ASSERT_EQ(want.size(), compared) << "the case must make an audible echo";
        ASSERT_FALSE(std::equal(in1.begin(), in1.end(), want.begin()));
    }

    EXPECT_TRUE(retry_inconclusive([&] {
        rig echo{without_loopback(), "spinreel"};
        echo.feeds("output1", in1);
        echo.feeds("output2", ramp(fed, -0.5, 1e-4));
        echo.feeds("fb1", ramp(fed, 0.3, 1e-5));
        echo.feeds("fb2", ramp(fed, -0.3, 1e-5));
        echo.records("out1", compared + 32 * period);
        echo.records("out2", compared + 32 * period);
        std::vector<std::string> args{"td"};
        args.insert(args.end(), c.args_after_name.begin(), c.args_after_name.end());
        // A new connection reorders the graph, which can overrun a cycle: the
        // recording starts once that and its notices have passed.
        const auto ran = echo.run({TAPDELAY_PATH, args},
                                  {{"spinreel:fb1", "td:feedback1"}, {"spinreel:fb2", "td:feedback2"},
                                   {"td:output1", "recorder:out1"}, {"td:output2", "recorder:out2"}},
                                  500ms, 10s);
        if (!ran) return ran;

        // A block that an overrun spoiled stays in the echo's line: only what comes
        // before the first cycle that one may have reached is compared, from the
        // first block that carries sound on, as long as the offline echo.
        auto out1 = echo.captured("out1");
        size_t first = 0;
        while (first < out1.size() && out1[first] == 0.0f) ++first;
        first -= first % period;
        out1.resize(std::min(out1.size(), first + want.size()));
        std::vector<float> expected(first, 0.0f);
        expected.insert(expected.end(), want.begin(), want.begin() + std::ptrdiff_t(out1.size() - first));
        const auto out2 = echo.captured("out2");
        const bool silent = std::all_of(out2.begin(), out2.end(), [](float x) { return x == 0.0f; });
        return all_of({same_samples_where_clean(out1, expected, first, echo.overruns(), out1.size(),
                                                want.size() / 2),
                       silent ? testing::AssertionSuccess()
                              : testing::AssertionFailure() << "output2 is not silent"});
    }));
}

INSTANTIATE_TEST_SUITE_P(
    command_lines, tapdelay_echo,
    testing::Values(echo_case{"time_10_release_50", {"10", "50"}, 10, 50},
                    echo_case{"fraction_read_as_whole", {"1.5", "75"}, 1, 75},
                    echo_case{"wrapping_time_surplus_ignored", {"2973", "100", "7", "x"}, 2973, 100},
                    echo_case{"words_read_as_0", {"fast", "loud"}, 0, 0},
                    echo_case{"below_1_read_as_0", {"0.64", "0.5"}, 0, 0},
                    echo_case{"no_numbers", {}, 0, 0}),
    [](const testing::TestParamInfo<echo_case>& info) { return std::string(info.param.label); });

// The process callback's work without a server.
TEST(tapdelay_block, output2_is_cleared_whatever_the_buffer_held) {
    tapdelay_before_args();
    const auto in = ramp(256, 0.25, 1e-3);
    std::vector<float> out1(256, 9.0f), out2(256, 9.0f);
    tapdelay_block(256, in.data(), out1.data(), out2.data());
    EXPECT_EQ(out2, std::vector<float>(256, 0.0f));
    // A fresh line: the first block is the input itself.
    EXPECT_EQ(out1, in);
}

TEST(tapdelay_arguments, numbers_are_read_as_whole_and_init_comes_first) {
    echo::time = 5.0f;
    echo::write_index = 77;
    echo::delay_line[3] = 1.0f;
    tapdelay_before_args();
    EXPECT_EQ(echo::write_index, 0u);
    EXPECT_EQ(echo::delay_line[3], 0.0f);

    char prog[] = "tapdelay", name[] = "fx", time[] = "-12.9", release[] = "33%", more[] = "8";
    char* argv[] = {prog, name, time, release, more, nullptr};
    void* arg = &arg;
    EXPECT_TRUE(tapdelay_prepare(5, argv, &arg));
    EXPECT_EQ(echo::time, -12.0f);
    EXPECT_EQ(echo::release, 33.0f);

    tapdelay_before_args();
    EXPECT_TRUE(tapdelay_prepare(2, argv, &arg));
    EXPECT_EQ(echo::time, 0.0f);
    EXPECT_EQ(echo::release, 0.0f);
}

}  // namespace
