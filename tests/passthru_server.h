// A test server that finds the built plug-in by name, as an installed server finds
// the installed one. For the tests that define PASSTHRU_PATH.
#pragma once

#include <string>

#include "harness.h"

inline harness::server_options passthru_server_options() {
    const std::string path = PASSTHRU_PATH;
    harness::server_options options;
    options.loopback = false;
    options.internal_dir = path.substr(0, path.rfind('/'));
#ifdef SANITIZER_RUNTIME
    // An instrumented plug-in needs its sanitizer's runtime loaded first in the
    // uninstrumented server; the server's own leaks at exit are not ours to report.
    options.env = {"LD_PRELOAD=" SANITIZER_RUNTIME, "ASAN_OPTIONS=detect_leaks=0"};
#endif
    return options;
}
