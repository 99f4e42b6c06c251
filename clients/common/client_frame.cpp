// The shared start-up sequence, shutdown and signal handling of the standalone clients.
#include "client_frame.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exit_path.h"
#include "helper_thread.h"

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

// The way out on a signal, made before the client opens: the handler writes a
// byte to `signal_pipe`; client_closer reads it, closes the client and reports on
// `closing_pipe`; signal_watcher bounds the close and ends the process. A client
// that a signal killed unclosed could wedge a synchronous server for good.
int signal_pipe[2] = {-1, -1};
int closing_pipe[2] = {-1, -1};
// Set once a termination signal has arrived: the signal's way out (status 0) then
// wins over a server shutdown that the same moment may bring.
std::atomic<bool> signal_received{false};

// How long a close may take before the program leaves without it: a server that
// is being stopped at the same moment can wedge and never answer.
constexpr int close_bound_ms = 1000;

void on_shutdown(void* arg) {
    if (signal_received.load()) return;  // signal_watcher is already ending the process
    if (running_program->release) running_program->release(arg);
    leave_process(1, nullptr);
}

extern "C" void on_signal(int) {
    const char byte = 1;
    // Nothing else here: write() is async-signal-safe, closing a client is not.
    [[maybe_unused]] ssize_t ignored = write(signal_pipe[1], &byte, 1);
}

// A close racing the server's own end can fail deep inside the client library: on
// 32-bit ARM its channel thread, cancelled in the middle of a read from the dying
// server, has ended in std::terminate. Once the program leaves on a signal, such an
// abort only stalls the thread it hits, and the bounded wait for the close then
// ends the process as it does when a close wedges.
extern "C" void stall_aborting_thread(int) {
    for (;;) pause();
}

// Reads until a byte arrives; false when the pipe can no longer deliver one.
bool await_byte(int fd) {
    char byte;
    for (;;) {
        const ssize_t n = read(fd, &byte, 1);
        if (n == 1) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

void send_byte(int fd) {
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
}

// These threads start before the client opens, so they do not inherit the SIGPIPE
// block that libjack sets on the thread that opens it: a close that writes to a
// server that is already gone must get EPIPE, not end the process by SIGPIPE.
void block_broken_pipe_signal() {
    sigset_t broken_pipe;
    sigemptyset(&broken_pipe);
    sigaddset(&broken_pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
}

void* client_closer(void*) {
    block_broken_pipe_signal();
    if (!await_byte(signal_pipe[0])) return nullptr;
    signal_received.store(true);
    struct sigaction stall {};
    stall.sa_handler = stall_aborting_thread;
    sigaction(SIGABRT, &stall, nullptr);
    send_byte(closing_pipe[1]);  // the close starts now
    if (running_program->before_close) running_program->before_close();
    jack_client_close(client);
    send_byte(closing_pipe[1]);  // and has ended
    return nullptr;
}

void* signal_watcher(void*) {
    block_broken_pipe_signal();
    if (!await_byte(closing_pipe[0])) return nullptr;
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(close_bound_ms);
    pollfd closed{closing_pipe[0], POLLIN, 0};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0 || poll(&closed, 1, int(left)) >= 0 || errno != EINTR) break;
    }
    leave_process(0, "signal received, exiting ...\n");
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

// Makes the pipes and starts the two threads of the signal path. Returns false
// after writing one line that names what failed.
bool prepare_signal_path() {
    const char* failed = nullptr;
    int error = 0;
    if (pipe2(signal_pipe, O_CLOEXEC) != 0 || pipe2(closing_pipe, O_CLOEXEC) != 0) {
        failed = "the signal pipe";
        error = errno;
    } else if ((error = start_helper_thread(client_closer, nullptr)) != 0 ||
               (error = start_helper_thread(signal_watcher, nullptr)) != 0) {
        failed = "the signal thread";
    }
    if (failed == nullptr) {
        // A burst of signals must never block the handler on a full pipe.
        fcntl(signal_pipe[1], F_SETFL, O_NONBLOCK);
        return true;
    }
    fprintf(stderr, "cannot set up %s: %s\n", failed, strerror(error));
    return false;
}

void install_signal_handlers() {
    bsd_signal(SIGQUIT, on_signal);
    bsd_signal(SIGTERM, on_signal);
    bsd_signal(SIGHUP, on_signal);
    bsd_signal(SIGINT, on_signal);
    // The main thread may sit in a read that never returns (padplayer's key loop):
    // the signals go to another thread, so that a runtime that delivers a handler
    // only between calls (ThreadSanitizer's) never holds one back behind that read.
    sigset_t termination;
    sigemptyset(&termination);
    for (int signum : {SIGQUIT, SIGTERM, SIGHUP, SIGINT}) sigaddset(&termination, signum);
    pthread_sigmask(SIG_BLOCK, &termination, nullptr);
}

jack_port_t* register_port(const char* short_name, unsigned long flags) {
    return jack_port_register(client, short_name, JACK_DEFAULT_AUDIO_TYPE, flags, 0);
}

}  // namespace

void run_client(int argc, char** argv, const client_program_t& program) {
    running_program = &program;
    set_exit_drain(program.drain_output);
    if (program.before_args) program.before_args();

    if (argc < program.min_args) {
        fputs(program.usage_line, stderr);
        exit(1);
    }
    void* callback_arg = nullptr;
    if (program.prepare && !program.prepare(argc, argv, &callback_arg)) exit(1);
    const char* client_name = argv[1];
    if (!prepare_signal_path()) exit(1);

    jack_status_t open_status{};
    client = jack_client_open(client_name, JackNullOption, &open_status);
    if (client == nullptr) {
        // Precision 0 and width 2 on purpose: users' scripts match this text byte for byte.
        char message[96];
        snprintf(message, sizeof message,
                 "jack_client_open() failed, status = 0x%2.0x\n%s",
                 static_cast<unsigned>(open_status),
                 (open_status & JackServerFailed) ? "Unable to connect to JACK server\n" : "");
        leave_process(1, message);
    }
    if (open_status & JackServerStarted) fputs("JACK server started\n", stderr);
    if (open_status & JackNameNotUnique) {
        fprintf(stderr, "unique name `%s' assigned\n", jack_get_client_name(client));
    }

    jack_set_process_callback(client, program.process, callback_arg);
    jack_on_shutdown(client, on_shutdown, callback_arg);

    if (program.more_callbacks) program.more_callbacks(callback_arg);

    if (program.one_port_each) {
        output_port1 = register_port("output", JackPortIsOutput);
        input_port1 = register_port("input", JackPortIsInput);
    } else {
        output_port1 = register_port("output1", JackPortIsOutput);
        output_port2 = register_port("output2", JackPortIsOutput);
        input_port1 = register_port("input1", JackPortIsInput);
        input_port2 = register_port("input2", JackPortIsInput);
    }
    if (program.has_feedback_ports) {
        feedback_port1 = register_port("feedback1", JackPortIsInput);
        feedback_port2 = register_port("feedback2", JackPortIsInput);
    }
    if (output_port1 == nullptr || (!program.one_port_each && output_port2 == nullptr)) {
        leave_process(1, "no more JACK ports available\n");
    }

    if (jack_activate(client) != 0) {
        // No newline on purpose: users' scripts match this text byte for byte.
        leave_process(1, "cannot activate client");
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
