// The life cycle that every standalone JACK client of the suite shares: check the
// command line, open the client, report the open status, install the callbacks,
// register the ports, activate, connect, install the termination handlers and park
// the main thread. Each program supplies only its hooks; the sequence lives here once.
#pragma once

#include "jack_realtime.h"

// The one client of this process and its ports. Written by the main thread before
// activation and only read afterwards, so the process callback reads them freely.
extern jack_client_t* client;
extern jack_port_t* output_port1;
extern jack_port_t* output_port2;
extern jack_port_t* input_port1;
extern jack_port_t* input_port2;
extern jack_port_t* feedback_port1;  // tapdelay and returnmix only
extern jack_port_t* feedback_port2;

// What a program adds to the common sequence. Null hooks are skipped.
struct client_program_t {
    const char* usage_line;   // written to stderr when argc < min_args
    int min_args;             // argument count including the program name
    bool has_feedback_ports;  // registers "feedback1" and "feedback2" as well
    // Registers one port each way, "output" and "input" (output_port1 and
    // input_port1), instead of the pairs.
    bool one_port_each;

    // Runs before the argument check (the effects set up their processors here).
    void (*before_args)();
    // Parses further arguments and loads data, before the open. Returns false to end
    // the program with status 1 (the hook has written its own message). May set the
    // argument that the process and shutdown callbacks receive. The client opens
    // under the name in argv[1] once it has run.
    bool (*prepare)(int argc, char** argv, void** callback_arg);
    JackProcessCallback process;
    // Installs further callbacks of the client, before it activates.
    void (*more_callbacks)(void* callback_arg);
    // Releases what the program owns when the server shuts the client down.
    void (*release)(void* callback_arg);
    // Makes the program's connections after activation.
    void (*connect)();
    // Replaces the default park (sleep for ever); must not return.
    void (*main_loop)();
    // Runs on the closing thread when a signal ends the program, before the client
    // closes: a main loop that calls into the client stops doing so here, since a
    // call beside the close can meet a client half torn down.
    void (*before_close)();
    // Writes what the program still holds for standard output, as far as it goes
    // without blocking; run on every way out.
    void (*drain_output)();
};

// Runs the whole life cycle; never returns. Every way out (a set-up failure, a
// signal, a server shutdown) ends the process within about two seconds, whatever
// standard input, standard output and the server are doing (exit_path.h).
[[noreturn]] void run_client(int argc, char** argv, const client_program_t& program);

// Connects one of this client's outputs to a peer's input port.
// Failure writes "cannot connect loopback output ports".
void connect_own_output(jack_port_t* own, const char* peer_input);
// Connects a peer's output port to one of this client's inputs.
// Failure writes "cannot connect loopback input ports".
void connect_own_input(const char* peer_output, jack_port_t* own);

// The buffer of a port for this cycle; a port whose registration failed reads as
// silence. Real-time safe: no allocation.
const float* input_buffer(jack_port_t* port, jack_nframes_t nframes) REALTIME_NONBLOCKING;
