// Fills the client table of the server that JACK_DEFAULT_SERVER names: opens clients
// until the server refuses one (or `max` are open), prints how many it holds, and
// keeps them until SIGTERM, when it leaves without closing them; the server drops
// the clients of a process that is gone. Closing hundreds of clients of one process
// one by one can deadlock inside libjack.
#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const long max = argc > 1 ? std::atol(argv[1]) : 100000;
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    long open = 0;
    for (; open < max; ++open) {
        jack_status_t status{};
        const std::string name = "filler" + std::to_string(open);
        if (jack_client_open(name.c_str(), JackNoStartServer, &status) == nullptr) break;
    }
    std::printf("%ld\n", open);
    std::fflush(stdout);
    int signal_number = 0;
    sigwait(&stop, &signal_number);
    _exit(0);
}
