// demo_recorder <out_dir> <seconds> [<port>...]: records the named output ports of a
// running JACK server in the same cycles, each into <out_dir>/<client>-<port>.wav
// (32-bit float, canonical 44-byte header, each file appearing whole or not at all),
// and writes <out_dir>/stats.txt with the overruns the server reported, the DSP load
// it showed during the recording and whether it runs in real-time mode, and
// <out_dir>/cycles.txt with its own accounting of the cycles: the server's frame time
// at each cycle it recorded and at each overrun notice, from which a reader can tell
// which recorded cycles an overrun may have reached. With no port it records nothing
// and only counts, which gives the same figures for a server without the clients it
// would record.
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
// The server's frame time at the start of each recorded cycle, and at each overrun
// notice since activation (also those before and after the recording: a notice comes
// late, and the reader matches notices to cycles by their frame times). Allocated
// before activation; each is written by one thread only, which then publishes the
// count.
std::vector<jack_nframes_t> cycle_times;
std::atomic<size_t> cycles_kept{0};
std::vector<jack_nframes_t> notice_times;
std::atomic<size_t> notices_seen{0};
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
    const size_t cycle = cycles_kept.load(std::memory_order_relaxed);
    if (cycle < cycle_times.size()) {
        cycle_times[cycle] = jack_last_frame_time(client);
        cycles_kept.store(cycle + 1, std::memory_order_release);
    }
    recorded.store(at + n, std::memory_order_release);
    return 0;
}

// Runs on the library's notification thread, one notice at a time.
int on_xrun(void*) {
    if (recording.load()) ++xruns;
    const size_t seen = notices_seen.load(std::memory_order_relaxed);
    if (seen < notice_times.size()) notice_times[seen] = jack_frame_time(client);
    notices_seen.store(seen + 1, std::memory_order_release);
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

// cycles.txt: the period; "notices <seen> <kept>" (fewer kept than seen when there
// were more than it had room for, and then a reader knows too little); a line
// "cycle <frame time>" per recorded cycle in order, the last one possibly partial;
// a line "notice <frame time>" per overrun notice kept.
bool write_cycles(const std::string& path, jack_nframes_t period) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const size_t cycles = cycles_kept.load(std::memory_order_acquire);
    const size_t seen = notices_seen.load(std::memory_order_acquire);
    const size_t kept = std::min(seen, notice_times.size());
    fprintf(f, "period %u\nnotices %zu %zu\n", period, seen, kept);
    for (size_t k = 0; k < cycles; ++k) fprintf(f, "cycle %u\n", cycle_times[k]);
    for (size_t k = 0; k < kept; ++k) fprintf(f, "notice %u\n", notice_times[k]);
    return fclose(f) == 0;
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
    // A time per cycle, and one for a last, partial one; as many notices, which is
    // more than a server that still records anything reports.
    const size_t cycles_at_most = capacity / jack_get_buffer_size(client) + 2;
    cycle_times.assign(cycles_at_most, 0);
    notice_times.assign(cycles_at_most, 0);
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
    ok = write_cycles(out_dir + "/cycles.txt", period) && ok;
    if (frames != capacity) {
        fprintf(stderr, "demo_recorder: recorded %zu of %zu frames%s\n", frames, capacity,
                server_gone ? " (the server went away)" : "");
    }
    return ok ? 0 : 1;
}
