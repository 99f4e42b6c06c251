// fuzzpedal: its command line, its per-cycle work, and the program itself
// through a real jackd with a stand-in for spinreel, its output compared with
// the processor run offline on the very input that it received.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "distortion.h"
#include "fuzzpedal.h"
#include "harness.h"

using namespace harness;

namespace {

float* const parameters[] = {
    &distortion::overdriver,  &distortion::driverover, &distortion::drive,
    &distortion::drivelevel1, &distortion::drivegain,  &distortion::highpass,
    &distortion::lowpass,     &distortion::low_highpass, &distortion::highcut,
    &distortion::lowcut,      &distortion::low_highcut, &distortion::trigger,
    &distortion::vibrato};
const float defaults[] = {0, 0, 0.64f, 0, 0, 130, 5000, 1, 5000, 130, 1, 0.12f, 0.5f};

std::vector<float> current_parameters() {
    std::vector<float> p;
    for (float* v : parameters) p.push_back(*v);
    return p;
}

void parse(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    fuzzpedal_before_args();
    fuzzpedal_parse(static_cast<int>(argv.size()), argv.data());
}

// --- Command line -----------------------------------------------------------------

// From only a client name, all thirteen defaults, to all thirteen numbers.
TEST(fuzzpedal_parse, numbers_fill_the_parameters_in_order_and_stop_where_the_line_does) {
    const std::vector<std::string> numbers = {"3",  "1",    "7",   "1",   "-7", "200", "4000",
                                              "0",  "6000", "100", "2",   "1",  "9"};
    for (size_t given = 0; given <= numbers.size(); ++given) {
        std::vector<std::string> args = {"fuzzpedal", "fp"};
        args.insert(args.end(), numbers.begin(), numbers.begin() + given);
        parse(args);
        for (size_t i = 0; i < numbers.size(); ++i) {
            const float want = i < given ? float(std::stoi(numbers[i])) : defaults[i];
            EXPECT_EQ(*parameters[i], want) << given << " given, parameter " << i;
        }
    }
}

TEST(fuzzpedal_parse, numbers_are_whole_as_atoi_reads_them_and_extra_ones_are_ignored) {
    parse({"fuzzpedal", "fp", "  12xyz", "+1", "0.64", "abc", "-20", "8.9", "1e4", "-0.5", "5000",
           "130", "1", "0.12", "0.5", "99", "77"});
    const std::vector<float> want = {12, 1, 0, 0, -20, 8, 1, 0, 5000, 130, 1, 0, 0};
    EXPECT_EQ(current_parameters(), want);
    // 0.64 and 0.5 are not the defaults they look like.
    EXPECT_NE(distortion::drive, 0.64f);
    EXPECT_NE(distortion::vibrato, 0.5f);
}

// --- One cycle on given buffers ---------------------------------------------------------

TEST(fuzzpedal_cycle, processes_input1_into_output1_and_silences_output2) {
    parse({"fuzzpedal", "fp"});
    const size_t n = 256;
    std::vector<float> in = ramp(n, 0.01, 0.003), out1(n + 1, 5.0f), out2(n + 1, 5.0f);
    fuzzpedal_cycle(n, in.data(), out1.data(), out2.data());

    distortion_init(44100);
    std::vector<float> want(n);
    const float* ins[] = {in.data()};
    float* outs[] = {want.data()};
    distortion_compute(n, ins, outs);
    EXPECT_EQ(std::vector<float>(out1.begin(), out1.begin() + n), want);
    EXPECT_EQ(std::vector<float>(out2.begin(), out2.begin() + n), std::vector<float>(n, 0.0f));
    EXPECT_EQ(out1[n], 5.0f);
    EXPECT_EQ(out2[n], 5.0f);

    fuzzpedal_cycle(0, in.data(), out1.data(), out2.data());
    EXPECT_EQ(out1[0], want[0]);
}

// --- The program through a real server ----------------------------------------------------

constexpr size_t period = default_period;

// Every line of the program's stdout is the per-cycle line; returns how many.
::testing::AssertionResult only_cycle_lines(const std::string& out, size_t& lines) {
    const auto all = split_lines(out);
    lines = all.size();
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] != "process is called") {
            return ::testing::AssertionFailure() << "stdout line " << i << ": \"" << all[i] << '"';
        }
    }
    return ::testing::AssertionSuccess();
}

