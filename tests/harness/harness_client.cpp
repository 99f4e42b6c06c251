// The in-process JACK client of the tests.
#include "harness_client.h"

#include <algorithm>
#include <stdexcept>

namespace harness {

namespace {

std::vector<std::string> take_names(const char** names) {
    std::vector<std::string> out;
    for (const char** p = names; p && *p; ++p) out.emplace_back(*p);
    free(names);
    return out;
}

}  // namespace

harness_client::harness_client(const std::string& server, const std::string& name) {
    cycle_log_.reserve_notices(1024);
    jack_status_t status{};
    const auto options =
        static_cast<jack_options_t>(JackNoStartServer | JackServerName | JackUseExactName);
    client_ = jack_client_open(name.c_str(), options, &status, server.c_str());
    if (client_ == nullptr) {
        throw std::runtime_error("harness client " + name + " cannot open on " + server +
                                 ", status " + std::to_string(status));
    }
    name_ = jack_get_client_name(client_);
    jack_set_process_callback(client_, process, this);
    jack_on_shutdown(client_, on_shutdown, this);
    jack_set_xrun_callback(client_, on_xrun, this);
}

harness_client::~harness_client() { jack_client_close(client_); }

jack_port_t* harness_client::register_port(const std::string& short_name, unsigned long flags) {
    if (active_) throw std::logic_error("ports are added before activate()");
    jack_port_t* p =
        jack_port_register(client_, short_name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
    if (p == nullptr) throw std::runtime_error("cannot register " + port(short_name));
    return p;
}

void harness_client::add_output(const std::string& short_name, std::vector<float> signal) {
    outputs_.push_back({short_name, register_port(short_name, JackPortIsOutput), std::move(signal)});
}

void harness_client::add_input(const std::string& short_name, size_t capacity) {
    inputs_.push_back(
        {short_name, register_port(short_name, JackPortIsInput), std::vector<float>(capacity)});
    capture_capacity_ = std::max(capture_capacity_, capacity);
}

void harness_client::activate() {
    // One entry a recorded cycle, and one for a last, partial cycle.
    cycle_log_.reserve_cycles(capture_capacity_ / buffer_size() + 2);
    if (jack_activate(client_) != 0) throw std::runtime_error("cannot activate " + name_);
    active_ = true;
}

int harness_client::process(jack_nframes_t nframes, void* arg) {
    auto& self = *static_cast<harness_client*>(arg);
    self.cycles_.fetch_add(1, std::memory_order_relaxed);

    const bool feeding = self.feeding_.load(std::memory_order_acquire);
    const size_t fed = self.fed_frames_.load(std::memory_order_relaxed);
    for (auto& o : self.outputs_) {
        auto* out = static_cast<float*>(jack_port_get_buffer(o.port, nframes));
        size_t n = 0;
        if (feeding && fed < o.signal.size()) {
            n = std::min<size_t>(nframes, o.signal.size() - fed);
            std::copy_n(o.signal.data() + fed, n, out);
        }
        std::fill(out + n, out + nframes, 0.0f);
    }
    if (feeding) self.fed_frames_.store(fed + nframes, std::memory_order_release);

    const size_t have = self.captured_frames_.load(std::memory_order_relaxed);
    if (self.capturing_.load(std::memory_order_acquire) && have < self.capture_capacity_) {
        for (auto& i : self.inputs_) {
            if (have >= i.buffer.size()) continue;
            const auto* in = static_cast<const float*>(jack_port_get_buffer(i.port, nframes));
            std::copy_n(in, std::min<size_t>(nframes, i.buffer.size() - have), i.buffer.data() + have);
        }
        self.cycle_log_.note_cycle(jack_last_frame_time(self.client_));
        self.captured_frames_.store(std::min(have + nframes, self.capture_capacity_),
                                    std::memory_order_release);
    }
    return 0;
}

void harness_client::on_shutdown(void* self) {
    static_cast<harness_client*>(self)->server_gone_.store(true);
}

int harness_client::on_xrun(void* arg) {
    // Notifications come one at a time, on the library's notification thread.
    auto& self = *static_cast<harness_client*>(arg);
    self.cycle_log_.note_notice(jack_frame_time(self.client_));
    return 0;
}

void harness_client::start_feed() { feeding_.store(true, std::memory_order_release); }
void harness_client::start_capture() { capturing_.store(true, std::memory_order_release); }

bool harness_client::wait_fed(duration timeout) const {
    size_t longest = 0;
    for (const auto& o : outputs_) longest = std::max(longest, o.signal.size());
    return wait_until([&] { return fed_frames_.load() >= longest; }, timeout);
}

bool harness_client::wait_captured(size_t frames, duration timeout) const {
    frames = std::min(frames, capture_capacity_);
    return wait_until([&] { return captured_frames_.load() >= frames; }, timeout);
}

std::vector<float> harness_client::captured(const std::string& short_name) const {
    const size_t have = captured_frames_.load(std::memory_order_acquire);
    for (const auto& i : inputs_) {
        if (i.name == short_name) {
            const auto n = static_cast<std::ptrdiff_t>(std::min(have, i.buffer.size()));
            return {i.buffer.begin(), i.buffer.begin() + n};
        }
    }
    throw std::invalid_argument("no input " + short_name);
}

overrun_map harness_client::overruns(size_t margin_cycles) const {
    // Notices of the last cycles may still be on their way.
    std::this_thread::sleep_for(100ms);
    const jack_nframes_t block = buffer_size();
    return cycle_log_.account().overruns(
        block, margin_cycles, recording::notice_lag(block, jack_get_sample_rate(client_)));
}

bool harness_client::connect(const std::string& source, const std::string& destination) {
    return jack_connect(client_, source.c_str(), destination.c_str()) == 0;
}

bool harness_client::disconnect(const std::string& source, const std::string& destination) {
    return jack_disconnect(client_, source.c_str(), destination.c_str()) == 0;
}

std::vector<std::string> harness_client::connections(const std::string& port) const {
    jack_port_t* p = jack_port_by_name(client_, port.c_str());
    if (p == nullptr) throw std::invalid_argument("no port " + port);
    return take_names(jack_port_get_all_connections(client_, p));
}

std::vector<std::string> harness_client::all_ports() const {
    return take_names(jack_get_ports(client_, nullptr, nullptr, 0));
}

std::vector<std::string> harness_client::client_ports(const std::string& client) const {
    std::vector<std::string> ports = all_ports();
    const std::string prefix = client + ":";
    ports.erase(std::remove_if(ports.begin(), ports.end(),
                               [&](const std::string& p) { return p.rfind(prefix, 0) != 0; }),
                ports.end());
    return ports;
}

bool harness_client::port_exists(const std::string& port) const {
    return jack_port_by_name(client_, port.c_str()) != nullptr;
}

bool harness_client::wait_for_port(const std::string& port, duration timeout) const {
    return wait_until([&] { return port_exists(port); }, timeout);
}

int harness_client::port_flags(const std::string& port) const {
    jack_port_t* p = jack_port_by_name(client_, port.c_str());
    if (p == nullptr) throw std::invalid_argument("no port " + port);
    return jack_port_flags(p);
}

}  // namespace harness
