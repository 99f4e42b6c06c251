// What the suite does when the machine runs short: a full port or client table, few
// descriptors, little address space, no real-time rights, the service's shared
// memory used up, the players' files taken away. Each program either works, and a
// signal then ends it cleanly, or fails at start-up with a message and status 1;
// none crashes, hangs or takes the server down. Each outcome is printed, so that a
// run of this program gives the table of what happened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <thread>

#include "passthru_server.h"
#include "shm_daemon.h"
#include "wav_files.h"

using namespace harness;

namespace {

struct program_t {
    std::string name;
    std::string path;
    std::vector<std::string> args;
};

constexpr bool emulated = target_emulator_command.size() > 0;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;  // their runtimes reserve terabytes of address space
#else
constexpr bool sanitized = false;
#endif

// The five clients, with spinreel's file and padplayer's keys written for them.
std::vector<program_t> clients() {
    static const std::string loop = wav_files::write_wav(test_dir() + "/loop.wav",
                                                         std::vector<int16_t>(4096, 1000), 2);
    mount_private_sdcard();
    std::filesystem::create_directories("/sdcard/Sounds");
    for (const char* key : {"key1", "key2", "key3"}) {
        wav_files::write_wav(std::string("/sdcard/Sounds/") + key + ".wav",
                             std::vector<int16_t>(512, 2000), 1);
    }
    return {{"fuzzpedal", FUZZPEDAL_PATH, {"fuzzpedal"}},
            {"tapdelay", TAPDELAY_PATH, {"tapdelay"}},
            {"returnmix", RETURNMIX_PATH, {"returnmix"}},
            {"spinreel", SPINREEL_PATH, {"spinreel", loop}},
            {"padplayer", PADPLAYER_PATH, {"padplayer"}}};
}

// `program` on `server`, under `limits`; a `wrapper` (a command of this machine that
// execs the words after it) runs it.
std::unique_ptr<child_process> start(const jack_server& server, const program_t& program,
                                     const std::vector<resource_limit>& limits = {},
                                     const std::vector<std::string>& wrapper = {}) {
    std::vector<std::string> command = wrapped_command(wrapper, program.path);
    command.insert(command.end(), program.args.begin(), program.args.end());
    return std::make_unique<child_process>(command.front(),
                                           std::vector<std::string>(command.begin() + 1, command.end()),
                                           server.client_env(), false, -1, limits);
}

std::string last_line(const std::string& text) {
    const auto lines = split_lines(text);
    return lines.empty() ? "" : lines.back();
}

// One of the two documented ends: it comes up and SIGTERM ends it with status 0 and
// the line ("runs"), or it ends at start-up with status 1 and a message ("refused").
// libjack's metadata database retries a failed open for about 12 s: hence the wait.
testing::AssertionResult ends_as_documented(child_process& p, const std::string& what) {
    std::string outcome;
    if (wait_frame_ready(p, 40s)) {
        p.signal(SIGTERM);
        const auto status = p.wait(5s);
        if (!status) return testing::AssertionFailure() << what << ": still runs 5 s after SIGTERM";
        if (status->code != 0 || count_line(p.err(), "signal received, exiting ...") != 1) {
            return testing::AssertionFailure() << what << ": " << status->describe() << " after SIGTERM\n"
                                               << p.err();
        }
        outcome = "runs; SIGTERM: status 0";
    } else {
        const auto status = p.wait(1s);
        if (!status) return testing::AssertionFailure() << what << ": neither up nor ended in 40 s";
        // spinreel's open failure is the one message on standard output.
        const std::string message = last_line(p.err()).empty() ? last_line(p.out()) : last_line(p.err());
        if (status->code != 1 || message.empty()) {
            return testing::AssertionFailure() << what << ": " << status->describe() << "\n" << p.err();
        }
        outcome = "status 1: " + message;
    }
    std::cout << "[ outcome  ] " << what << ": " << outcome << std::endl;
    return testing::AssertionSuccess();
}

// Whether the server still runs and takes a new client.
testing::AssertionResult server_survives(jack_server& server) {
    std::this_thread::sleep_for(300ms);  // a bad port or client would have hit a cycle by now
    if (!server.running()) return testing::AssertionFailure() << "jackd died:\n" << server.err();
    if (server.err().find("incorrect port") != std::string::npos) {
        return testing::AssertionFailure() << "a bad port reached a cycle:\n" << server.err();
    }
    harness_client probe(server.name(), "probe");
    return testing::AssertionSuccess();
}

// A binder runtime directory for this process, outside /tmp, which a daemon's own
// view may cover with a small file system: in the test's private /dev/shm.
std::string runtime_dir_outside_tmp() {
    std::string dir = "/dev/shm/run-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) throw std::runtime_error("mkdtemp " + dir);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    return dir;
}

TEST(shortage, port_table_full) {
    // Beside the four system ports, jackd 1.9.21 leaves room for one port at -p 6
    // and for two at -p 7: the plug-in is refused, a client keeps only its outputs.
    for (unsigned room : {1u, 2u}) {
        server_options options = passthru_server_options();
        options.port_max = 5 + room;
        jack_server server{options};
        if (room == 1) {
            std::string said;
            EXPECT_NE(server.tool("jack_load", {"passthru", "passthru"}, &said), 0) << said;
            EXPECT_NE(server.err().find("no more JACK ports available"), std::string::npos)
                << server.err();
            ASSERT_TRUE(server_survives(server));
            harness_client observer(server.name(), "observer");
            EXPECT_FALSE(observer.port_exists("passthru:input")) << "the refused load left its port";
        }
        for (const auto& program : clients()) {
            auto p = start(server, program);
            EXPECT_TRUE(ends_as_documented(*p, program.name + " with room for " + std::to_string(room)));
            ASSERT_TRUE(server_survives(server));
        }
    }
}

// client_filler holding `max` clients (or as many as fit) on `server`; the number it
// holds, or -1 if it never said.
long fill_clients(const jack_server& server, std::unique_ptr<child_process>* filler,
                  long max = 0) {
    std::vector<std::string> args;
    if (max > 0) args.push_back(std::to_string(max));
    *filler = std::make_unique<child_process>(CLIENT_FILLER_PATH, args, server.client_env());
    if (!wait_until([&] { return !(*filler)->out().empty() || !(*filler)->running(); }, 60s)) return -1;
    return std::atol((*filler)->out().c_str());
}

TEST(shortage, client_table_full) {
    if (emulated) GTEST_SKIP() << "filling the table of 256 clients takes minutes under the emulator";
    jack_server server{passthru_server_options()};
    std::unique_ptr<child_process> filler;
    const long capacity = fill_clients(server, &filler);
    ASSERT_GT(capacity, 10);
    for (const auto& program : clients()) {
        auto p = start(server, program);
        EXPECT_TRUE(ends_as_documented(*p, program.name + " with the client table full"));
    }
    // One slot left, which jack_load takes itself: the plug-in's client finds none.
    // The server drops a killed filler's clients within a moment.
    long held = capacity;
    for (int attempt = 0; attempt < 10 && held != capacity - 1; ++attempt) {
        filler->signal(SIGKILL);
        filler->wait(5s);
        std::this_thread::sleep_for(1s);
        held = fill_clients(server, &filler, capacity - 1);
    }
    ASSERT_EQ(held, capacity - 1);
    std::string said;
    EXPECT_NE(server.tool("jack_load", {"passthru", "passthru"}, &said), 0) << said;
    std::cout << "[ outcome  ] passthru with the client table full: jack_load says "
              << last_line(said) << std::endl;
    filler->stop(5s);
    EXPECT_TRUE(server_survives(server));
}

TEST(shortage, few_descriptors) {
    jack_server server;
    // 6: the client's own set-up fails; 14: libjack's; 24 and more: it runs.
    for (unsigned long long limit : {6ull, 14ull, 24ull}) {
        for (const auto& program : clients()) {
            auto p = start(server, program, {{RLIMIT_NOFILE, limit}});
            EXPECT_TRUE(ends_as_documented(*p, program.name + " nofile=" + std::to_string(limit)));
        }
        EXPECT_TRUE(server_survives(server));
    }
}

TEST(shortage, little_address_space) {
    if (emulated || sanitized) GTEST_SKIP() << "the emulator or the sanitizer needs the address space itself";
    jack_server server;
    for (unsigned long long megabytes : {40ull, 120ull, 200ull}) {
        for (const auto& program : clients()) {
            auto p = start(server, program, {{RLIMIT_AS, megabytes << 20}});
            EXPECT_TRUE(ends_as_documented(*p, program.name + " as=" + std::to_string(megabytes) + "M"));
        }
        EXPECT_TRUE(server_survives(server));
    }
}

TEST(shortage, no_realtime_rights) {
    if (!realtime_scheduling_allowed()) GTEST_SKIP() << "no real-time server on this machine";
    jack_server server;  // -R
    // Without the right to real-time scheduling libjack runs the client's thread
    // without it; without the right to lock memory it cannot open at all.
    const std::vector<std::string> no_realtime{"/usr/bin/setpriv", "--bounding-set", "-sys_nice"};
    const std::vector<std::string> no_locking{"/usr/bin/setpriv", "--bounding-set", "-ipc_lock"};
    for (const auto& program : clients()) {
        auto p = start(server, program, {{RLIMIT_RTPRIO, 0}}, no_realtime);
        EXPECT_TRUE(ends_as_documented(*p, program.name + " without real-time rights"));
        EXPECT_EQ(p->wait(0s)->code, 0) << p->err();
        p = start(server, program, {{RLIMIT_MEMLOCK, 0}}, no_locking);
        EXPECT_TRUE(ends_as_documented(*p, program.name + " without memory locking"));
    }
    EXPECT_TRUE(server_survives(server));
}

TEST(shortage, few_descriptors_or_little_memory_for_the_shared_memory_programs) {
    const std::string runtime_dir = runtime_dir_outside_tmp();
    std::vector<std::vector<resource_limit>> daemon_limits{{{RLIMIT_NOFILE, 5}}};
    if (!emulated && !sanitized) daemon_limits.push_back({{RLIMIT_AS, 16ull << 20}});
    for (const auto& limits : daemon_limits) {
        shm_test::memwarden_daemon daemon(runtime_dir, {}, limits);
        const std::string what = limits[0].resource == RLIMIT_AS ? "memwarden as=16M" : "memwarden nofile=5";
        if (daemon.wait_published()) {
            std::cout << "[ outcome  ] " << what << ": serves" << std::endl;
            continue;
        }
        EXPECT_EQ(daemon.process().wait(0s)->code, 1) << daemon.log();
        const auto said = shm_test::records_of(daemon.log(), "main_memwarden");
        ASSERT_FALSE(said.empty()) << daemon.log();
        EXPECT_EQ(said.back().priority, 'E');
        std::cout << "[ outcome  ] " << what << ": status 1: " << said.back().message << std::endl;
    }
    // The tools against a sound daemon: the last few descriptors once deadlocked
    // the mapping of a heap.
    shm_test::memwarden_daemon daemon(runtime_dir);
    ASSERT_TRUE(daemon.wait_published());
    for (unsigned long long limit : {5ull, 6ull, 7ull}) {
        for (const char* tool : {WARDENCHECK_PATH, WARDENPEEK_PATH}) {
            const auto run = shm_test::run_tool(tool, {"status"}, runtime_dir, {{RLIMIT_NOFILE, limit}});
            EXPECT_EQ(run.status.code, 0) << tool << " nofile=" << limit << ": "
                                          << run.status.describe() << "\n" << run.err;
        }
    }
}

TEST(shortage, service_memory_runs_out) {
    // The daemon's buffers are files in /tmp: the daemon gets a /tmp of two pages,
    // less than one buffer of the self-test.
    const std::string runtime_dir = runtime_dir_outside_tmp();
    shm_test::memwarden_daemon daemon(
        runtime_dir, {"/usr/bin/unshare", "--mount", "--", "/bin/sh", "-c",
                      "mount -t tmpfs -o size=8k tmpfs /tmp && exec \"$@\"", "sh"});
    ASSERT_TRUE(daemon.wait_published()) << daemon.log();
    const auto run = shm_test::run_tool(WARDENCHECK_PATH, {}, runtime_dir);
    EXPECT_EQ(run.status.code, 0) << run.status.describe() << "\n" << run.err;
    int unavailable = 0;
    for (const auto& record : shm_test::records_of(run.err, "WardenCheck")) {
        unavailable += record.message == "Error shared memory not available\n";
    }
    EXPECT_GT(unavailable, 0) << run.err;
    EXPECT_TRUE(daemon.process().running()) << daemon.log();
}

TEST(shortage, player_files_go_away) {
    jack_server server;
    auto programs = clients();
    const program_t& spinreel = programs[3];
    const program_t& padplayer = programs[4];
    auto looping = start(server, spinreel);
    child_process playing(padplayer.path, padplayer.args, server.client_env(), true /*stdin_pipe*/);
    ASSERT_TRUE(wait_frame_ready(*looping)) << looping->err();
    ASSERT_TRUE(wait_frame_ready(playing)) << playing.err();
    // Loaded whole at start-up: what happens to the files later changes nothing.
    std::filesystem::remove(spinreel.args[1]);
    std::filesystem::remove_all("/sdcard/Sounds");
    EXPECT_TRUE(playing.write_stdin("abc"));
    EXPECT_TRUE(ends_as_documented(*looping, "spinreel, its file removed"));
    EXPECT_TRUE(ends_as_documented(playing, "padplayer, its folder removed"));
    for (const auto& program : {spinreel, padplayer}) {
        auto p = start(server, program);
        EXPECT_TRUE(ends_as_documented(*p, program.name + ", its file missing at start"));
        EXPECT_EQ(p->wait(0s)->code, 1);
    }

    // A file over 4 GiB (sparse): its true length is reported, and it is refused
    // whole rather than played in part.
    const std::string huge = test_dir() + "/huge.wav";
    wav_files::write_bytes(huge, wav_files::canonical_header({}, 4000));
    ASSERT_EQ(truncate64(huge.c_str(), (4ll << 30) + 4044), 0);  // off_t has 32 bits on ARM
    child_process refused(SPINREEL_PATH, {"spinreel", huge}, server.client_env());
    const auto status = refused.wait(20s);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 1);
    EXPECT_EQ(split_lines(refused.out()).front(), "File is 4294971340 bytes.");
    EXPECT_EQ(refused.err(), "Unable to open '" + huge + "'\n");
    EXPECT_TRUE(server_survives(server));
}

}  // namespace
