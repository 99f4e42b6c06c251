// shm_load: load on the shared-memory service from forked clients, each process
// with a connection of its own, as JACK processes hold one binder proxy each. Every
// client repeats a round of the service's operations until the time is up, times
// every round trip and checks every answer:
//
//   allocate           an index from 0 to 256
//   bufferHeap         a heap for that index
//   getBase            a mapping; a token goes to the buffer's first and last 8 bytes
//   checkAllocated     exactly 1 for the index the client holds
//   setRegistryIndex   a value that names the client and the round
//   getRegistryIndex   alone: exactly that value; with others: that value, or one
//                      that another client of this run stored (never an older one
//                      of this client, since its own store came last)
//   bufferHeap         the same index again, on a new proxy
//   getBase            a new mapping, which must show the token at both ends
//   releaseBuffer      the index
//   checkAllocated     alone: exactly 0; with others: 0 or 1 (another client may
//                      have taken the index at once)
//
// A round trip is one request and its reply; getBase is one because a new heap
// proxy asks the service for the heap's descriptor before it maps it. Releases of
// dropped heap proxies are one-way records and are not timed.
//
//   shm_load <seconds> <clients>
//
// Prints one line for the whole run, then one per operation:
//   clients <n> seconds <s> round_trips <n> per_second <n> p50_us <x> p99_us <x>
//   op <name> calls <n> p50_us <x> p99_us <x>
// Exit status 0 when every answer was right, 1 on a wrong answer or a client that
// could not run or made no round trip (the reasons on standard error), 2 on a bad
// command line.
#include <IAndroidShm.h>
#include <binder/IMemory.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shm_client.h"

using namespace android;

namespace {

enum op_t { kAllocate, kBufferHeap, kGetBase, kCheckAllocated, kSetRegistry, kGetRegistry, kRelease, kOpCount };
const char* const op_names[kOpCount] = {"allocate",         "bufferHeap",       "getBase",      "checkAllocated",
                                        "setRegistryIndex", "getRegistryIndex", "releaseBuffer"};

// Latencies in nanoseconds, log-linear: one bucket per value below 128, then 64
// buckets per power of two (neighbours under 1.6 % apart), up to about 18 minutes.
constexpr int kSubBits = 6;
constexpr uint64_t kLinear = 2u << kSubBits;
constexpr size_t kBuckets = kLinear + (40 - kSubBits) * (1u << kSubBits);

size_t bucket_of(uint64_t ns) {
    if (ns < kLinear) return static_cast<size_t>(ns);
    const int top = 63 - __builtin_clzll(ns);
    const size_t bucket = kLinear + static_cast<size_t>(top - kSubBits - 1) * (1u << kSubBits) +
                          static_cast<size_t>((ns >> (top - kSubBits)) & ((1u << kSubBits) - 1));
    return bucket < kBuckets ? bucket : kBuckets - 1;
}

// The middle of a bucket's range, in nanoseconds.
double bucket_middle(size_t bucket) {
    if (bucket < kLinear) return static_cast<double>(bucket);
    const size_t above = bucket - kLinear;
    const int shift = static_cast<int>(above >> kSubBits) + 1;
    const uint64_t low = (uint64_t{1u << kSubBits} + (above & ((1u << kSubBits) - 1))) << shift;
    return static_cast<double>(low) + static_cast<double>(uint64_t{1} << shift) / 2;
}

// What one client leaves for the parent, in memory shared across the fork.
struct client_result_t {
    uint64_t round_trips;
    int64_t end_ns;
    char message[240];  // the first wrong answer; the client stops there
    uint64_t histogram[kOpCount][kBuckets];
};

// Written by the parent before it lets the clients go.
struct shared_t {
    int64_t start_ns;
    int64_t duration_ns;
    int32_t clients;
    client_result_t* results;  // `clients` of them, in the same shared mapping
};

int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A registry value that names client and round, well above the index range.
int32_t registry_value(int32_t client, uint64_t round) {
    return static_cast<int32_t>(0x40000000u | static_cast<uint32_t>(client) << 20 |
                                static_cast<uint32_t>(round & 0xfffff));
}

// The client of this run that stored `value`, or -1 when no client of it could have.
int32_t registry_client(int32_t value, int32_t clients) {
    const uint32_t bits = static_cast<uint32_t>(value);
    if ((bits & 0xc0000000u) != 0x40000000u) return -1;
    const int32_t client = static_cast<int32_t>(bits >> 20 & 0x3ff);
    return client < clients ? client : -1;
}

uint64_t token_of(int32_t client, uint64_t round) {
    return 0x5348'4d00'0000'0000ull ^ static_cast<uint64_t>(client) << 40 ^ round;
}

// One client's round of calls, timed into its histograms.
class client_t {
public:
    client_t(const shared_t& shared, int32_t id, client_result_t* result, const sp<IAndroidShm>& service)
        : mClients(shared.clients), mId(id), mResult(result), mService(service) {}