// One line per cycle: no more than the cycles it can have lived through, and no
// fewer than the cycles while it surely ran, with a cycle or two of slack. When
// the server overran cycles, in which it may skip clients, only far too few or
// too many lines count.
::testing::AssertionResult one_line_per_cycle(const std::string& out, size_t cycles_running,
                                              size_t cycles_alive, int xruns) {
    size_t lines = 0;
    auto only = only_cycle_lines(out, lines);
    if (!only) return only;
    const bool too_few = xruns == 0 ? lines + 2 < cycles_running : lines == 0;
    const bool too_many = xruns == 0 ? lines > cycles_alive + 2 : lines > cycles_alive * 3 / 2 + 2;
    if (too_few || too_many) {
        return ::testing::AssertionFailure() << lines << " lines for " << cycles_running
                                             << " to " << cycles_alive << " cycles, " << xruns
                                             << " overruns";
    }
    return ::testing::AssertionSuccess();
}

TEST(fuzzpedal_program, without_spinreel_reports_two_input_connections_and_runs_on) {
    rig pedal;  // the feed counts the server's cycles
    pedal.activate();
    const size_t before_start = pedal.feed.cycles();
    ASSERT_TRUE(pedal.start({FUZZPEDAL_PATH, {"fp"}}));
    const size_t at_ready = pedal.feed.cycles();
    child_process& fp = *pedal.program;

    using list = std::vector<std::string>;
    // The server applies a new connection at the next cycle: others may see it late.
    EXPECT_TRUE(wait_until(
        [&] { return pedal.feed.connections("fp:output2") == list{"system:playback_2"}; }, 1s));
    EXPECT_EQ(pedal.feed.connections("fp:output1"), list{"system:playback_1"});
    EXPECT_EQ(pedal.feed.connections("fp:input1"), list{});
    EXPECT_EQ(pedal.feed.connections("fp:input2"), list{});
    EXPECT_EQ(fp.err(),
              "cannot connect loopback input ports\ncannot connect loopback input ports\n");

    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(fp.running());
    const size_t at_stop = pedal.feed.cycles();
    const auto status = fp.stop(2s);
    EXPECT_EQ(status.code, 0) << status.describe();
    EXPECT_GT(at_stop - at_ready, 44100 / period);  // a second's cycles at least
    EXPECT_TRUE(one_line_per_cycle(fp.out(), at_stop - at_ready, pedal.feed.cycles() - before_start,
                                   settled_xruns(pedal.feed)));
}

TEST(fuzzpedal_program, refused_connections_are_reported_in_order_and_processing_goes_on) {
    server_options options;
    options.refuse_self_connect = true;  // every connection of the program's own ports fails
    rig pedal{options, "spinreel"};
    pedal.feeds("output1");
    pedal.feeds("output2");
    pedal.activate();
    const size_t before_start = pedal.feed.cycles();
    ASSERT_TRUE(pedal.start({FUZZPEDAL_PATH, {"fp"}}));
    const size_t at_ready = pedal.feed.cycles();
    child_process& fp = *pedal.program;
    EXPECT_EQ(fp.err(),
              "cannot connect loopback input ports\ncannot connect loopback input ports\n"
              "cannot connect loopback output ports\ncannot connect loopback output ports\n");
    EXPECT_EQ(pedal.feed.connections("fp:input1"), std::vector<std::string>{});
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(fp.running());
    const size_t at_stop = pedal.feed.cycles();
    const auto status = fp.stop(2s);
    EXPECT_EQ(status.code, 0) << status.describe();
    EXPECT_TRUE(one_line_per_cycle(fp.out(), at_stop - at_ready, pedal.feed.cycles() - before_start,
                                   settled_xruns(pedal.feed)));
}

// The processor as the program runs it: set up as `args` sets it up, after
// `silence` samples of silence, then over `input` in blocks of one period.
// `alter` changes the parameters after parsing, to show what a misreading would give.
std::vector<float> offline(const std::vector<std::string>& args, size_t silence,
                           const std::vector<float>& input, void (*alter)() = nullptr) {
    std::vector<std::string> argv = {"fuzzpedal"};
    argv.insert(argv.end(), args.begin(), args.end());
    parse(argv);
    if (alter) alter();
    std::vector<float> zeros(period), scratch(period), output(input.size());
    for (size_t done = 0; done < silence; done += period) {
        const float* in[] = {zeros.data()};
        float* out[] = {scratch.data()};
        distortion_compute(period, in, out);
    }
    for (size_t at = 0; at < input.size(); at += period) {
        const float* in[] = {input.data() + at};
        float* out[] = {output.data() + at};
        distortion_compute(static_cast<int32_t>(std::min(period, input.size() - at)), in, out);
    }
    return output;
}

