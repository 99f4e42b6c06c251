// linkwatch's hooks into the client frame, its connections and its report.
#include "linkwatch.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "client_frame.h"
#include "exit_path.h"
#include "link_counter.h"
#include "stamp.h"

const char* const linkwatch_usage =
    "Usage : linkwatch send|receive <client_name> [--slave NAME] [--to PORT] [--from PORT]"
    " [--log FILE]\n";

namespace {

// Set before the client opens, read only afterwards.
bool receiving = false;
const char* slave_name = nullptr;  // receive: the slave to watch (default: the first)
const char* to_port = nullptr;     // where this end's stamps go (default: see below)
const char* from_port = nullptr;   // where the other end's stamps come from
int log_fd = -1;
timespec started{};
// Set once the client runs: a program that never ran has nothing to report.
std::atomic<bool> watching{false};

link_counter counter;
uint32_t cycles_run = 0;  // audio thread only
// The server's frame time at the start of the latest cycle counted, for the log: it
// places each row on the server's timeline, to within the cycle the take can split.
std::atomic<uint32_t> counted_frame_time{0};

// What keep_connected reports missing, so that each absence is said once.
std::string missing_said;
// Held by the main thread while it calls into the client, and for good once a signal's
// close begins: a connection made beside the close once ended the program by SIGSEGV.
std::mutex client_calls;

double seconds_since_start() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - started.tv_sec) + double(now.tv_nsec - started.tv_nsec) * 1e-9;
}

// Writes the line of the counts since the last, and its row in the log.
void report(double seconds) {
    const link_counts c = counter.take();
    const uint32_t frame_time = counted_frame_time.load(std::memory_order_relaxed);
    char trip[48] = "-", row_trip[32] = "- -";
    if (c.round_trip_max != 0) {
        snprintf(trip, sizeof trip, "%u..%u frames", c.round_trip_min, c.round_trip_max);
        snprintf(row_trip, sizeof row_trip, "%u %u", c.round_trip_min, c.round_trip_max);
    }
    char line[192];
    int length = snprintf(line, sizeof line,
                          "%7.1f s  %u on time, %u late, %u lost, %u repeated, round trip %s, "
                          "%u overruns\n",
                          seconds, c.on_time, c.late, c.lost, c.repeated, trip, c.overruns);
    // A stalled standard output loses lines, never holds up the watch; the log has all.
    write_without_blocking(STDOUT_FILENO, line, size_t(length));
    if (log_fd < 0) return;
    length = snprintf(line, sizeof line, "%.1f %u %u %u %u %s %u %u\n", seconds, c.on_time,
                      c.late, c.lost, c.repeated, row_trip, c.overruns, frame_time);
    [[maybe_unused]] ssize_t ignored = write(log_fd, line, size_t(length));
}

// The port among `ports` whose name ends in the highest number; empty for none.
std::string highest_numbered(const char** ports) {
    std::string best;
    long best_number = -1;
    for (size_t i = 0; ports != nullptr && ports[i] != nullptr; ++i) {
        const char* digits = strrchr(ports[i], '_');
        const long number = digits ? strtol(digits + 1, nullptr, 10) : -1;
        if (number > best_number) {
            best_number = number;
            best = ports[i];
        }
    }
    jack_free(ports);
    return best;
}

std::string regex_escaped(const char* text) {
    std::string escaped;
    for (; *text; ++text) {
        if (strchr(".^$|()[]{}*+?\\", *text)) escaped += '\\';
        escaped += *text;
    }
    return escaped;
}

// The first client that has network slave ports, or `slave_name`.
std::string slave_prefix() {
    if (slave_name != nullptr) return "^" + regex_escaped(slave_name) + ":";
    const char** ports = jack_get_ports(client, ":from_slave_[0-9]+$", JACK_DEFAULT_AUDIO_TYPE, 0);
    std::string prefix;
    if (ports != nullptr && ports[0] != nullptr) {
        prefix = "^" + regex_escaped(std::string(ports[0], strchr(ports[0], ':')).c_str()) + ":";
    }
    jack_free(ports);
    return prefix;
}

// The peer port `given`, or the highest-numbered one of `pattern` (a regular
// expression after `prefix`).
std::string peer_port(const char* given, const std::string& prefix, const char* pattern,
                      unsigned long flags) {
    if (given != nullptr) return jack_port_by_name(client, given) ? given : "";
    if (prefix.empty()) return "";
    return highest_numbered(
        jack_get_ports(client, (prefix + pattern).c_str(), JACK_DEFAULT_AUDIO_TYPE, flags));
}