    // One round; false after a wrong answer, described in the result.
    bool round(uint64_t round) {
        const int32_t size = 4096 << (round % 5);  // 4 KiB to 64 KiB
        const uint64_t token = token_of(mId, round);

        int64_t t = now_ns();
        const int32_t index = mService->allocate(size);
        t = took(kAllocate, t);
        if (index < 0 || index > 256) return wrong("allocate(%d) gave %d", size, index);

        if (!touch_buffer(index, size, token, true /*write*/, &t)) return false;

        const int32_t held = mService->checkAllocated(index);
        t = took(kCheckAllocated, t);
        if (held != 1) return wrong("checkAllocated(%d) of a held index gave %d", index, held);

        const int32_t stored = registry_value(mId, round);
        mService->setRegistryIndex(stored);
        t = took(kSetRegistry, t);
        const int32_t read = mService->getRegistryIndex();
        t = took(kGetRegistry, t);
        const int32_t writer = registry_client(read, mClients);
        if (read != stored && (mClients == 1 || writer < 0 || writer == mId)) {
            return wrong("getRegistryIndex gave %d (0x%x) after setRegistryIndex(%d)", read,
                         static_cast<uint32_t>(read), stored);
        }

        if (!touch_buffer(index, size, token, false /*write*/, &t)) return false;

        mService->releaseBuffer(index);
        t = took(kRelease, t);
        const int32_t after = mService->checkAllocated(index);
        took(kCheckAllocated, t);
        if (after != 0 && (mClients == 1 || after != 1)) {
            return wrong("checkAllocated(%d) after its release gave %d", index, after);
        }
        return true;
    }

private:
    // bufferHeap and getBase of `index`, then the token written to, or checked at,
    // both ends of the buffer's `size` bytes. The heap proxy goes at the end, so the
    // next fetch of the index maps the buffer afresh; its unmapping and its release
    // record are not part of the next round trip's time.
    bool touch_buffer(int32_t index, int32_t size, uint64_t token, bool write, int64_t* t) {
        sp<IMemoryHeap> heap = mService->bufferHeap(index);
        *t = took(kBufferHeap, *t);
        if (heap == nullptr) return wrong("bufferHeap(%d) of a held index gave null", index);
        void* const base = heap->getBase();
        *t = took(kGetBase, *t);
        if (base == MAP_FAILED) return wrong("getBase of buffer %d failed", index);
        if (heap->getSize() < static_cast<size_t>(size)) {
            return wrong("buffer %d holds %zu bytes, %d were asked for", index, heap->getSize(), size);
        }
        char* const first = static_cast<char*>(base);
        char* const last = first + size - sizeof token;
        if (write) {
            std::memcpy(first, &token, sizeof token);
            std::memcpy(last, &token, sizeof token);
        } else {
            uint64_t seen_first = 0, seen_last = 0;
            std::memcpy(&seen_first, first, sizeof token);
            std::memcpy(&seen_last, last, sizeof token);
            if (seen_first != token || seen_last != token) {
                return wrong("buffer %d shows %016llx and %016llx, not this client's %016llx", index,
                             static_cast<unsigned long long>(seen_first),
                             static_cast<unsigned long long>(seen_last),
                             static_cast<unsigned long long>(token));
            }
        }
        heap.clear();
        *t = now_ns();
        return true;
    }

    // Counts the round trip that began at `since`; gives the time it ended.
    int64_t took(op_t op, int64_t since) {
        const int64_t end = now_ns();
        ++mResult->histogram[op][bucket_of(static_cast<uint64_t>(end - since))];
        ++mResult->round_trips;
        return end;
    }

    bool wrong(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(mResult->message, sizeof mResult->message, format, args);
        va_end(args);
        return false;
    }