// The program hears only silence until the feed starts; by then, after this many
// samples, its state is that of any longer silence (checked below).
constexpr size_t settling_samples = 40000;
// Within this many samples after it, the processor has forgotten a block that an
// overrun spoiled (checked below; about 6600 for the numbers tested here).
constexpr size_t forgetting_samples = 10000;
constexpr auto settling_wait = 1500ms;  // 66150 samples

// fuzzpedal between a stand-in spinreel, which plays `signal` on its output1 and
// a quieter copy on output2, and a recorder of both program outputs and of what
// spinreel sent to input1 in the same cycles. `on_ready` runs once the program has started.
::testing::AssertionResult run_pedal(rig& pedal, const std::vector<std::string>& args,
                                     const std::vector<float>& signal, int stdout_fd = -1,
                                     const std::function<void()>& on_ready = {}) {
    std::vector<float> quieter(signal);
    for (auto& v : quieter) v *= 0.25f;
    pedal.feeds("output1", signal);
    pedal.feeds("output2", quieter);
    for (const char* port : {"out1", "out2", "source"}) pedal.records(port, signal.size() + 24 * period);
    auto result = pedal.start({FUZZPEDAL_PATH, args, false, stdout_fd});
    if (!result) return result;
    if (on_ready) on_ready();
    result = pedal.connect({{"fp:output1", "recorder:out1"},
                            {"fp:output2", "recorder:out2"},
                            {"spinreel:output1", "recorder:source"}});
    return result ? pedal.record(settling_wait, 20s) : result;
}

// Whether the processor set up by `args` forgets, within forgetting_samples, a block
// of `signal` replaced by silence at each of three places: then a comparison may
// take up again that long after a disturbed cycle.
::testing::AssertionResult forgets_a_spoiled_block(const std::vector<std::string>& args,
                                                   const std::vector<float>& signal) {
    const auto clean = offline(args, settling_samples, signal);
    for (size_t at : {signal.size() / 4, signal.size() / 2, signal.size() * 3 / 4}) {
        at -= at % period;
        auto spoiled = signal;
        std::fill_n(spoiled.begin() + std::ptrdiff_t(at), period, 0.0f);
        auto result = same_samples(offline(args, settling_samples, spoiled), clean,
                                   std::min(signal.size(), at + period + forgetting_samples));
        if (!result) return result << " after a silent block at " << at;
    }
    return ::testing::AssertionSuccess();
}

void expect_processed_like_offline(const std::vector<std::string>& args, void (*misreading)()) {
    const auto signal = sweep_tone(44100 / period * period);  // a second
    // The silence before the feed leaves the state settled: any longer one gives
    // the same samples.
    ASSERT_EQ(offline(args, settling_samples, signal), offline(args, 3 * settling_samples, signal));
    // And the parameters make a difference that the comparison can see.
    ASSERT_NE(offline(args, settling_samples, signal),
              offline(args, settling_samples, signal, misreading));
    ASSERT_TRUE(forgets_a_spoiled_block(args, signal));

    EXPECT_TRUE(retry_inconclusive([&] {
        rig pedal{{}, "spinreel"};
        if (auto ran = run_pedal(pedal, args, signal); !ran) return ran;
        const auto source = pedal.captured("source");
        const auto overruns = pedal.overruns();
        auto result = all_of({
            // The program heard spinreel's output1...
            blocks_match(source, signal, period, 0, &overruns),
            // ...and put the processor's output on output1, and silence on output2.
            same_samples_where_clean(pedal.captured("out1"),
                                     offline(args, settling_samples, source), 0, overruns,
                                     forgetting_samples, signal.size() / 4),
            same_samples(pedal.captured("out2"), std::vector<float>(source.size(), 0.0f)),
        });
        EXPECT_EQ(pedal.program->err(), "");
        const auto status = pedal.program->stop(2s);
        size_t lines = 0;
        EXPECT_TRUE(only_cycle_lines(pedal.program->out(), lines));
        // A cycle that an overrun reached may have skipped the program.
        EXPECT_GE(lines + overruns.touched_cycles(), source.size() / period);
        EXPECT_EQ(status.code, 0) << status.describe();
        return result;
    }));
}

TEST(fuzzpedal_program, at_the_defaults_output1_is_the_processed_input1) {
    expect_processed_like_offline({"fp"}, [] { distortion::drivegain = 1; });
}

