// memwarden as a daemon: its start-up line, its death and replacement, clients that
// die or write junk, a client of another user, many tools at once, no descriptor
// kept per transaction, and a burst of releases while it is stopped.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "shm_daemon.h"

using namespace android;
using namespace shm_test;

namespace {

std::string socket_path(const std::string& runtime_dir) {
    return runtime_dir + "/binder/" + service_name;
}

int connect_raw(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// What the peer did after our last record: answered (> 0 bytes), closed (0), or
// nothing within the timeout (-1).
int await_answer(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return -1;
    char buffer[65536];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? 1 : 0;
}

// A ping of the root object as one record of the socket protocol: a header of nine
// 32-bit words (magic "BNDR", kind 1 = request, handle 0, code, flags, status and
// the three counts) and no data.
std::vector<uint8_t> ping_record() {
    const uint32_t words[9] = {0x424e4452, 1, 0, IBinder::PING_TRANSACTION, 0, 0, 0, 0, 0};
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(words),
                                reinterpret_cast<const uint8_t*>(words) + sizeof words);
}

// The descriptor number that the next open of `pid` would get.
int lowest_free_fd(pid_t pid) {
    std::set<int> open;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') open.insert(std::atoi(entry->d_name));
    }
    closedir(dir);
    int lowest = 0;
    while (open.count(lowest) != 0) ++lowest;
    return lowest;
}

int open_fd_count(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// Sends SIGCONT when it goes, so that a failed check never leaves the daemon stopped.
struct resumes_on_exit {
    pid_t pid;
    ~resumes_on_exit() { kill(pid, SIGCONT); }
};

class memwarden : public live_service {
protected:
    // The daemon's open descriptors after a first round of calls (so that whatever
    // opens lazily is open), once the count holds still for half a second: closes of
    // earlier connections reach a slow (sanitized, loaded) daemon late. -1 if never.
    int settled_fd_count() {
        const pid_t pid = daemon->process().pid();
        const int32_t index = service->allocate(8192);
        if (index < 0 || service->bufferHeap(index)->getBase() == MAP_FAILED) return -1;
        service->releaseBuffer(index);
        int count = -1;
        const bool settled = harness::wait_until(
            [&] {
                count = open_fd_count(pid);
                for (int reading = 0; reading < 5; ++reading) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    if (open_fd_count(pid) != count) return false;
                }
                return true;
            },
            harness::duration(5000));
        return settled ? count : -1;
    }

    // The daemon answers a full round of calls from a fresh lookup.
    bool serves() {
        const sp<IAndroidShm> fresh = find_service();
        if (fresh == nullptr) return false;
        const int32_t index = fresh->allocate(64);
        const bool ok = index >= 0 && fresh->checkAllocated(index) == 1 &&
                        fresh->bufferHeap(index) != nullptr;
        fresh->releaseBuffer(index);
        return ok && fresh->checkAllocated(index) == 0;
    }
};

TEST_F(memwarden, logs_its_start_up_line_once) {
    ASSERT_TRUE(harness::wait_until(
        [&] { return !records_of(daemon->log(), "main_memwarden").empty(); }, harness::duration(2000)));
    const std::vector<log_record_t> lines = records_of(daemon->log(), "main_memwarden");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 'I');
    EXPECT_EQ(lines[0].message, "MemWarden is starting now");
    EXPECT_TRUE(daemon->process().running());
}

