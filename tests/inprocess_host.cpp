// Runs passthru.so's own code in an ordinary JACK client, for the real-time tests.
// RealtimeSanitizer's runtime exists only as a static library, linked into each
// program built with it; it cannot be preloaded into the uninstrumented jackd that
// loads the real plug-in. So this program is built with the sanitizer from the
// plug-in's own source (inprocess.cpp) and calls the plug-in's jack_initialize on
// its client: the same ports, connections and `inprocess` callback, run by the
// client library's real-time thread instead of the server's (the same client code
// of JACK serves both). Writes "active" once set up; exits 0 on SIGTERM or SIGINT.
//   inprocess_host <client_name>
#include <jack/jack.h>

#include <cstdio>

#include "inprocess.h"
#include "stopped_client.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("Usage : inprocess_host <client_name>\n", stderr);
        return 2;
    }
    sigset_t stop_signals;
    jack_client_t* client = open_stoppable_client(argv[1], &stop_signals);
    if (client == nullptr) return 1;
    // Registers, activates and connects, as in the server.
    if (jack_initialize(client, nullptr) != 0) return 1;
    // The plug-in's record stays allocated: only the server learns its address, as
    // the argument that it hands to jack_finish.
    return serve_until_stopped(client, stop_signals);
}