TEST(fuzzpedal_program, thirteen_numbers_set_the_chain_and_fractions_read_as_whole_numbers) {
    // drive 0.64 reads as 0 and vibrato 0.5 as 0; the fifteenth and later are ignored.
    const std::vector<std::string> args = {"fp",   "3",   "1",    "0.64", "0", "5",
                                           "200",  "4000", "1",   "6000", "100", "1",
                                           "1",    "0.5", "99",   "-4"};
    expect_processed_like_offline(args, [] {
        distortion::drive = 0.64f;
        distortion::vibrato = 0.5f;
    });
}

// fuzzpedal's stdout in a pipe (of the usual 64 KiB) that nobody reads until drain().
struct stalled_stdout {
    int read_end = -1, write_end = -1;
    stalled_stdout() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        read_end = ends[0];
        write_end = ends[1];
    }
    ~stalled_stdout() {
        close(read_end);
        close_write_end();
    }
    void close_write_end() {
        if (write_end >= 0) close(write_end);
        write_end = -1;
    }
    // Everything until the last writer has gone.
    std::string drain() const {
        std::string text;
        char buffer[65536];
        for (ssize_t n; (n = read(read_end, buffer, sizeof buffer)) != 0;) {
            if (n > 0) text.append(buffer, size_t(n));
            else if (errno != EINTR) break;
        }
        return text;
    }
};

// A pager that waits, a stalled logger: the audio goes on sample for sample and the
// ports stay, the lines wait, and once a reader drains the pipe every line arrives.
TEST(fuzzpedal_program, a_stalled_stdout_holds_back_only_the_lines) {
    const auto signal = sweep_tone(13 * 44100 / period * period);  // with settling, 15 s
    ASSERT_TRUE(forgets_a_spoiled_block({"fp"}, signal));
    EXPECT_TRUE(retry_inconclusive([&] {
        stalled_stdout out;
        rig pedal{{}, "spinreel"};
        // The feed counts the server's cycles from its activation, just before the
        // program starts.
        size_t at_ready = 0;
        const auto ran = run_pedal(pedal, {"fp"}, signal, out.write_end,
                                   [&] { at_ready = pedal.feed.cycles(); });
        out.close_write_end();
        if (!ran) return ran;
        const auto source = pedal.captured("source");
        // At least four seconds of untouched audio compared.
        auto result = all_of({
            same_samples_where_clean(pedal.captured("out1"),
                                     offline({"fp"}, settling_samples, source), 0,
                                     pedal.overruns(), forgetting_samples, 4 * 44100),
            testing::AssertionResult(pedal.program->running()) << "ended while stdout was stalled",
            testing::AssertionResult(pedal.feed.port_exists("fp:output1") &&
                                     pedal.feed.port_exists("fp:input1"))
                << "ports gone",
        });
        const int xruns = settled_xruns(pedal.feed, pedal.recorder());

        std::string text;
        std::thread reader([&] { text = out.drain(); });
        std::this_thread::sleep_for(1s);  // the backlog goes at once; the lines keep up
        const size_t at_stop = pedal.feed.cycles();
        const auto stop_began = std::chrono::steady_clock::now();
        const auto status = pedal.program->stop(5s);
        const auto stop_took = std::chrono::steady_clock::now() - stop_began;
        reader.join();
        EXPECT_EQ(status.code, 0) << status.describe();
        EXPECT_LT(stop_took, 2s);
        EXPECT_TRUE(one_line_per_cycle(text, at_stop - at_ready, pedal.feed.cycles(),
                                       xruns));
        return result;
    }));
}

// The pipe is still full when the signal comes: no wait on it, and status 0.
TEST(fuzzpedal_program, sigterm_with_stdout_still_stalled_ends_it_at_once) {
    server_options options;
    options.period = 32;  // 64 KiB of lines in under 3 s
    jack_server server{options};
    stalled_stdout out;
    child_process fp(FUZZPEDAL_PATH, {"fp"}, server.client_env(), false, out.write_end);
    out.close_write_end();
    ASSERT_TRUE(wait_frame_ready(fp)) << fp.err();
    std::this_thread::sleep_for(4s);
    fp.signal(SIGTERM);
    const auto status = fp.wait(2s);
    ASSERT_TRUE(status) << "still running 2 s after SIGTERM";
    EXPECT_EQ(status->code, 0) << status->describe();
    EXPECT_EQ(fp.err(), "cannot connect loopback input ports\ncannot connect loopback input ports\n"
                        "signal received, exiting ...\n");
    size_t lines = 0;
    EXPECT_TRUE(only_cycle_lines(out.drain(), lines));
    EXPECT_GE(lines, 60000u / 18);  // the pipe it filled
}

}  // namespace