    const int32_t mClients;
    const int32_t mId;
    client_result_t* const mResult;
    const sp<IAndroidShm> mService;
};

// A client's wait for its reply is not bounded (binder calls wait as long as the
// serving process lives); a client still running this long after its time is up
// ends by SIGALRM, a service that stopped answering.
constexpr unsigned kOvertimeSeconds = 60;

// A forked client: binds, says it is ready (or not) on `ready`, waits for `go` to
// close, then runs rounds until the time is up. Never returns.
[[noreturn]] void run_client(shared_t* shared, int32_t id, int ready, int go) {
    // A client never outlives the run that started it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    client_result_t* const result = &shared->results[id];
    int status = 1;
    {
        const sp<IAndroidShm> service = getShmService();
        const char answer = service != nullptr ? 'r' : 'f';
        if (service == nullptr) std::snprintf(result->message, sizeof result->message, "no service");
        if (write(ready, &answer, 1) == 1 && service != nullptr) {
            char byte;
            while (read(go, &byte, 1) < 0 && errno == EINTR) {
            }
            alarm(static_cast<unsigned>(shared->duration_ns / 1000000000) + kOvertimeSeconds);
            client_t client(*shared, id, result, service);
            const int64_t deadline = shared->start_ns + shared->duration_ns;
            uint64_t round = 0;
            bool right = true;
            while (right && now_ns() < deadline) right = client.round(round++);
            result->end_ns = now_ns();
            status = right ? 0 : 1;
        }
    }
    _exit(status);
}

// The parent's side of a run: its clients, the pipes that start them together, and
// a signalfd for SIGTERM, SIGINT and SIGCHLD, which stay blocked in the parent, so
// that a stop request is never lost between two waits.
struct run_t {
    shared_t* shared = nullptr;
    int32_t clients = 0;
    pid_t pids[256] = {};
    int ready[2] = {-1, -1};
    int go[2] = {-1, -1};
    int signals = -1;
    bool stopped = false;  // by SIGTERM or SIGINT
};

// Whether a stop signal is pending; reads every signal that is.
bool stop_pending(run_t* run) {
    signalfd_siginfo info;
    bool stop = false;
    while (read(run->signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        stop = stop || info.ssi_signo != SIGCHLD;
    }
    return stop;
}

// Waits until every client has said whether it is bound; the count that did.
int32_t wait_ready(run_t* run) {
    int32_t answered = 0;
    while (answered < run->clients && !run->stopped) {
        pollfd p[2] = {{run->ready[0], POLLIN, 0}, {run->signals, POLLIN, 0}};
        const int polled = poll(p, 2, 20000);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) break;
        if (p[1].revents != 0 && stop_pending(run)) run->stopped = true;
        if (p[0].revents != 0) {
            char answers[256];
            const ssize_t n = read(run->ready[0], answers, sizeof answers);
            if (n <= 0) break;
            answered += static_cast<int32_t>(n);
        }
    }
    return answered;
}

// Reaps every client; on a stop request, kills those still running first. False
// when a client failed, with the reason on standard error.
bool reap_clients(run_t* run) {
    bool right = true;
    int32_t left = run->clients;
    while (left > 0) {
        if (!run->stopped) {
            pollfd p{run->signals, POLLIN, 0};
            if (poll(&p, 1, -1) > 0 && stop_pending(run)) {
                run->stopped = true;
                for (int32_t id = 0; id < run->clients; ++id) {
                    if (run->pids[id] > 0) kill(run->pids[id], SIGKILL);
                }
            }
        }
        for (int32_t id = 0; id < run->clients; ++id) {
            int raw = 0;
            if (run->pids[id] <= 0 || waitpid(run->pids[id], &raw, run->stopped ? 0 : WNOHANG) <= 0) continue;
            run->pids[id] = 0;
            --left;
            const client_result_t& r = run->shared->results[id];
            if (run->stopped) {
                right = false;
            } else if (WIFSIGNALED(raw)) {
                std::fprintf(stderr, "shm_load: client %d ended by signal %d%s\n", id, WTERMSIG(raw),
                             WTERMSIG(raw) == SIGALRM ? " (a call that did not return)" : "");
                right = false;
            } else if (WEXITSTATUS(raw) != 0) {
                std::fprintf(stderr, "shm_load: client %d: %s\n", id, r.message[0] ? r.message : "failed");
                right = false;
            } else if (r.round_trips == 0) {
                std::fprintf(stderr, "shm_load: client %d made no round trip\n", id);
                right = false;
            }
        }
    }
    return right;
}

void print_percentiles(const uint64_t* histogram) {
    uint64_t total = 0;
    for (size_t b = 0; b < kBuckets; ++b) total += histogram[b];
    for (const double q : {0.50, 0.99}) {
        const uint64_t rank = total == 0 ? 0 : static_cast<uint64_t>(q * static_cast<double>(total - 1)) + 1;
        uint64_t seen = 0;
        size_t b = 0;
        while (b < kBuckets - 1 && seen + histogram[b] < rank) seen += histogram[b++];
        std::printf(" p%02d_us %.1f", static_cast<int>(q * 100), total == 0 ? 0.0 : bucket_middle(b) / 1000);
    }
}

// The run's line and one line per operation, over all clients.
void report(const shared_t& shared) {
    static uint64_t merged[kOpCount][kBuckets];
    static uint64_t all[kBuckets];
    uint64_t round_trips = 0;
    int64_t end_ns = shared.start_ns;
    for (int32_t id = 0; id < shared.clients; ++id) {
        const client_result_t& r = shared.results[id];
        round_trips += r.round_trips;
        if (r.end_ns > end_ns) end_ns = r.end_ns;
        for (int op = 0; op < kOpCount; ++op) {
            for (size_t b = 0; b < kBuckets; ++b) {
                merged[op][b] += r.histogram[op][b];
                all[b] += r.histogram[op][b];
            }
        }
    }
    const double elapsed = static_cast<double>(end_ns - shared.start_ns) / 1e9;
    std::printf("clients %d seconds %.2f round_trips %llu per_second %.0f", shared.clients, elapsed,
                static_cast<unsigned long long>(round_trips),
                elapsed > 0 ? static_cast<double>(round_trips) / elapsed : 0.0);
    print_percentiles(all);
    std::printf("\n");
    for (int op = 0; op < kOpCount; ++op) {
        uint64_t calls = 0;
        for (size_t b = 0; b < kBuckets; ++b) calls += merged[op][b];
        std::printf("op %s calls %llu", op_names[op], static_cast<unsigned long long>(calls));
        print_percentiles(merged[op]);
        std::printf("\n");
    }
}

bool parse_args(int argc, char** argv, double* seconds, int32_t* clients) {
    if (argc != 3) return false;
    char* end = nullptr;
    *seconds = std::strtod(argv[1], &end);
    if (*end != '\0' || !(*seconds > 0 && *seconds <= 3600)) return false;
    const long n = std::strtol(argv[2], &end, 10);
    if (*end != '\0' || n < 1 || n > 256) return false;
    *clients = static_cast<int32_t>(n);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    run_t run;
    double seconds = 0;
    if (!parse_args(argc, argv, &seconds, &run.clients)) {
        std::fprintf(stderr, "usage: shm_load <seconds, above 0, at most 3600> <clients, 1 to 256>\n");
        return 2;
    }
    sigset_t watched;
    sigemptyset(&watched);
    for (const int signal : {SIGTERM, SIGINT, SIGCHLD}) sigaddset(&watched, signal);
    sigprocmask(SIG_BLOCK, &watched, nullptr);
    // The results first, so that each is aligned as it should be; the header after them.
    const size_t results_bytes = static_cast<size_t>(run.clients) * sizeof(client_result_t);
    const size_t bytes = results_bytes + sizeof(shared_t);
    void* const region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    run.signals = signalfd(-1, &watched, SFD_NONBLOCK | SFD_CLOEXEC);
    if (region == MAP_FAILED || run.signals < 0 || pipe2(run.ready, O_CLOEXEC) != 0 ||
        pipe2(run.go, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "shm_load: %s\n", std::strerror(errno));
        return 1;
    }
    run.shared = reinterpret_cast<shared_t*>(static_cast<char*>(region) + results_bytes);
    run.shared->results = static_cast<client_result_t*>(region);
    run.shared->duration_ns = static_cast<int64_t>(seconds * 1e9);
    run.shared->clients = run.clients;

    for (int32_t id = 0; id < run.clients; ++id) {
        run.pids[id] = fork();
        if (run.pids[id] == 0) {
            close(run.ready[0]);
            close(run.go[1]);
            close(run.signals);
            run_client(run.shared, id, run.ready[1], run.go[0]);
        }
        if (run.pids[id] < 0) {
            std::fprintf(stderr, "shm_load: fork: %s\n", std::strerror(errno));
            return 1;  // the clients forked so far die with this process
        }
    }
    close(run.ready[1]);
    close(run.go[0]);

    // Every client binds first, so that the clock starts with all of them connected.
    const int32_t answered = wait_ready(&run);
    run.shared->start_ns = now_ns();
    close(run.go[1]);
    if (answered < run.clients && !run.stopped) {
        std::fprintf(stderr, "shm_load: %d of %d clients answered\n", answered, run.clients);
    }
    const bool right = reap_clients(&run) && answered == run.clients;
    if (run.stopped) {
        std::fprintf(stderr, "shm_load: stopped by a signal\n");
        return 1;
    }
    report(*run.shared);
    return right ? 0 : 1;
}
