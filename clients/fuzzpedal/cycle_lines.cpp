// The cycle counter and the thread that turns it into lines.
#include "cycle_lines.h"

#include <limits.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "exit_path.h"
#include "helper_thread.h"

namespace {

constexpr uint64_t line_length = sizeof cycle_line - 1;
// As many whole lines as one pipe write of PIPE_BUF bytes holds.
constexpr uint64_t lines_per_chunk = PIPE_BUF / line_length;
char chunk[lines_per_chunk * line_length];

int output_fd = -1;
std::atomic<uint64_t> counted{0};
// Bytes of lines written so far; a write may end inside a line.
std::atomic<uint64_t> bytes_written{0};
// The writer sets `busy` around each write and checks `closing` inside it, so that
// the exit drain never writes while the writer does.
std::atomic<bool> closing{false};
std::atomic<bool> busy{false};

// The next piece of pending text: where it starts in `chunk` and how long it is.
size_t next_piece(const char** start) {
    const uint64_t pending = counted.load() * line_length - bytes_written.load();
    const uint64_t offset = bytes_written.load() % line_length;
    *start = chunk + offset;
    const uint64_t room = sizeof chunk - offset;
    return size_t(pending < room ? pending : room);
}

void note_written(ssize_t n) { bytes_written.fetch_add(uint64_t(n)); }

void pause_briefly() {
    // At 64 frames and 44.1 kHz a cycle lasts 1.45 ms: a few lines per wake.
    const timespec interval{0, 4 * 1000 * 1000};
    nanosleep(&interval, nullptr);
}

void* write_lines(void*) {
    for (;;) {
        busy.store(true);
        if (closing.load()) {
            busy.store(false);
            return nullptr;
        }
        const char* start = nullptr;
        const size_t length = next_piece(&start);
        ssize_t n = 0;
        if (length > 0) {
            // Wait for room a little at a time, so that the exit drain never waits long.
            pollfd entry{output_fd, POLLOUT, 0};
            if (poll(&entry, 1, 50) == 1) n = write(output_fd, start, length);
        }
        busy.store(false);
        if (n > 0) {
            note_written(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return nullptr;  // standard output is gone; the cycles are still counted
        } else if (length == 0) {
            pause_briefly();
        }
    }
}

}  // namespace

void cycle_lines_count() { counted.fetch_add(1, std::memory_order_relaxed); }

int cycle_lines_start(int fd) {
    for (uint64_t i = 0; i < lines_per_chunk; ++i) {
        memcpy(chunk + i * line_length, cycle_line, line_length);
    }
    output_fd = fd;
    return start_helper_thread(write_lines, nullptr);
}

void cycle_lines_drain() {
    closing.store(true);
    // The writer's own write waits at most 50 ms for room; give it a little more.
    for (int waited = 0; busy.load() && waited < 200; ++waited) {
        const timespec millisecond{0, 1000 * 1000};
        nanosleep(&millisecond, nullptr);
    }
    if (busy.load() || output_fd < 0) return;  // stuck in a write: leave the rest
    for (;;) {
        const char* start = nullptr;
        const size_t length = next_piece(&start);
        if (length == 0) return;
        const size_t n = write_without_blocking(output_fd, start, length);
        if (n == 0) return;
        note_written(ssize_t(n));
    }
}

uint64_t cycle_lines_counted() { return counted.load(); }
uint64_t cycle_lines_written() { return bytes_written.load() / line_length; }
