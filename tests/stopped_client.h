// The frame of the small test-only JACK clients: SIGTERM and SIGINT are blocked
// before the client library starts its threads, so that only the main thread's
// sigwait takes them; the client then serves until one arrives and closes.
#pragma once

#include <jack/jack.h>
#include <signal.h>

#include <cstdio>

// Blocks the stop signals and opens `name` on the running server; null, after a
// message on stderr, when the server refuses.
inline jack_client_t* open_stoppable_client(const char* name, sigset_t* stop_signals) {
    sigemptyset(stop_signals);
    sigaddset(stop_signals, SIGTERM);
    sigaddset(stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, stop_signals, nullptr);

    jack_status_t status{};
    jack_client_t* client = jack_client_open(name, JackNoStartServer, &status);
    if (client == nullptr) {
        fprintf(stderr, "cannot open a client, status 0x%x\n", static_cast<unsigned>(status));
    }
    return client;
}

// Writes "active", waits for a stop signal, closes the client; gives exit status 0.
inline int serve_until_stopped(jack_client_t* client, const sigset_t& stop_signals) {
    puts("active");
    fflush(stdout);
    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    jack_client_close(client);
    return 0;
}
