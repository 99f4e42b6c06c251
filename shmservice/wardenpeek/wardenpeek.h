// wardenpeek's commands: the allocation status of the shared-memory service, the
// registry index, the registry's header and entries, and the semaphore dump.
#pragma once

#include <stdio.h>

// Runs the command line `argv` (argv[1] is the command word), writing every line
// to `out`. Gives the exit status, which is always 0.
int wardenpeek_main(int argc, char** argv, FILE* out);
