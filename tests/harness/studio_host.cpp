// The studio host of the network tests, made by scripts/net-hosts.
#include "studio_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "jack_server.h"
#include "target_config.h"
#include "util.h"

namespace harness {

namespace {

// The studio, and any device but this process, is a machine of its own kind: it
// runs this machine's JACK, whatever the programs under test are built for.
const std::string studio_jack_bin = "/usr/bin/";

std::vector<std::string> server_env(const std::string& server) {
    return {"JACK_DEFAULT_SERVER=" + server, "JACK_NO_START_SERVER=1", "JACK_NO_AUDIO_RESERVATION=1"};
}
const std::vector<std::string> studio_env = server_env("studio");

}  // namespace

studio::studio(unsigned period, const std::vector<std::string>& other_devices)
    : period_(period), dir_(make_test_subdir("net-hosts")) {
    // This process is the device; the other hosts are made, and watch this process.
    const std::string pid = std::to_string(getpid());
    std::vector<std::string> up{"up", dir_, pid, "studio", "device=" + pid};
    up.insert(up.end(), other_devices.begin(), other_devices.end());
    net_hosts(up);
    try {
        start_server();
    } catch (...) {
        net_hosts({"down", dir_});
        throw;
    }
}

studio::~studio() {
    if (server_) server_->stop(2s);
    try {
        net_hosts({"down", dir_});
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
}

void studio::net_hosts(const std::vector<std::string>& args) const {
    child_process run(net_hosts_script, args);
    const auto status = run.wait(30s);
    if (!status || status->code != 0) {
        if (!status) run.stop(1s);
        throw std::runtime_error("net-hosts " + args.front() + " failed: " + run.err());
    }
}

std::vector<std::string> studio::on_host(const std::string& host,
                                        const std::vector<std::string>& command) const {
    std::vector<std::string> args{"run", dir_, host};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

void studio::start_server() {
    if (server_) earlier_logs_ += server_->out() + server_->err();
    std::vector<std::string> args = jackd_args("studio");
    args.insert(args.end(), {"-d", "dummy", "-r", "44100", "-p", std::to_string(period_), "-C",
                             "2", "-P", "2"});
    args.insert(args.begin(), studio_jack_bin + "jackd");
    server_ = std::make_unique<child_process>(net_hosts_script, on_host("studio", args), studio_env);
    std::string out;
    if (!jack_tool({"jack_wait", "-w", "-t", "10"}) || !jack_tool({"jack_load", "netmanager"}, &out)) {
        throw std::runtime_error("the studio's server did not come up with netmanager:\n" + out +
                                 server_log());
    }
}

void studio::kill_server() {
    server_->signal(SIGKILL);
    server_->wait(10s);
}

bool studio::server_running() const { return server_ && server_->running(); }

bool studio::jack_tool(const std::vector<std::string>& args, std::string* out) const {
    return jack_tool_on("studio", args, out);
}

std::unique_ptr<child_process> studio::start_other_device(const std::string& name) const {
    std::vector<std::string> args = jackd_args(name);
    args.insert(args.begin(), studio_jack_bin + "jackd");
    args.insert(args.end(), {"-d", "net", "-a", address, "-n", name, "-l", "2", "-C", "1", "-P", "1"});
    return std::make_unique<child_process>(net_hosts_script, on_host(name, args), server_env(name));
}

std::unique_ptr<child_process> studio::start_on_studio(
    const std::vector<std::string>& command) const {
    return std::make_unique<child_process>(net_hosts_script, on_host("studio", command), studio_env);
}

bool studio::jack_tool_on(const std::string& name, const std::vector<std::string>& args,
                          std::string* out) const {
    std::vector<std::string> command = args;
    command.front() = studio_jack_bin + command.front();
    child_process tool(net_hosts_script, on_host(name, command), server_env(name));
    const auto status = tool.wait(10s);
    if (!status) tool.stop(1s);
    if (out) *out = tool.out() + tool.err();
    return status && status->code == 0;
}

bool studio::wait_port(const std::string& port, bool listed, duration timeout) const {
    return wait_until(
        [&] {
            std::string out;
            if (!jack_tool({"jack_lsp"}, &out)) return false;
            const auto all = split_lines(out);
            return (std::find(all.begin(), all.end(), port) != all.end()) == listed;
        },
        timeout);
}

bool studio::connect(const std::string& source, const std::string& destination) const {
    return jack_tool({"jack_connect", source, destination});
}

void studio::link(bool up) const { net_hosts({"link", dir_, "device", up ? "up" : "down"}); }

size_t studio::overrun_lines() const { return jackd_overrun_lines(server_log()); }

std::string studio::server_log() const {
    return earlier_logs_ + (server_ ? server_->out() + server_->err() : std::string());
}

}  // namespace harness
