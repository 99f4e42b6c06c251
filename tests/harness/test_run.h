// The isolation that a JACK test program runs its tests in (test_run.cpp).
#pragma once

namespace harness {

enum class isolation {
    shm,              // a mount namespace of its own with an empty /dev/shm
    shm_and_network,  // that, and a network namespace of its own: a host of its own
};

// Runs the tests of this program (gtest's command line) in `level`; the result of
// RUN_ALL_TESTS, or 2 when the isolation cannot be had. Call first in main, before
// any thread exists.
int run_tests(int argc, char** argv, isolation level);

}  // namespace harness
