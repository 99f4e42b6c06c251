// How every JACK test program runs its tests. Before any test runs, the process
// moves into a mount namespace of its own with an empty tmpfs on /dev/shm, where
// jackd keeps its sockets and its registry of (at most eight) servers. Servers,
// programs under test and the in-process client all run inside it, so a killed
// server leaves nothing behind and tests running in parallel never see each other.
#include "test_run.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util.h"

namespace {

bool enter_private_shm() {
    auto fail = [](const char* what) {
        std::fprintf(stderr, "test harness: %s failed: %s (the JACK tests run as root)\n", what,
                     std::strerror(errno));
        return false;
    };
    // Must come before any thread exists: a multithreaded process cannot unshare.
    if (unshare(CLONE_NEWNS) != 0) return fail("unshare(CLONE_NEWNS)");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail("making / private");
    }
    if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
        return fail("mounting tmpfs on /dev/shm");
    }
    return true;
}

// A network namespace of its own, with its loopback interface up: a host of its
// own on a network that the test builds.
bool enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "test harness: unshare(CLONE_NEWNET) failed: %s\n", std::strerror(errno));
        return false;
    }
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = sock >= 0 && ioctl(sock, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ioctl(sock, SIOCSIFFLAGS, &request) == 0);
    if (!up) std::fprintf(stderr, "test harness: bringing lo up failed: %s\n", std::strerror(errno));
    if (sock >= 0) close(sock);
    return up;
}

}  // namespace

namespace harness {

int run_tests(int argc, char** argv, isolation level) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (as test discovery does at build time) needs no namespace.
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    if (!enter_private_shm()) return 2;
    if (level == isolation::shm_and_network && !enter_private_network()) return 2;
    // A program under test that exits while a test writes to its stdin must not end the test.
    signal(SIGPIPE, SIG_IGN);

    const int result = RUN_ALL_TESTS();
    finish_test_dir(result != 0);
    return result;
}

}  // namespace harness
