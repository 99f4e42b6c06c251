// The shared start-up sequence, shutdown and signal handling of the standalone clients.
#include "client_frame.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

jack_client_t* client = nullptr;
jack_port_t* output_port1 = nullptr;
jack_port_t* output_port2 = nullptr;
jack_port_t* input_port1 = nullptr;
jack_port_t* input_port2 = nullptr;
jack_port_t* feedback_port1 = nullptr;
jack_port_t* feedback_port2 = nullptr;

namespace {

const client_program_t* running_program = nullptr;

// JACK2 never runs a period longer than 8192 frames, so this covers every cycle.
constexpr jack_nframes_t max_period_frames = 8192;
const float silence[max_period_frames] = {};

// The signal handler only writes a byte here; signal_watcher does the rest.
int signal_pipe[2] = {-1, -1};

void on_shutdown(void* arg) {
    if (running_program->release) running_program->release(arg);
    // The library calls this from its own thread: skip the static destructors,
    // which could wait on that very thread, but keep what stdio has buffered.
    fflush(nullptr);
    _exit(1);
}

extern "C" void on_signal(int) {
    const char byte = 1;
    // Nothing else here: write() is async-signal-safe, closing a client is not.
    [[maybe_unused]] ssize_t ignored = write(signal_pipe[1], &byte, 1);
}

void* signal_watcher(void*) {
    char byte;
    while (read(signal_pipe[0], &byte, 1) != 1) {
    }
    jack_client_close(client);
    fputs("signal received, exiting ...\n", stderr);
    fflush(nullptr);
    _exit(0);
}

#if !defined(__ANDROID__)
// glibc no longer declares bsd_signal, which the device's C library has. This is its
// meaning: the handler stays installed, the signal is blocked while it runs, and
// interrupted system calls restart.
using signal_handler_t = void (*)(int);
signal_handler_t bsd_signal(int signum, signal_handler_t handler) {
    struct sigaction action {}, previous {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, signum);
    action.sa_flags = SA_RESTART;
    if (sigaction(signum, &action, &previous) != 0) return SIG_ERR;
    return previous.sa_handler;
}
#endif

void install_signal_handlers() {
    pthread_t watcher;
    if (pipe(signal_pipe) != 0 ||
        pthread_create(&watcher, nullptr, signal_watcher, nullptr) != 0) {
        // Without the watcher a signal keeps its default action and ends the process.
        return;
    }
    bsd_signal(SIGQUIT, on_signal);
    bsd_signal(SIGTERM, on_signal);
    bsd_signal(SIGHUP, on_signal);
    bsd_signal(SIGINT, on_signal);
}

jack_port_t* register_port(const char* short_name, unsigned long flags) {
    return jack_port_register(client, short_name, JACK_DEFAULT_AUDIO_TYPE, flags, 0);
}

}  // namespace

void run_client(int argc, char** argv, const client_program_t& program) {
    running_program = &program;
    if (program.before_args) program.before_args();

    if (argc < program.min_args) {
        fputs(program.usage_line, stderr);
        exit(1);
    }
    const char* client_name = argv[1];
    void* callback_arg = nullptr;
    if (program.prepare && !program.prepare(argc, argv, &callback_arg)) exit(1);

    jack_status_t open_status{};
    client = jack_client_open(client_name, JackNullOption, &open_status);
    if (client == nullptr) {
        fprintf(stderr, "jack_client_open() failed, status = 0x%2.0x\n",
                static_cast<unsigned>(open_status));
        if (open_status & JackServerFailed) fputs("Unable to connect to JACK server\n", stderr);
        exit(1);
    }
    if (open_status & JackServerStarted) fputs("JACK server started\n", stderr);
    if (open_status & JackNameNotUnique) {
        fprintf(stderr, "unique name `%s' assigned\n", jack_get_client_name(client));
    }

    jack_set_process_callback(client, program.process, callback_arg);
    jack_on_shutdown(client, on_shutdown, callback_arg);

    output_port1 = register_port("output1", JackPortIsOutput);
    output_port2 = register_port("output2", JackPortIsOutput);
    input_port1 = register_port("input1", JackPortIsInput);
    input_port2 = register_port("input2", JackPortIsInput);
    if (program.has_feedback_ports) {
        feedback_port1 = register_port("feedback1", JackPortIsInput);
        feedback_port2 = register_port("feedback2", JackPortIsInput);
    }
    if (output_port1 == nullptr || output_port2 == nullptr) {
        fputs("no more JACK ports available\n", stderr);
        exit(1);
    }

    if (jack_activate(client) != 0) {
        fputs("cannot activate client", stderr);
        exit(1);
    }

    if (program.connect) program.connect();

    install_signal_handlers();

    if (program.main_loop) program.main_loop();
    for (;;) sleep(1);
}

void connect_own_output(jack_port_t* own, const char* peer_input) {
    if (own == nullptr || jack_connect(client, jack_port_name(own), peer_input) != 0) {
        fputs("cannot connect loopback output ports\n", stderr);
    }
}

void connect_own_input(const char* peer_output, jack_port_t* own) {
    if (own == nullptr || jack_connect(client, peer_output, jack_port_name(own)) != 0) {
        fputs("cannot connect loopback input ports\n", stderr);
    }
}

const float* input_buffer(jack_port_t* port, jack_nframes_t nframes) {
    if (port == nullptr) return silence;
    return static_cast<const float*>(jack_port_get_buffer(port, nframes));
}
