// The main of every JACK test program but those that make a host of their own.
#include "test_run.h"

int main(int argc, char** argv) { return harness::run_tests(argc, argv, harness::isolation::shm); }
