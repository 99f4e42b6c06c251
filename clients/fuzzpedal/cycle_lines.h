// fuzzpedal's "process is called" line, once per cycle, without a console write on
// the real-time thread. The process callback only counts the cycle; a writer thread
// of normal priority writes the counted lines to standard output, in order. While
// standard output is stalled (a pager that waits, a terminal held with Ctrl-S) the
// lines wait as a count, none dropped, and the audio goes on; once it drains, they
// are written.
#pragma once

#include <cstdint>

#include "realtime.h"

// The line as it appears on standard output.
inline constexpr char cycle_line[] = "process is called\n";

// Counts one cycle's line (real-time thread).
void cycle_lines_count() REALTIME_NONBLOCKING;

// Starts the writer thread on `fd` (standard output). Returns 0, or the error
// number when no thread could be started.
int cycle_lines_start(int fd);

// At exit: stops the writer and writes the lines still pending, as far as `fd` takes
// them without blocking.
void cycle_lines_drain();

// Lines counted, and lines written out in full so far.
uint64_t cycle_lines_counted();
uint64_t cycle_lines_written();
