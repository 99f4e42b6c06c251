// wardencheck: runs its series of tests against the shared-memory service and
// writes the results to the Android log. Takes no arguments; always exits with 0.
#include "wardencheck.h"

int main() {
    run_all_tests();
    return 0;
}