TEST(memwarden_publish, a_daemon_that_cannot_publish_says_so_and_exits_1) {
    // A plain file where the binder directory must go.
    const std::string runtime_dir = make_runtime_dir();
    const int file = open((runtime_dir + "/binder").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    close(file);
    memwarden_daemon daemon(runtime_dir);
    const auto status = daemon.process().wait(harness::duration(5000));
    ASSERT_TRUE(status) << daemon.log();
    EXPECT_EQ(status->code, 1);
    const std::vector<log_record_t> lines = records_of(daemon.log(), "main_memwarden");
    ASSERT_EQ(lines.size(), 1u) << daemon.log();
    EXPECT_EQ(lines[0].priority, 'E');
    EXPECT_EQ(lines[0].message.rfind("MemWarden cannot publish com.velmora.android.kel.IAndroidShm", 0), 0u)
        << lines[0].message;
}

TEST_F(memwarden, after_a_kill_the_tools_see_no_service_and_a_new_daemon_takes_over) {
    service->setRegistryIndex(9);
    daemon->process().signal(SIGKILL);
    ASSERT_TRUE(daemon->process().wait(harness::duration(5000)));
    // The dead daemon's socket is still there.
    struct stat st;
    ASSERT_EQ(lstat(socket_path(runtime_dir).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(find_service(), nullptr);
    // The proxy of the dead daemon reads as no service, every time, and says so in
    // the log with the status, so that the answers are not taken for the service's.
    testing::internal::CaptureStderr();
    EXPECT_EQ(service->allocate(10), -1);
    EXPECT_GT(service->getRegistryIndex(), 256);
    const auto failures = records_of(testing::internal::GetCapturedStderr(), "IAndroidShm");
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].priority, 'E');
    EXPECT_EQ(failures[0].message + "; " + failures[1].message,
              "allocate failed: status -32; getRegistryIndex failed: status -32");
    Parcel data, reply;
    EXPECT_EQ(service->asBinder()->transact(IAndroidShm::CHECK_ALLOCATED, data, &reply), DEAD_OBJECT);

    for (const char* word : {"status", "header", "body", "index", "semaphore"}) {
        const tool_run_t run = run_tool(WARDENPEEK_PATH, {word}, runtime_dir);
        EXPECT_EQ(run.out, "shm service is not available\n") << word;
        EXPECT_EQ(run.status.code, 0) << word;
    }
    const tool_run_t check = run_tool(WARDENCHECK_PATH, {}, runtime_dir);
    EXPECT_EQ(check.status.code, 0);
    EXPECT_EQ(records_of(check.err, "WardenCheck").size(), 5u) << check.err;

    memwarden_daemon second(runtime_dir);
    ASSERT_TRUE(second.wait_published()) << second.log();
    // A new service: nothing of the old one's state survives.
    EXPECT_EQ(find_service()->getRegistryIndex(), 257);
    EXPECT_TRUE(serves());
    EXPECT_EQ(peek({"index"}), "<<<<<<<<<<< show registry index >>>>>>>>>>\nindex [257]\n");
}

TEST_F(memwarden, clients_that_die_mid_call_cost_nothing) {
    // Requests sent and never read, on connections left open and closed.
    const std::vector<uint8_t> ping = ping_record();
    const int idle = connect_raw(socket_path(runtime_dir));
    ASSERT_GE(idle, 0);
    for (int k = 0; k < 5; ++k) {
        const int fd = connect_raw(socket_path(runtime_dir));
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, ping.data(), ping.size(), 0), static_cast<ssize_t>(ping.size()));
        close(fd);
    }
    ASSERT_EQ(send(idle, ping.data(), ping.size(), 0), static_cast<ssize_t>(ping.size()));
    EXPECT_TRUE(serves());

    // Tools killed at points spread over their run.
    for (int delay_ms : {0, 1, 2, 4, 8, 16}) {
        harness::child_process check(WARDENCHECK_PATH, {}, {"XDG_RUNTIME_DIR=" + runtime_dir});
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        check.signal(SIGKILL);
        check.wait(harness::duration(5000));
        EXPECT_TRUE(serves()) << delay_ms;
    }
    // The idle connection still gets its answer.
    EXPECT_EQ(await_answer(idle, 2000), 1);
    close(idle);
    EXPECT_TRUE(daemon->process().running());
}

