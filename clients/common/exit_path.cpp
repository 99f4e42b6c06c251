// Ways out of a client process that cannot block.
#include "exit_path.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

std::atomic<void (*)()> exit_drain{nullptr};
std::atomic<bool> leaving{false};

// Whether `fd` takes data now. A pipe that reports room holds at least PIPE_BUF
// bytes more, so a write of that size after this answer does not block.
bool ready_for_write(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        const int ready = poll(&entry, 1, 0);
        if (ready < 0 && errno == EINTR) continue;
        return ready == 1 && (entry.revents & POLLOUT) != 0 &&
               (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
    }
}

}  // namespace

size_t write_without_blocking(int fd, const char* data, size_t length) {
    size_t written = 0;
    while (written < length && ready_for_write(fd)) {
        size_t chunk = length - written;
        if (chunk > PIPE_BUF) chunk = PIPE_BUF;
        const ssize_t n = write(fd, data + written, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += size_t(n);
    }
    return written;
}

void set_exit_drain(void (*drain)()) { exit_drain.store(drain); }

void leave_process(int status, const char* message) {
    if (leaving.exchange(true)) {
        // Another thread is on its way out; its _exit ends this one too.
        for (;;) pause();
    }
    if (void (*drain)() = exit_drain.load()) drain();
    if (message != nullptr) write_without_blocking(STDERR_FILENO, message, strlen(message));
    _exit(status);
}
