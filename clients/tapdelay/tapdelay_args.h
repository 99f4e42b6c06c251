// tapdelay's command line: the processor set-up that comes before it and the
// reading of its two numbers. No JACK, so that offline tools run the echo with the
// very same reading.
#pragma once

// Before the argument check: the echo is set up for a fixed 44100 Hz.
void tapdelay_before_args();

// argv[2] into the delay time and argv[3] into the feedback, those present, each
// read with atoi; further arguments are ignored. Always true.
bool tapdelay_prepare(int argc, char** argv, void** callback_arg);
