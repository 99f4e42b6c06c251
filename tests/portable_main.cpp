// The main of the tests that need no server: they run unprivileged and on any
// target (under qemu-arm too), so there is no mount namespace, only the removal of
// the test's file directory at the end (kept when a test failed).
#include <gtest/gtest.h>

#include "util.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    harness::finish_test_dir(result != 0);
    return result;
}
