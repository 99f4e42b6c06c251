// A libjack client inside the test process. It stands in for peers (under any
// name), feeds prepared signals into the programs under test, records their
// outputs sample for sample, and lists and changes the server's graph.
//
// Ports and their buffers are set up before activate(); afterwards the process
// callback only copies between preallocated arrays and atomics. A client that
// both feeds and records a program forms a cycle in the graph, so use one client
// to feed and another to record when the order within a cycle matters.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "cycle_log.h"
#include "util.h"

namespace harness {

using recording::overrun_map;

class harness_client {
public:
    // Opens exactly `name` on `server`; throws if the server refuses or the name is taken.
    harness_client(const std::string& server, const std::string& name);
    ~harness_client();
    harness_client(const harness_client&) = delete;
    harness_client& operator=(const harness_client&) = delete;

    const std::string& name() const { return name_; }
    std::string port(const std::string& short_name) const { return name_ + ":" + short_name; }
    jack_nframes_t buffer_size() const { return jack_get_buffer_size(client_); }
    // Set once the server has shut this client down (the server died).
    bool server_gone() const { return server_gone_.load(); }
    // Cycles the server reported as overrun since the client opened. In such a
    // cycle the server gives no guarantee about the audio: blocks can be lost,
    // repeated or torn.
    int xruns() const { return int(cycle_log_.notices_seen()); }
    // Process cycles this client has run since activate().
    size_t cycles() const { return cycles_.load(); }

    // Before activate(): an output playing `signal` once after start_feed(), silent
    // otherwise; an input recording up to `capacity` frames after start_capture().
    void add_output(const std::string& short_name, std::vector<float> signal = {});
    void add_input(const std::string& short_name, size_t capacity);
    void activate();

    // From the next cycle on, every output plays its signal from its first sample.
    void start_feed();
    // From the next cycle on, every input records, until its capacity is full.
    void start_capture();
    // Until every output has played its whole signal.
    bool wait_fed(duration timeout) const;
    // Until `frames` frames are recorded (capped by each input's capacity).
    bool wait_captured(size_t frames, duration timeout) const;
    // What the input has recorded so far.
    std::vector<float> captured(const std::string& short_name) const;
    // Which recorded cycles an overrun may have reached, from this client's own
    // accounting: the server's frame time at each recorded cycle, which steps by
    // exactly one period between cycles that nothing disturbed, and the frame times
    // at which the server reported an overrun. Each touched cycle is widened by
    // `margin_cycles` on both sides, for the latency of the chain that fed it.
    overrun_map overruns(size_t margin_cycles = 2) const;

    // The graph: any ports of the server, by full name.
    bool connect(const std::string& source, const std::string& destination);
    bool disconnect(const std::string& source, const std::string& destination);
    // The ports connected to `port`; throws if there is no such port.
    std::vector<std::string> connections(const std::string& port) const;
    // The full names of a client's ports, in the server's order.
    std::vector<std::string> client_ports(const std::string& client) const;
    // Every port of the server.
    std::vector<std::string> all_ports() const;
    bool port_exists(const std::string& port) const;
    bool wait_for_port(const std::string& port, duration timeout) const;
    // JackPortIsInput/JackPortIsOutput/...; throws if there is no such port.
    int port_flags(const std::string& port) const;

private:
    struct output {
        std::string name;
        jack_port_t* port;
        std::vector<float> signal;
    };
    struct input {
        std::string name;
        jack_port_t* port;
        std::vector<float> buffer;
    };
    static int process(jack_nframes_t nframes, void* self);
    static void on_shutdown(void* self);
    static int on_xrun(void* self);
    jack_port_t* register_port(const std::string& short_name, unsigned long flags);

    jack_client_t* client_ = nullptr;
    std::string name_;
    bool active_ = false;
    std::vector<output> outputs_;
    std::vector<input> inputs_;
    size_t capture_capacity_ = 0;
    std::atomic<bool> feeding_{false}, capturing_{false}, server_gone_{false};
    std::atomic<size_t> fed_frames_{0}, captured_frames_{0}, cycles_{0};
    // The server's frame time of each recorded cycle and of each overrun notice
    // (room for 1024; later ones only count).
    recording::cycle_log cycle_log_;
};

// The overruns reported to `clients`, after a pause for notifications still on
// their way (the server sends them asynchronously).
template <class... Clients>
int settled_xruns(const Clients&... clients) {
    std::this_thread::sleep_for(100ms);
    return (clients.xruns() + ...);
}

}  // namespace harness
