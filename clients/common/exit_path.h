// Leaving a client process without waiting on anything: not on a stream lock that
// another thread may hold (padplayer's key loop holds stdin's while it reads), not
// on a stalled pipe or a terminal held with Ctrl-S, not on a wedged server. Every
// way out of a standalone client, from any thread, goes through leave_process.
#pragma once

#include <cstddef>

// Writes `length` bytes of `data` to `fd` as far as the descriptor takes them
// now: it polls with a zero timeout before each write and stops when the
// descriptor is not ready, so it never blocks. Returns the bytes written.
size_t write_without_blocking(int fd, const char* data, size_t length);

// What the program still has for standard output when it leaves (fuzzpedal's
// pending cycle lines). The drain writes only as far as it goes without blocking.
void set_exit_drain(void (*drain)());

// Ends the process with `status`: the exit drain, then `message` (null for none) to
// standard error, both without blocking, then _exit. stdio and static destructors
// are never run. When two threads leave at once the first one's status stands; the
// second waits for the end.
[[noreturn]] void leave_process(int status, const char* message);
