// demo_recorder <out_dir> <seconds> [<port>...]: records the named output ports of a
// running JACK server in the same cycles, each into <out_dir>/<client>-<port>.wav
// (32-bit float, canonical 44-byte header, each file appearing whole or not at all),
// and writes <out_dir>/stats.txt with the overruns the server reported, the DSP load
// it showed during the recording and whether it runs in real-time mode, and
// <out_dir>/cycles.txt with its own accounting of the cycles: the server's frame time
// at each cycle it recorded and at each overrun notice, and for each recorded cycle
// whether an overrun may have reached it (clients/recording/cycles_file.h). With no
// port it records nothing and only counts, which gives the same figures for a server
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

#include "cycle_log.h"
#include "cycles_file.h"
#include "wav_file.h"

namespace {

// Each touched cycle of cycles.txt is widened by this many cycles on both sides, for
// the latency of the chain that fed the recorded ports.
constexpr size_t touched_margin_cycles = 2;

struct options {
    std::string out_dir;
    double seconds = 0;
    std::vector<std::string> sources;  // full names of the ports to record
};

struct track {
    std::string source;
    jack_port_t* port;
    std::vector<float> samples;
};

// What the callbacks share with the main thread. Everything but the atomics is set
// up before activation.
struct recorder {
    jack_client_t* client = nullptr;
    std::uint32_t rate = 0;
    std::vector<track> tracks;
    size_t capacity = 0;
    std::atomic<bool> capturing{false};
    std::atomic<bool> server_gone{false};
    std::atomic<size_t> recorded{0};
    std::atomic<int> xruns{0};  // notices while capturing
    // Every notice since activation is noted, also those before and after the
    // recording: a notice comes late, and cycles are matched to notices by frame time.
    recording::cycle_log cycle_log;
};

// What the server showed while the tracks filled.
struct session {
    double load_mean = 0, load_max = 0;
    jack_nframes_t period = 0;
    int realtime = 0;
};

volatile sig_atomic_t stop_requested = 0;

// Runs on the process thread: copies whole cycles until every track is full.
int process(jack_nframes_t nframes, void* arg) {
    auto& r = *static_cast<recorder*>(arg);
    if (!r.capturing.load(std::memory_order_acquire)) return 0;
    const size_t at = r.recorded.load(std::memory_order_relaxed);
    const size_t n = std::min<size_t>(nframes, r.capacity - at);
    if (n == 0) return 0;
    for (auto& t : r.tracks) {
        const auto* in = static_cast<const float*>(jack_port_get_buffer(t.port, nframes));
        std::memcpy(t.samples.data() + at, in, n * sizeof(float));
    }
    r.cycle_log.note_cycle(jack_last_frame_time(r.client));
    r.recorded.store(at + n, std::memory_order_release);
    return 0;
}

// Runs on the library's notification thread, one notice at a time.
int on_xrun(void* arg) {
    auto& r = *static_cast<recorder*>(arg);
    if (r.capturing.load()) ++r.xruns;
    r.cycle_log.note_notice(jack_frame_time(r.client));
    return 0;
}

void on_shutdown(void* arg) { static_cast<recorder*>(arg)->server_gone = true; }

void on_signal(int) { stop_requested = 1; }

std::string file_name_of(std::string port) {
    std::replace(port.begin(), port.end(), ':', '-');
    return port + ".wav";
}

bool all_connected(const recorder& r) {
    for (const auto& t : r.tracks) {
        if (!jack_port_connected_to(t.port, t.source.c_str())) return false;
    }
    return true;
}

bool parse(int argc, char** argv, options& o) {
    if (argc < 3) {
        fprintf(stderr, "usage: demo_recorder <out_dir> <seconds> [<port>...]\n");
        return false;
    }
    o.out_dir = argv[1];
    o.seconds = atof(argv[2]);
    o.sources.assign(argv + 3, argv + argc);
    return true;
}

// Opens the client, makes room for the whole recording, registers an input per
// source, activates and connects; on failure says why and leaves nothing open.
bool open_and_register(recorder& r, const options& o) {
    jack_status_t status{};
    r.client = jack_client_open("demo_recorder", JackNoStartServer, &status);
    if (r.client == nullptr) {
        fprintf(stderr, "demo_recorder: cannot open a client (status 0x%x)\n", status);
        return false;
    }
    r.rate = jack_get_sample_rate(r.client);
    r.capacity = static_cast<size_t>(o.seconds * r.rate);
    // A time per cycle, and one for a last, partial one; as many notices, which is
    // more than a server that still records anything reports.
    const size_t cycles_at_most = r.capacity / jack_get_buffer_size(r.client) + 2;
    r.cycle_log.reserve_cycles(cycles_at_most);
    r.cycle_log.reserve_notices(cycles_at_most);
    jack_set_process_callback(r.client, process, &r);
    jack_set_xrun_callback(r.client, on_xrun, &r);
    jack_on_shutdown(r.client, on_shutdown, &r);
    const auto give_up = [&] {
        jack_client_close(r.client);
        return false;
    };
    for (size_t i = 0; i < o.sources.size(); ++i) {
        const std::string name = "in" + std::to_string(i + 1);
        jack_port_t* p = jack_port_register(r.client, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsInput, 0);
        if (p == nullptr) {
            fprintf(stderr, "demo_recorder: cannot register %s\n", name.c_str());
            return give_up();
        }
        r.tracks.push_back({o.sources[i], p, std::vector<float>(r.capacity)});
    }
    if (jack_activate(r.client) != 0) {
        fprintf(stderr, "demo_recorder: cannot activate\n");
        return give_up();
    }
    for (const auto& t : r.tracks) {
        if (jack_connect(r.client, t.source.c_str(), jack_port_name(t.port)) != 0) {
            fprintf(stderr, "demo_recorder: cannot connect %s\n", t.source.c_str());
            return give_up();
        }
    }
    return true;
}

// Records until the tracks are full, the server is gone or a signal asks to stop,
// sampling the load ten times a second; then closes the client.
session record(recorder& r) {
    // The server applies connections at a cycle boundary; record only once all hold,
    // and then a little later, so that every track starts in the same cycle.
    using namespace std::chrono_literals;
    for (int i = 0; i < 200 && !all_connected(r); ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);
    r.capturing.store(true, std::memory_order_release);

    session s;
    double load_sum = 0;
    int load_samples = 0;
    while (r.recorded.load() < r.capacity && !r.server_gone && !stop_requested) {
        std::this_thread::sleep_for(100ms);
        const double load = jack_cpu_load(r.client);
        load_sum += load;
        s.load_max = std::max(s.load_max, load);
        ++load_samples;
    }
    r.capturing.store(false);
    // Overrun notifications arrive asynchronously; let late ones in.
    std::this_thread::sleep_for(100ms);
    s.load_mean = load_samples ? load_sum / load_samples : 0.0;
    s.period = jack_get_buffer_size(r.client);
    s.realtime = jack_is_realtime(r.client);
    jack_deactivate(r.client);
    jack_client_close(r.client);
    return s;
}

// The tracks, stats.txt and cycles.txt; false if any is not written or the tracks
// are short.
bool write_files(const recorder& r, const options& o, const session& s) {
    const size_t frames = r.recorded.load();
    bool ok = frames == r.capacity;
    for (const auto& t : r.tracks) {
        const std::string path = o.out_dir + "/" + file_name_of(t.source);
        std::string reason;
        if (!wav_write_float(path, 1, r.rate, t.samples.data(), frames, &reason)) {
            fprintf(stderr, "demo_recorder: %s: %s\n", path.c_str(), reason.c_str());
            ok = false;
        }
    }
    const std::string stats = o.out_dir + "/stats.txt";
    if (FILE* f = fopen(stats.c_str(), "w")) {
        fprintf(f, "rate %u\nperiod %u\nframes %zu\nxruns %d\n", r.rate, s.period, frames,
                r.xruns.load());
        fprintf(f, "dsp_load_mean %.2f\ndsp_load_max %.2f\nrealtime %d\n", s.load_mean,
                s.load_max, s.realtime);
        ok = fclose(f) == 0 && ok;
    } else {
        ok = false;
    }
    return recording::write_cycles_file(o.out_dir + "/cycles.txt", s.period,
                                        r.cycle_log.account(), touched_margin_cycles,
                                        recording::notice_lag(s.period, r.rate)) &&
           ok;
}

}  // namespace

int main(int argc, char** argv) {
    options o;
    if (!parse(argc, argv, o)) return 2;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    recorder r;
    if (!open_and_register(r, o)) return 1;
    const session s = record(r);
    const bool ok = write_files(r, o, s);
    if (r.recorded.load() != r.capacity) {
        fprintf(stderr, "demo_recorder: recorded %zu of %zu frames%s\n", r.recorded.load(),
                r.capacity, r.server_gone ? " (the server went away)" : "");
    }
    return ok ? 0 : 1;
}
