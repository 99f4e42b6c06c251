// Checks of the harness itself: isolation of each test, clean-up on every path,
// and recording through the server's loopback ports, whose behaviour is known.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "harness.h"

using namespace harness;

namespace {

bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

std::string link_target(const std::string& path) {
    return std::filesystem::read_symlink(path).string();
}

TEST(harness_isolation, each_test_has_its_own_empty_dev_shm) {
    EXPECT_NE(link_target("/proc/self/ns/mnt"), link_target("/proc/" + std::to_string(getppid()) + "/ns/mnt"));
    EXPECT_TRUE(std::filesystem::is_empty("/dev/shm"));
    jack_server server;
    // jackd really keeps its files in this private /dev/shm.
    EXPECT_FALSE(std::filesystem::is_empty("/dev/shm"));
}

// How many threads of `pid` run under SCHED_FIFO.
int fifo_threads(pid_t pid) {
    int count = 0;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        if (sched_getscheduler(std::stoi(task.path().filename().string())) == SCHED_FIFO) ++count;
    }
    return count;
}

TEST(harness_server, runs_real_time_with_its_clients_where_the_machine_allows_it) {
    jack_server server;
    child_process rm(RETURNMIX_PATH, {"rm"}, server.client_env());
    ASSERT_TRUE(wait_frame_ready(rm));
    if (realtime_scheduling_allowed()) {
        EXPECT_TRUE(wait_until([&] { return fifo_threads(server.pid()) > 0; }, 2s));
        // The client library gives the process thread the server's real-time scheduling.
        EXPECT_TRUE(wait_until([&] { return fifo_threads(rm.pid()) > 0; }, 2s));
    } else {
        EXPECT_EQ(fifo_threads(server.pid()), 0);
        EXPECT_EQ(fifo_threads(rm.pid()), 0);
    }
}

pid_t started_server = 0, started_program = 0;

void start_then_fail() {
    jack_server server;
    child_process rm(RETURNMIX_PATH, {"rm"}, server.client_env());
    harness_client observer(server.name(), "observer");
    started_server = server.pid();
    started_program = rm.pid();
    ASSERT_TRUE(wait_frame_ready(rm));
    FAIL() << "deliberate";
}

TEST(harness_cleanup, failed_assertion_still_stops_and_reaps_everything) {
    EXPECT_FATAL_FAILURE(start_then_fail(), "deliberate");
    EXPECT_TRUE(gone(started_server));
    EXPECT_TRUE(gone(started_program));
    EXPECT_EQ(child_pids(), std::vector<pid_t>{});
}

