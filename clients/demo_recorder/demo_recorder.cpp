// demo_recorder <out_dir> <seconds> [<port>...]: records the named output ports of a
// running JACK server in the same cycles, each into <out_dir>/<client>-<port>.wav
// (32-bit float, canonical 44-byte header, each file appearing whole or not at all),
// and writes <out_dir>/stats.txt with the overruns the server reported, the DSP load
// it showed during the recording and whether it runs in real-time mode. With no port
// it records nothing and only counts, which gives the same figures for a server
// without the clients it would record.
// Connects to the server named by JACK_DEFAULT_SERVER (or the default one).
#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wav_file.h"

namespace {

struct track_t {
    std::string source;  // full name of the recorded port
    jack_port_t* port;
    std::vector<float> samples;
};

jack_client_t* client = nullptr;
std::vector<track_t> tracks;
size_t capacity = 0;
std::atomic<bool> recording{false};
std::atomic<bool> server_gone{false};
std::atomic<size_t> recorded{0};
std::atomic<int> xruns{0};
volatile sig_atomic_t stop_requested = 0;

// Runs on the process thread: copies whole cycles until every track is full.
int process(jack_nframes_t nframes, void*) {
    if (!recording.load(std::memory_order_acquire)) return 0;
    const size_t at = recorded.load(std::memory_order_relaxed);
    const size_t n = std::min<size_t>(nframes, capacity - at);
    if (n == 0) return 0;
    for (auto& t : tracks) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(t.port, nframes));
        std::memcpy(t.samples.data() + at, in, n * sizeof(float));
    }
    recorded.store(at + n, std::memory_order_release);
    return 0;
}

int on_xrun(void*) {
    if (recording.load()) ++xruns;
    return 0;
}

void on_shutdown(void*) { server_gone = true; }

void on_signal(int) { stop_requested = 1; }

std::string file_name_of(std::string port) {
    std::replace(port.begin(), port.end(), ':', '-');
    return port + ".wav";
}

bool all_connected() {
    for (const auto& t : tracks) {
        if (!jack_port_connected_to(t.port, t.source.c_str())) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: demo_recorder <out_dir> <seconds> [<port>...]\n");
        return 2;
    }
    const std::string out_dir = argv[1];
    const double seconds = atof(argv[2]);
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    jack_status_t status{};
    client = jack_client_open("demo_recorder", JackNoStartServer, &status);
    if (client == nullptr) {
        fprintf(stderr, "demo_recorder: cannot open a client (status 0x%x)\n", status);
        return 1;
    }
    const uint32_t rate = jack_get_sample_rate(client);
    capacity = static_cast<size_t>(seconds * rate);
    jack_set_process_callback(client, process, nullptr);
    jack_set_xrun_callback(client, on_xrun, nullptr);
    jack_on_shutdown(client, on_shutdown, nullptr);
    for (int i = 3; i < argc; ++i) {
        const std::string name = "in" + std::to_string(i - 2);
        jack_port_t* p = jack_port_register(client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsInput, 0);
        if (p == nullptr) {
            fprintf(stderr, "demo_recorder: cannot register %s\n", name.c_str());
            jack_client_close(client);
            return 1;
        }
        tracks.push_back({argv[i], p, std::vector<float>(capacity)});
    }
    if (jack_activate(client) != 0) {
        fprintf(stderr, "demo_recorder: cannot activate\n");
        jack_client_close(client);
        return 1;
    }
    for (const auto& t : tracks) {
        if (jack_connect(client, t.source.c_str(), jack_port_name(t.port)) != 0) {
            fprintf(stderr, "demo_recorder: cannot connect %s\n", t.source.c_str());
            jack_client_close(client);
            return 1;
        }
    }
    // The server applies connections at a cycle boundary; record only once all hold,
    // and then a little later, so that every track starts in the same cycle.
    using namespace std::chrono_literals;
    for (int i = 0; i < 200 && !all_connected(); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);
    recording.store(true, std::memory_order_release);

    // Samples the load ten times a second while the tracks fill.
    double load_sum = 0, load_max = 0;
    int load_samples = 0;
    while (recorded.load() < capacity && !server_gone && !stop_requested) {
        std::this_thread::sleep_for(100ms);
        const double load = jack_cpu_load(client);
        load_sum += load;
        load_max = std::max(load_max, load);
        ++load_samples;
    }
    recording.store(false);
    // Overrun notifications arrive asynchronously; let late ones in.
    std::this_thread::sleep_for(100ms);
    const jack_nframes_t period = jack_get_buffer_size(client);
    const int realtime = jack_is_realtime(client);
    jack_deactivate(client);
    jack_client_close(client);

    const size_t frames = recorded.load();
    bool ok = frames == capacity;
    for (const auto& t : tracks) {
        const std::string path = out_dir + "/" + file_name_of(t.source);
        std::string reason;
        if (!wav_write_float(path, 1, rate, t.samples.data(), frames, &reason)) {
            fprintf(stderr, "demo_recorder: %s: %s\n", path.c_str(), reason.c_str());
            ok = false;
        }
    }
    const std::string stats = out_dir + "/stats.txt";
    if (FILE* f = fopen(stats.c_str(), "w")) {
        fprintf(f, "rate %u\nperiod %u\nframes %zu\nxruns %d\n", rate, period, frames,
                xruns.load());
        fprintf(f, "dsp_load_mean %.2f\ndsp_load_max %.2f\nrealtime %d\n",
                load_samples ? load_sum / load_samples : 0.0, load_max, realtime);
        ok = fclose(f) == 0 && ok;
    } else {
        ok = false;
    }
    if (frames != capacity) {
        fprintf(stderr, "demo_recorder: recorded %zu of %zu frames%s\n", frames, capacity,
                server_gone ? " (the server went away)" : "");
    }
    return ok ? 0 : 1;
}
