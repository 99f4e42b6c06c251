// A studio on a network of the test's own, for JACK's network transport: the test
// process is the device (run_tests with isolation::shm_and_network gave it a network
// namespace and a /dev/shm of its own) and scripts/net-hosts makes the studio, a
// second host joined to it by a veth pair. The studio runs this machine's jackd
// (dummy backend) with netmanager loaded; a jack_server with `net_master` set to
// studio::address is a device of it, whose system ports are network channels that
// appear on the studio as <device>:from_slave_N and <device>:to_slave_N.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace harness {

class studio {
public:
    static constexpr const char* address = "10.77.0.1";

    // Makes the studio host, and a host for each of `other_devices` on its network,
    // and starts the studio's server at `period` frames; throws with what failed.
    // The hosts go away with this object, or with the test process.
    explicit studio(unsigned period, const std::vector<std::string>& other_devices = {});
    ~studio();
    studio(const studio&) = delete;
    studio& operator=(const studio&) = delete;

    // jackd -d dummy, then netmanager loaded into it; throws if either fails.
    void start_server();
    // SIGKILL, as a crash would.
    void kill_server();
    bool server_running() const;

    // Runs one of this machine's JACK tools (jack_lsp, jack_connect, ...) on the
    // studio against its server; false if it fails or takes over 10 s.
    bool jack_tool(const std::vector<std::string>& args, std::string* out = nullptr) const;
    // Until the studio lists `port`, or (`listed` false) lists its ports without it.
    bool wait_port(const std::string& port, bool listed, duration timeout) const;
    bool wait_for_port(const std::string& port, duration timeout) const {
        return wait_port(port, true, timeout);
    }
    bool wait_port_gone(const std::string& port, duration timeout) const {
        return wait_port(port, false, timeout);
    }
    bool connect(const std::string& source, const std::string& destination) const;

    // Starts a device of this machine's own JACK on host `name` (one of
    // other_devices), with one channel each way, under the name `name` on the studio.
    std::unique_ptr<child_process> start_other_device(const std::string& name) const;
    // Starts `command` on the studio as a client of its server.
    std::unique_ptr<child_process> start_on_studio(const std::vector<std::string>& command) const;
    // jack_tool() on host `name`, against its device's server.
    bool jack_tool_on(const std::string& name, const std::vector<std::string>& args,
                      std::string* out = nullptr) const;

    // Cuts this host's link to the studio, or brings it back.
    void link(bool up) const;

    // The overrun cycles in the server's log so far (jackd_overrun_lines).
    size_t overrun_lines() const;
    std::string server_log() const;

private:
    std::vector<std::string> on_host(const std::string& host,
                                     const std::vector<std::string>& command) const;
    void net_hosts(const std::vector<std::string>& args) const;

    unsigned period_;
    std::string dir_;
    std::unique_ptr<child_process> server_;
    std::string earlier_logs_;
};

}  // namespace harness
