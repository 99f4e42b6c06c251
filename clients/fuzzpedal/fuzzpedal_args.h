// fuzzpedal's command line: the processor set-up that comes before it, the usage
// line and the reading of the thirteen numbers. No JACK, so that offline tools run
// the processor with the very same reading.
#pragma once

extern const char* const fuzzpedal_usage;

// Before the argument check: the processor is set up for a fixed 44100 Hz.
void fuzzpedal_before_args();

// Stores argv[2] to argv[14], those present, in the thirteen parameters in
// command-line order, each read with atoi. Further arguments are ignored.
void fuzzpedal_parse(int argc, char** argv);