void connect_once(const std::string& source, const std::string& destination) {
    if (jack_connect(client, source.c_str(), destination.c_str()) == 0) {
        char line[320];
        const int length = snprintf(line, sizeof line, "connected %s to %s\n", source.c_str(),
                                    destination.c_str());
        write_without_blocking(STDERR_FILENO, line, size_t(length));
    }
}

// Connects the stamps both ways where they are not, as the peer's ports come and go
// (a slave that leaves takes its ports along and brings new ones when it rejoins).
void keep_connected() {
    std::string to, from, missing;
    if (receiving) {
        const std::string prefix = slave_prefix();
        to = peer_port(to_port, prefix, "to_slave_[0-9]+$", JackPortIsInput);
        from = peer_port(from_port, prefix, "from_slave_[0-9]+$", JackPortIsOutput);
        if (to.empty() || from.empty()) {
            missing = slave_name ? std::string("the ports of ") + slave_name : "a network slave";
        }
    } else {
        to = peer_port(to_port, "^system:", "playback_[0-9]+$", JackPortIsInput);
        from = peer_port(from_port, "^system:", "capture_[0-9]+$", JackPortIsOutput);
        if (to.empty() || from.empty()) missing = "the system's playback and capture ports";
    }
    if (!to.empty() && !jack_port_connected_to(output_port1, to.c_str())) {
        connect_once(jack_port_name(output_port1), to);
    }
    if (!from.empty() && !jack_port_connected_to(input_port1, from.c_str())) {
        connect_once(from, jack_port_name(input_port1));
    }
    if (!missing.empty() && missing != missing_said) {
        const std::string line = "cannot find " + missing + "\n";
        write_without_blocking(STDERR_FILENO, line.data(), line.size());
    }
    missing_said = missing;
}

int on_overrun(void*) {
    counter.on_overrun();
    return 0;
}

bool parse_options(int argc, char** argv) {
    for (int i = 3; i < argc; i += 2) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        const char** target = !strcmp(option, "--slave") ? &slave_name
                              : !strcmp(option, "--to") ? &to_port
                              : !strcmp(option, "--from") ? &from_port
                              : nullptr;
        if (value != nullptr && target != nullptr) {
            *target = value;
        } else if (value != nullptr && !strcmp(option, "--log")) {
            // Appending: the exit path may write its last row while the main thread writes one.
            log_fd = open(value, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
            if (log_fd < 0) {
                fprintf(stderr, "cannot open %s: %s\n", value, strerror(errno));
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

bool linkwatch_prepare(int argc, char** argv, void**) {
    receiving = !strcmp(argv[1], "receive");
    if ((!receiving && strcmp(argv[1], "send") != 0) || !parse_options(argc, argv)) {
        fputs(linkwatch_usage, stderr);
        return false;
    }
    if (log_fd >= 0) {
        static const char header[] =
            "# seconds on_time late lost repeated round_trip_min round_trip_max overruns "
            "frame_time\n";
        [[maybe_unused]] ssize_t ignored = write(log_fd, header, sizeof header - 1);
    }
    argv[1] = argv[2];  // the frame opens the client under argv[1]
    clock_gettime(CLOCK_MONOTONIC, &started);
    return true;
}

void linkwatch_callbacks(void*) { jack_set_xrun_callback(client, on_overrun, nullptr); }

int linkwatch_process(jack_nframes_t nframes, void*) {
    // Cycles are counted, not read off the frame time: a network slave's frame time
    // now and then steps by two periods or by none, which would read as a lost and a
    // repeated stamp where every cycle crossed whole.
    const uint32_t own_cycle = ++cycles_run;
    const uint32_t echo = counter.on_cycle(own_cycle, input_buffer(input_port1, nframes), nframes);
    stamp_write(static_cast<float*>(jack_port_get_buffer(output_port1, nframes)), nframes,
                stamp_t{own_cycle, echo});
    counted_frame_time.store(jack_last_frame_time(client), std::memory_order_relaxed);
    return 0;
}

void linkwatch_main_loop() {
    watching.store(true);
    timespec next = started;
    for (;;) {
        {
            const std::lock_guard<std::mutex> calling(client_calls);
            keep_connected();
        }
        next.tv_sec += 1;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        if (receiving) report(seconds_since_start());
    }
}

void linkwatch_before_close() { client_calls.lock(); }

void linkwatch_drain() {
    if (receiving && watching.load()) report(seconds_since_start());
}