TEST_F(memwarden, junk_records_close_their_connection_only) {
    std::mt19937 random(7);
    auto junk = [&](size_t size) {
        std::vector<uint8_t> bytes(size);
        for (auto& b : bytes) b = static_cast<uint8_t>(random());
        return bytes;
    };
    std::vector<std::vector<uint8_t>> records = {{}, junk(1), junk(4), junk(35), junk(36), junk(4096)};
    std::vector<uint8_t> lying = ping_record();
    lying[24] = 0xff;  // data_size far beyond the record
    records.push_back(lying);
    std::vector<uint8_t> wrong_magic = ping_record();
    wrong_magic[0] ^= 1;
    records.push_back(wrong_magic);
    std::vector<uint8_t> oversized = ping_record();
    oversized.resize(36 + 131072 + 64 * 4 + 1, 0);
    const uint32_t too_much = 131072 + 1;
    std::memcpy(oversized.data() + 24, &too_much, 4);
    records.push_back(oversized);

    for (const auto& record : records) {
        const int fd = connect_raw(socket_path(runtime_dir));
        ASSERT_GE(fd, 0);
        const int size = 1 << 20;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ASSERT_EQ(send(fd, record.data(), record.size(), 0), static_cast<ssize_t>(record.size()))
            << record.size() << ": " << std::strerror(errno);
        EXPECT_EQ(await_answer(fd, 2000), 0) << "record of " << record.size() << " bytes";
        close(fd);
        ASSERT_TRUE(serves()) << "after a record of " << record.size() << " bytes";
    }
    // The well-formed ping, as a control: it gets an answer.
    const int fd = connect_raw(socket_path(runtime_dir));
    const std::vector<uint8_t> ping = ping_record();
    ASSERT_EQ(send(fd, ping.data(), ping.size(), 0), static_cast<ssize_t>(ping.size()));
    EXPECT_EQ(await_answer(fd, 2000), 1);
    close(fd);
    EXPECT_TRUE(daemon->process().running());
}

TEST_F(memwarden, another_user_is_refused) {
    // With a binder directory of its own, nobody finds no service.
    const std::string nobody_dir = harness::test_dir() + "/nobody-run";
    ASSERT_EQ(mkdir(nobody_dir.c_str(), 0700), 0);
    ASSERT_EQ(chown(nobody_dir.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(harness::test_dir().c_str(), 0711), 0);
    // nobody runs a copy of the tool, since the build may lie in a private folder.
    const std::string bin_dir = harness::make_test_subdir("nobody-bin");
    ASSERT_EQ(chmod(bin_dir.c_str(), 0755), 0);
    std::vector<std::string> setpriv_args{"--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    for (const auto& word : harness::staged_program_command(WARDENPEEK_PATH, bin_dir)) {
        setpriv_args.push_back(word);
    }
    setpriv_args.push_back("status");
    harness::child_process as_nobody("/usr/bin/setpriv", setpriv_args,
                                     {"XDG_RUNTIME_DIR=" + nobody_dir});
    const auto status = as_nobody.wait(harness::duration(10000));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(as_nobody.out(), "shm service is not available\n") << as_nobody.err();

    // Reaching the daemon's own socket, nobody is cut off without an answer.
    const std::string path = socket_path(runtime_dir);
    const std::string binder_dir = runtime_dir + "/binder";
    ASSERT_EQ(chmod(runtime_dir.c_str(), 0711), 0);
    ASSERT_EQ(chmod(binder_dir.c_str(), 0711), 0);
    ASSERT_EQ(chmod(path.c_str(), 0777), 0);
    const std::vector<uint8_t> ping = ping_record();
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0) {
            _exit(3);
        }
        const int fd = connect_raw(path);
        if (fd < 0) _exit(2);
        send(fd, ping.data(), ping.size(), MSG_NOSIGNAL);
        const int answer = await_answer(fd, 3000);
        _exit(answer == 0 ? 0 : answer == 1 ? 1 : 4);
    }
    ASSERT_GT(child, 0);
    int raw = 0;
    ASSERT_EQ(waitpid(child, &raw, 0), child);
    ASSERT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 0) << "0 closed, 1 answered, 2 no connect, 3 no setresuid, 4 timeout";

    ASSERT_EQ(chmod(binder_dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(runtime_dir.c_str(), 0700), 0);
    EXPECT_TRUE(serves());
    EXPECT_TRUE(daemon->process().running());
}

