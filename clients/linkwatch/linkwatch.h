// linkwatch: a live watch of a network link between two JACK servers. On the device
// (`send`) it stamps every cycle on the last network channel out and echoes the
// studio's stamps; on the studio (`receive`) it reads the device's stamps, stamps its
// own cycles toward the device for the round trip, and once a second prints what
// arrived: on time, late, lost, repeated, the round trip and its server's overruns.
// The counting runs in the process callback (link_counter.h); the main thread
// prints, writes the log and keeps the connections.
#pragma once

#include "jack_realtime.h"

extern const char* const linkwatch_usage;

// Reads the role, the client's name and the options; opens the log. Puts the client's
// name in argv[1] for the frame. False after a message on standard error.
bool linkwatch_prepare(int argc, char** argv, void** callback_arg);
// The overrun callback, before activation.
void linkwatch_callbacks(void* callback_arg);
// Each cycle: reads the other end's stamp, counts it, writes this end's stamp.
int linkwatch_process(jack_nframes_t nframes, void* arg) REALTIME_NONBLOCKING;
// Once a second: the connections kept, and on the studio the line and the log row.
[[noreturn]] void linkwatch_main_loop();
// Stops the main loop's calls into the client for good, before a signal's close.
void linkwatch_before_close();
// On the way out: the line and row of the last part of a second.
void linkwatch_drain();