TEST(harness_cleanup, exception_still_stops_and_reaps_everything) {
    pid_t server_pid = 0, program_pid = 0;
    try {
        jack_server server;
        child_process rm(RETURNMIX_PATH, {"rm"}, server.client_env());
        server_pid = server.pid();
        program_pid = rm.pid();
        throw std::runtime_error("deliberate");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(gone(server_pid));
    EXPECT_TRUE(gone(program_pid));
    EXPECT_EQ(child_pids(), std::vector<pid_t>{});
}

TEST(harness_cleanup, server_deaf_to_sigterm_is_killed_after_grace) {
    jack_server server;
    kill(server.pid(), SIGSTOP);  // a stopped process leaves SIGTERM pending, as a hung jackd would
    const auto start = std::chrono::steady_clock::now();
    server.stop();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(gone(server.pid()));
    EXPECT_GE(took, 1500ms);
    EXPECT_LT(took, 5s);
}

// The lines of suite_lib_test's jackd_overruns case: 2 late and 1 unfinished count.
TEST(harness_server, jackd_overrun_lines_counts_what_the_scripts_count) {
    EXPECT_EQ(jackd_overrun_lines("JackTimedDriver::Process XRun = 312 usec\n"
                                  "JackAudioDriver::ProcessGraphAsyncMaster: Process error\n"
                                  "JackEngine::XRun: client = spinreel was not finished, state = Triggered\n"
                                  "JackEngine::XRun: client fuzzpedal finished after current callback\n"
                                  "JackTimedDriver::Process XRun = 40 usec\n"
                                  " JackTimedDriver::Process XRun = 1 usec\n"
                                  "JackAudioDriver::ProcessGraphAsyncMaster: Process error, and more\n"
                                  "Jack: JackTimedDriver::Process XRun = 5 usec\n"),
              3u);
}

TEST(harness_child, stdin_pipe_output_files_and_exit_status) {
    child_process cat("/bin/cat", {}, {}, true);
    EXPECT_FALSE(cat.wait(50ms));
    ASSERT_TRUE(cat.write_stdin("one\ntwo\n"));
    cat.close_stdin();
    const auto status = cat.wait(5s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(cat.out(), "one\ntwo\n");

    child_process sh("/bin/sh", {"-c", "echo \"$HARNESS_VAR\" >&2; kill -USR1 $$"},
                     {"HARNESS_VAR=set by test"});
    const auto killed = sh.wait(5s);
    ASSERT_TRUE(killed);
    EXPECT_EQ(killed->signal, SIGUSR1);
    EXPECT_EQ(sh.err(), "set by test\n");
}

TEST(harness_client_test, edits_and_lists_the_graph) {
    jack_server server;
    harness_client a(server.name(), "a");
    a.add_output("out");
    a.add_input("in", 16);
    a.activate();
    EXPECT_EQ(a.client_ports("a"), (std::vector<std::string>{"a:out", "a:in"}));
    EXPECT_TRUE(a.port_flags("a:out") & JackPortIsOutput);
    EXPECT_TRUE(a.port_flags("a:in") & JackPortIsInput);
    ASSERT_TRUE(a.connect("a:out", "loopback:playback_1"));
    ASSERT_TRUE(a.connect("loopback:capture_2", "a:in"));
    EXPECT_EQ(a.connections("a:out"), std::vector<std::string>{"loopback:playback_1"});
    EXPECT_EQ(a.connections("a:in"), std::vector<std::string>{"loopback:capture_2"});
    EXPECT_FALSE(a.connect("a:out", "nobody:in"));
    ASSERT_TRUE(a.disconnect("a:out", "loopback:playback_1"));
    EXPECT_EQ(a.connections("a:out"), std::vector<std::string>{});
    EXPECT_THROW(a.connections("a:nothing"), std::invalid_argument);
    EXPECT_THROW(a.add_input("late", 1), std::logic_error);
    EXPECT_THROW(harness_client(server.name(), "a"), std::runtime_error);  // name taken
}

// Plays `signal` from one client through `via` (two port names, or none for a direct
// connection) into another and compares, allowing `max_missing` lost blocks.
::testing::AssertionResult round_trip(const std::vector<float>& signal,
                                      std::vector<std::string> via, size_t max_missing) {
    rig trip;
    const size_t period = trip.feed.buffer_size();
    trip.feeds("out", signal);
    trip.records("in", signal.size() + 8 * period);
    trip.activate();
    EXPECT_TRUE(via.empty() ? trip.connect({{"feeder:out", "recorder:in"}})
                            : trip.connect({{"feeder:out", via[0]}, {via[1], "recorder:in"}}));
    trip.begin_recording();
    EXPECT_TRUE(trip.feed.wait_fed(5s));
    EXPECT_TRUE(trip.wait_recorded(5s));
    auto recorded = trip.captured("in");
    const auto overruns = trip.overruns();
    auto result = blocks_match(recorded, signal, period, max_missing, &overruns);
    // A single wrong sample must not pass.
    auto spoiled = std::find_if(recorded.begin(), recorded.end(), [](float x) { return x != 0; });
    if (spoiled != recorded.end()) *spoiled = std::nextafter(*spoiled, 1.0f);
    if (blocks_match(recorded, signal, period, signal.size() / period)) {
        result = ::testing::AssertionFailure() << "a spoiled recording matched";
    }
    return result;
}

TEST(harness_client_test, direct_connection_records_in_order_bit_for_bit) {
    // Within a cycle a client's block reaches the next client, so only overruns lose one.
    const auto signal = ramp(100 * default_period, 0.01, 1.234567e-5);
    EXPECT_TRUE(retry_inconclusive([&] { return round_trip(signal, {}, 2); }));
}

TEST(harness_client_test, loopback_returns_playback_in_order_with_repeated_or_skipped_cycles) {
    // The loopback copies at the start of the next cycle, so a feeder still busy then
    // shows its previous block again and loses the current one; that happens often.
    const auto signal = ramp(100 * default_period, 0.01, 1.234567e-5);
    EXPECT_TRUE(retry_inconclusive([&] {
        return round_trip(signal, {"loopback:playback_1", "loopback:capture_1"}, 60);
    }));
}

TEST(harness_blocks_match, tolerates_latency_and_late_cycles_but_not_wrong_order_or_gaps) {
    const size_t b = 4;
    const auto sig = ramp(5 * b, 1.0, 1.0);  // blocks A B C D E
    auto blocks = [&](std::vector<int> order) {
        std::vector<float> out;
        for (int k : order) {
            for (size_t i = 0; i < b; ++i) out.push_back(k < 0 ? 0.0f : sig[k * b + i]);
        }
        return out;
    };
    EXPECT_TRUE(blocks_match(blocks({-1, -1, 0, 1, 2, 3, 4, -1}), sig, b));
    EXPECT_TRUE(blocks_match(blocks({0, 1, 1, 2, 3, 4}), sig, b));   // repeated cycle
    EXPECT_TRUE(blocks_match(blocks({0, 1, 3, 4}), sig, b));         // skipped cycle
    auto tail = ramp(6 * b, 1.0, 0.0);  // six blocks alike: each recorded one counts
    EXPECT_TRUE(blocks_match(tail, tail, b, 0));
    EXPECT_FALSE(blocks_match(blocks({0, 2, 1, 3, 4}), sig, b));     // out of order
    EXPECT_FALSE(blocks_match(blocks({0, 1, -1, 2, 3, 4}), sig, b)); // silence amid signal
    EXPECT_FALSE(blocks_match(blocks({0, 1}), sig, b));              // most of it missing
    EXPECT_FALSE(blocks_match(blocks({-1, -1}), sig, b));
    auto shifted = blocks({0, 1, 2, 3, 4});
    shifted.erase(shifted.begin());  // off by one frame within the blocks
    EXPECT_FALSE(blocks_match(shifted, sig, b));
}

TEST(harness_overrun_map, touches_cycles_around_a_frame_time_jump_and_a_notice) {
    // Ten cycles of 4 frames; cycle 5 came a cycle late, and an overrun was
    // reported at frame 41, in cycle 9.
    const std::vector<std::uint32_t> times = {0, 4, 8, 12, 16, 24, 28, 32, 36, 40};
    const overrun_map map(4, times, {41}, true, /*margin=*/0, /*notice_lag=*/3);
    std::vector<size_t> touched;
    for (size_t c = 0; c < map.cycles(); ++c) {
        if (map.touched(c)) touched.push_back(c);
    }
    // 4 and 5 around the jump; 9 began within the lag before the notice, 8 did not.
    EXPECT_EQ(touched, (std::vector<size_t>{4, 5, 9}));
    EXPECT_TRUE(map.touched(10));  // past the recording: unknown
    EXPECT_EQ(map.missed_cycles(), 1u);
    using stretches = std::vector<std::pair<size_t, size_t>>;
    EXPECT_EQ(map.clean_stretches(), (stretches{{0, 16}, {24, 36}}));
    EXPECT_EQ(map.clean_stretches(6), (stretches{{0, 16}, {30, 36}}));
    // Widened by a margin; and more overruns than notices kept touch everything.
    EXPECT_EQ(overrun_map(4, times, {}, true, 1, 3).touched_cycles(), 4u);
    EXPECT_EQ(overrun_map(4, times, {}, false, 0, 3).touched_cycles(), 10u);
}

TEST(harness_overrun_map, a_cycle_log_keeps_what_it_has_room_for_and_counts_every_notice) {
    recording::cycle_log log;
    log.reserve_cycles(3);
    log.reserve_notices(1);
    for (std::uint32_t t : {100u, 104u, 108u, 112u}) log.note_cycle(t);
    for (std::uint32_t t : {105u, 110u}) log.note_notice(t);
    const recording::cycle_account account = log.account();
    EXPECT_EQ(account.cycle_times, (std::vector<std::uint32_t>{100, 104, 108}));
    EXPECT_EQ(account.notice_times, (std::vector<std::uint32_t>{105}));
    EXPECT_EQ(account.notices_seen, 2u);
    // A notice lost for want of room: nothing is known, every cycle is touched.
    EXPECT_EQ(account.overruns(4, 0, 4).touched_cycles(), 3u);
    // Four periods, and at least 0.15 s.
    EXPECT_EQ(recording::notice_lag(128, 44100), 6615u);
    EXPECT_EQ(recording::notice_lag(2048, 44100), 8192u);
}

TEST(harness_overrun_map, comparisons_leave_touched_cycles_out_and_judge_the_rest) {
    const size_t b = 4;
    const auto sig = ramp(8 * b, 1.0, 1.0);
    auto spoiled = sig;
    spoiled[2 * b + 1] = -1.0f;  // in cycle 2
    const std::vector<std::uint32_t> times = {0, 4, 8, 12, 16, 20, 24, 28};
    const overrun_map clean(b, times, {}, true, 0, 0);
    const overrun_map cycle_2(b, times, {9}, true, 0, 1);
    EXPECT_FALSE(blocks_match(spoiled, sig, b, 2, &clean));
    EXPECT_TRUE(blocks_match(spoiled, sig, b, 2, &cycle_2));
    EXPECT_FALSE(same_samples_where_clean(spoiled, sig, 0, clean, 0, 1));
    EXPECT_TRUE(same_samples_where_clean(spoiled, sig, 0, cycle_2, 0, 20));
    // What a processor that remembers a frame still carries into cycle 3.
    auto echo = spoiled;
    echo[3 * b] = -2.0f;
    EXPECT_TRUE(same_samples_where_clean(echo, sig, 0, cycle_2, 1, 20));
    EXPECT_FALSE(same_samples_where_clean(echo, sig, 0, cycle_2, 0, 20));
    // Too little left to judge: inconclusive, and all_of stays so only when every
    // failure is.
    const auto too_little = same_samples_where_clean(spoiled, sig, 0, cycle_2, 0, 29);
    EXPECT_TRUE(is_inconclusive(too_little));
    EXPECT_TRUE(is_inconclusive(all_of({too_little, ::testing::AssertionSuccess()})));
    EXPECT_FALSE(is_inconclusive(all_of({too_little, ::testing::AssertionFailure() << "wrong"})));
}

// A client that copies its input to its output and, once a second, sleeps for
// three periods: the server overruns those cycles, and the blocks through it are lost,
// repeated or torn.
struct staller {
    jack_client_t* client = nullptr;
    jack_port_t *in = nullptr, *out = nullptr;
    std::atomic<size_t> cycles{0};
    std::chrono::microseconds stall;
    size_t stall_every = 0;  // cycles

    explicit staller(const jack_server& server) {
        client = jack_client_open("staller", jack_options_t(JackNoStartServer | JackServerName), nullptr,
                                  server.name().c_str());
        if (client == nullptr) throw std::runtime_error("staller cannot open");
        stall = std::chrono::microseconds(3'000'000ull * jack_get_buffer_size(client) /
                                          jack_get_sample_rate(client));
        stall_every = jack_get_sample_rate(client) / jack_get_buffer_size(client);
        in = jack_port_register(client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        out = jack_port_register(client, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(client, process, this);
        if (jack_activate(client) != 0) throw std::runtime_error("staller cannot activate");
    }
    ~staller() { jack_client_close(client); }
    static int process(jack_nframes_t n, void* arg) {
        auto& self = *static_cast<staller*>(arg);
        std::copy_n(static_cast<const float*>(jack_port_get_buffer(self.in, n)), n,
                    static_cast<float*>(jack_port_get_buffer(self.out, n)));
        if (self.cycles.fetch_add(1) % self.stall_every == self.stall_every - 1) {
            std::this_thread::sleep_for(self.stall);
        }
        return 0;
    }
};

TEST(harness_overrun_map, a_recording_through_a_stalling_client_is_judged_where_untouched) {
    const size_t period = default_period;
    const auto signal = ramp(4 * 44100 / period * period, 0.01, 1.234567e-5);  // 4 s
    EXPECT_TRUE(retry_inconclusive([&] {
        rig stalled;
        staller middle(stalled.server);
        stalled.feeds("out", signal);
        stalled.records("in", signal.size() + 16 * period);
        stalled.activate();
        EXPECT_TRUE(stalled.connect({{"feeder:out", "staller:in"}, {"staller:out", "recorder:in"}}));
        EXPECT_TRUE(stalled.record(0ms, 10s));
        // Every stall shows in the recorder's own accounting.
        EXPECT_GE(settled_xruns(stalled.recorder()), 3);
        EXPECT_GE(stalled.recorder().overruns(0).touched_cycles(), 6u);
        const auto overruns = stalled.overruns();
        return blocks_match(stalled.captured("in"), signal, period, 2, &overruns);
    }));
}

}  // namespace