TEST_F(memwarden, thirty_two_tools_at_once_all_see_the_same_status) {
    ASSERT_EQ(service->allocate(4096), 0);
    ASSERT_EQ(service->allocate(4096), 1);
    service->releaseBuffer(0);
    std::vector<std::unique_ptr<harness::child_process>> tools;
    for (int k = 0; k < 32; ++k) {
        tools.push_back(std::make_unique<harness::child_process>(
            WARDENPEEK_PATH, std::vector<std::string>{"status"},
            std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtime_dir}));
    }
    for (auto& tool : tools) {
        const auto status = tool->wait(harness::duration(20000));
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 0);
        const std::vector<std::string> lines = harness::split_lines(tool->out());
        ASSERT_EQ(lines.size(), 258u) << tool->out();
        EXPECT_EQ(lines[0], "<<<<<<<<<<< dump memory allocation status >>>>>>>>>>");
        int null_lines = 0;
        for (const auto& line : lines) null_lines += line.size() == 16 && line.compare(8, 8, " == NULL") == 0;
        EXPECT_EQ(null_lines, 256);
        EXPECT_TRUE(is_whole_address(hex_after(lines[256], "Mem[  1] == "))) << lines[256];
        EXPECT_EQ(lines[257], "Mem[  0] == NULL");
    }
}

TEST_F(memwarden, ten_thousand_calls_keep_no_descriptor) {
    const pid_t pid = daemon->process().pid();
    const int before = settled_fd_count();
    ASSERT_GT(before, 0);

    int calls = 0;
    for (int round = 0; calls < 10000; ++round) {
        // A fresh lookup (a new connection) every 50 rounds.
        const sp<IAndroidShm> shm = round % 50 == 0 ? find_service() : service;
        ASSERT_NE(shm, nullptr);
        const int32_t index = shm->allocate(8192);
        ASSERT_GE(index, 0);
        {
            const sp<IMemoryHeap> heap = shm->bufferHeap(index);
            ASSERT_NE(heap, nullptr);
            void* base = heap->getBase();
            ASSERT_NE(base, MAP_FAILED);
            static_cast<volatile char*>(base)[round % 8192] = 1;
        }
        EXPECT_EQ(shm->checkAllocated(index), 1);
        shm->setRegistryIndex(round);
        EXPECT_EQ(shm->getRegistryIndex(), round);
        EXPECT_EQ(shm->releaseBuffer(index), NO_ERROR);
        EXPECT_EQ(shm->bufferHeap(index), nullptr);
        calls += 7;  // the heap's own mapping call included
    }
    EXPECT_TRUE(harness::wait_until([&] { return open_fd_count(pid) == before; }, harness::duration(5000)))
        << open_fd_count(pid) << " open, " << before << " before";
}

// Out of descriptors, the daemon refuses newcomers at once instead of spinning on
// the queued connection, and serves them again once descriptors free.
TEST_F(memwarden, at_its_descriptor_limit_it_refuses_newcomers_without_spinning) {
    const pid_t pid = daemon->process().pid();
    // A client pins heaps, each holding a descriptor in the daemon; then the daemon's
    // limit is set where its table is full (its lowest free descriptor number), so no
    // allocation ever fails: the sanitizers' runtime could not check that failure's
    // clean-up without a descriptor of its own.
    std::vector<int32_t> pinned;
    for (int k = 0; k < 16; ++k) {
        pinned.push_back(service->allocate(4096));
        ASSERT_GE(pinned.back(), 0);
    }
    // A descriptor still open at the measure and closed later would leave room under
    // the limit: closes of earlier connections reach a loaded daemon late.
    ASSERT_GE(settled_fd_count(), 0);
    const rlim_t full = rlim_t(lowest_free_fd(pid));
    rlimit usual{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &usual), 0);
    const rlimit low{full, usual.rlim_max};  // the soft limit only: it can go back up
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0);

    const long before = harness::cpu_ticks(pid);
    const auto start = std::chrono::steady_clock::now();
    for (int attempt = 0; attempt < 3; ++attempt) EXPECT_EQ(find_service(), nullptr);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long used = harness::cpu_ticks(pid) - before;
    EXPECT_LT(double(used), 0.1 * elapsed * double(sysconf(_SC_CLK_TCK))) << used << " ticks";
    const auto at_limit = records_of(daemon->log(), "binder");
    EXPECT_EQ(std::count_if(at_limit.begin(), at_limit.end(),
                            [](const log_record_t& r) {
                                return r.message.find("out of descriptors") != std::string::npos;
                            }),
              1);  // once for the whole stretch at the limit

    // Descriptors free again (the limit back where it was), then the buffers go.
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &usual, nullptr), 0);
    for (int32_t index : pinned) service->releaseBuffer(index);
    EXPECT_TRUE(harness::wait_until([&] { return serves(); }, harness::duration(5000)));
}

