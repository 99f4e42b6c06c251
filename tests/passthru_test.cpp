// passthru.so loaded into a real jackd with the server's own jack_load and
// jack_unload: its ports, its connections, its copy, and what a failed connection does.
#include <gtest/gtest.h>

#include <string>

#include "harness.h"
#include "passthru_server.h"

using namespace harness;

namespace {

server_options with_plugin(bool refuse_self_connect = false) {
    server_options options = passthru_server_options();
    options.refuse_self_connect = refuse_self_connect;
    return options;
}

using list = std::vector<std::string>;

TEST(passthru_load, connects_first_capture_and_playback_ports_only_and_unloads) {
    jack_server server{with_plugin()};
    std::string said;
    ASSERT_EQ(server.tool("jack_load", {"passthru", "passthru"}, &said), 0) << said;
    harness_client observer(server.name(), "observer");
    ASSERT_TRUE(observer.wait_for_port("passthru:output", 5s));
    EXPECT_EQ(observer.client_ports("passthru"), (list{"passthru:input", "passthru:output"}));
    EXPECT_TRUE(wait_until([&] { return observer.connections("passthru:input").size() == 1; }, 5s));
    EXPECT_EQ(observer.connections("passthru:input"), list{"system:capture_1"});
    EXPECT_EQ(observer.connections("passthru:output"), list{"system:playback_1"});
    EXPECT_EQ(observer.connections("system:capture_2"), list{});
    EXPECT_EQ(observer.connections("system:playback_2"), list{});
    EXPECT_EQ(server.err().find("cannot connect"), std::string::npos) << server.err();

    // jackd 1.9.21's jack_unload now and then stays waiting after the server has
    // unloaded the client, so what counts is the server's side: the ports go away.
    child_process unload(jack_program("jack_unload"), {"passthru"}, server.client_env());
    // The server unregisters the two ports one after the other.
    EXPECT_TRUE(wait_until([&] {
        return !observer.port_exists("passthru:input") && !observer.port_exists("passthru:output");
    }, 5s));
    if (const auto status = unload.wait(2s)) {
        EXPECT_EQ(status->code, 0) << unload.out() << unload.err();
    }
}

TEST(passthru_load, the_initialisation_string_changes_nothing) {
    jack_server server{with_plugin()};
    std::string said;
    ASSERT_EQ(server.tool("jack_load", {"-i", "whatever it says", "passthru", "passthru"},
                       &said), 0) << said;
    harness_client observer(server.name(), "observer");
    ASSERT_TRUE(observer.wait_for_port("passthru:output", 5s));
    EXPECT_TRUE(wait_until([&] { return observer.connections("passthru:output").size() == 1; }, 5s));
    EXPECT_EQ(observer.connections("passthru:output"), list{"system:playback_1"});
}

TEST(passthru_load, refused_connections_are_reported_and_the_client_stays_loaded) {
    jack_server server{with_plugin(/*refuse_self_connect=*/true)};
    std::string said;
    ASSERT_EQ(server.tool("jack_load", {"passthru", "passthru"}, &said), 0) << said;
    harness_client observer(server.name(), "observer");
    ASSERT_TRUE(observer.wait_for_port("passthru:output", 5s));
    EXPECT_TRUE(wait_until(
        [&] { return server.err().find("cannot connect output ports") != std::string::npos; }, 5s));
    EXPECT_TRUE(lines_in_order(server.err(), {"cannot connect input ports",
                                              "cannot connect output ports"}))
        << server.err();
    EXPECT_EQ(observer.connections("passthru:input"), list{});
    EXPECT_TRUE(observer.port_exists("passthru:input"));
}

TEST(passthru_copy, input_comes_out_sample_for_sample) {
    constexpr size_t period = default_period;
    const auto signal = ramp(40 * period, 0.003, 2.5e-5);
    EXPECT_TRUE(retry_inconclusive([&] {
        rig copy{with_plugin()};
        std::string said;
        EXPECT_EQ(copy.server.tool("jack_load", {"passthru", "passthru"}, &said), 0) << said;
        copy.feeds("out", signal);
        copy.records("in", signal.size() + 32 * period);
        copy.activate();
        if (!copy.feed.wait_for_port("passthru:output", 5s)) return ::testing::AssertionFailure() << "not loaded";
        // The silent capture port stays connected too, so the sum is the signal itself.
        auto result = copy.connect({{"feeder:out", "passthru:input"}, {"passthru:output", "recorder:in"}});
        if (result) result = copy.record(0ms, 10s);
        if (!result) return result;
        const auto overruns = copy.overruns();
        return blocks_match(copy.captured("in"), signal, period, 2, &overruns);
    }));
}

}  // namespace