// A command's text is logged on one line of its own tag, whatever it holds.
TEST_F(memwarden, a_command_cannot_forge_a_log_line) {
    EXPECT_EQ(service->runCommand("x\nWardenCheck E 01-01 00:00:00 1 1 forged\t\x01\\"), BAD_VALUE);
    ASSERT_TRUE(harness::wait_until(
        [&] { return !records_of(daemon->log(), "AndroidShm").empty(); }, harness::duration(5000)));
    const auto records = records_of(daemon->log(), "AndroidShm");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message,
              "unknown command: x\\nWardenCheck E 01-01 00:00:00 1 1 forged\\t\\x01\\\\");
    EXPECT_TRUE(records_of(daemon->log(), "WardenCheck").empty());
}

// A second daemon takes the name over, as the service manager replaces a
// registration, and says so: the first one runs on unreachable.
TEST_F(memwarden, a_second_daemon_says_that_it_takes_the_socket_over) {
    memwarden_daemon second(runtime_dir);
    ASSERT_TRUE(harness::wait_until(
        [&] {
            for (const auto& r : records_of(second.log(), "binder")) {
                if (r.priority == 'W' && r.message.find("was served by another process") !=
                                             std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        harness::duration(5000)))
        << second.log();
    EXPECT_TRUE(second.wait_published());
}

// Ten thousand heap proxies dropped while the daemon is stopped: the drop does not
// wait, the connection lives on, and the daemon then lets go of the heaps they kept.
TEST_F(memwarden, ten_thousand_proxies_dropped_while_the_daemon_is_stopped) {
    const pid_t pid = daemon->process().pid();
    const int before = settled_fd_count();
    ASSERT_GT(before, 0);
    constexpr int32_t heaps = 8;
    for (int32_t index = 0; index < heaps; ++index) ASSERT_EQ(service->allocate(4096), index);
    std::vector<sp<IMemoryHeap>> proxies;
    for (int k = 0; k < 10000; ++k) {
        proxies.push_back(service->bufferHeap(k % heaps));
        ASSERT_NE(proxies.back(), nullptr) << k;
    }
    for (int32_t index = 0; index < heaps; ++index) service->releaseBuffer(index);
    EXPECT_EQ(open_fd_count(pid), before + heaps) << "the heaps live on through the proxies";

    const resumes_on_exit resume{pid};
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    const auto started = std::chrono::steady_clock::now();
    proxies.clear();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(1)) << std::chrono::duration<double>(took).count() << " s";
    ASSERT_EQ(kill(pid, SIGCONT), 0);

    // The same connection answers every operation as the service would.
    const int32_t index = service->allocate(4096);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(service->checkAllocated(index), 1);
    EXPECT_EQ(service->setRegistryIndex(42), NO_ERROR);
    EXPECT_EQ(service->getRegistryIndex(), 42);
    const sp<IMemoryHeap> heap = service->bufferHeap(index);
    ASSERT_NE(heap, nullptr);
    EXPECT_NE(heap->getBase(), MAP_FAILED);
    EXPECT_TRUE(harness::wait_until([&] { return open_fd_count(pid) == before + 1; }, harness::duration(5000)))
        << open_fd_count(pid) << " open, " << before << " before and one buffer since";
}

}  // namespace
