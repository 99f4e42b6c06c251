#!/usr/bin/python3
"""The demo's summary: one line per program saying what it did, read from the
recordings and the logs (also kept in <results_dir>/summary.txt), a table of the
recordings (peak and RMS in dBFS, the server's overruns), whether the server ran in
real-time mode and, unless --no-pictures, one PNG per recording with its waveform over
its spectrogram.

    demo_report.py [--no-pictures] <results_dir> <recording.wav>...

The recordings are the recorder's mono 32-bit float WAV files with a 44-byte header;
<results_dir> holds loop.wav, the key samples, stats.txt with the recorder's counts and
logs/ with what the programs wrote. Runs with Debian's python3, which has numpy and
matplotlib.
"""
import os
import re
import struct
import sys

import numpy as np

SERVICE = "com.velmora.android.kel.IAndroidShm"
PROGRAMS = ["spinreel", "fuzzpedal", "tapdelay", "returnmix", "padplayer", "passthru",
            "memwarden", "wardenpeek", "wardencheck"]


def read_float_wav(path):
    with open(path, "rb") as f:
        header = f.read(44)
    if len(header) < 44 or header[0:4] != b"RIFF" or header[8:12] != b"WAVE":
        raise ValueError(path + ": not a WAV file")
    audio_format, channels, rate = struct.unpack_from("<HHI", header, 20)
    bits = struct.unpack_from("<H", header, 34)[0]
    if audio_format != 3 or channels != 1 or bits != 32:
        raise ValueError(path + ": not mono 32-bit float")
    return rate, np.fromfile(path, dtype="<f4", offset=44)


def read_pcm16(path):
    """A canonical 16-bit WAV file as int16 values, one column per channel."""
    with open(path, "rb") as f:
        header = f.read(44)
    channels = struct.unpack_from("<H", header, 22)[0]
    return np.fromfile(path, dtype="<i2", offset=44).reshape(-1, channels)


def read_stats(path):
    stats = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.partition(" ")
            stats[key] = value.strip()
    return stats


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return None


def dbfs(value):
    return "-inf" if value <= 0 else "%.1f" % (20 * np.log10(value))


def peak_of(x):
    return float(np.max(np.abs(x))) if len(x) else 0.0


def rms_of(x):
    return float(np.sqrt(np.mean(x.astype(np.float64) ** 2))) if len(x) else 0.0


def crest_db(x):
    rms = rms_of(x)
    return 20 * np.log10(peak_of(x) / rms) if rms > 0 else 0.0


# ---- what each program did ----

def loop_start(recorded, loop_channel):
    """The first frame of `recorded` at which spinreel starts the loop anew (it plays
    value / 32767 x 0.2), or None."""
    played = ((loop_channel.astype(np.float64) / 32767.0) * 0.2).astype(np.float32)
    probe = min(512, len(played))
    for start in np.flatnonzero(recorded[:max(0, len(recorded) - probe + 1)] == played[0]):
        if np.array_equal(recorded[start:start + probe], played[:probe]):
            return int(start)
    return None


def key_plays(keys_dir):
    """What padplayer plays on each key, as the float values of its output: key 1 all of
    its file's 16-bit values, keys 2 and 3 the first half, each at 0.3 of full scale."""
    plays = []
    for k in (1, 2, 3):
        values = read_pcm16(os.path.join(keys_dir, "key%d.wav" % k)).reshape(-1)
        count = len(values) if k == 1 else len(values) // 2
        plays.append(((values[:count].astype(np.float64) / 32767.0) * 0.3).astype(np.float32))
    return plays


def whole_plays(recorded, play):
    """Start frames at which `recorded` carries all of `play`."""
    n = len(play)
    candidates = np.flatnonzero(recorded[:max(0, len(recorded) - n + 1)] == play[0])
    return [int(c) for c in candidates if np.array_equal(recorded[c:c + n], play)]


def echo_of(x, y, rate, longest=1.0):
    """The delay (in samples) and gain of the echo in y = x + gain * y[n - delay]: the lag
    at which y's added part, y - x, best matches y itself, and the gain at that lag."""
    added = y.astype(np.float64) - x
    past = y.astype(np.float64)
    size = 1 << int(np.ceil(np.log2(2 * len(y))))
    correlation = np.fft.irfft(np.fft.rfft(added, size) * np.conj(np.fft.rfft(past, size)), size)
    lags = np.arange(int(0.001 * rate), min(int(longest * rate), len(y) // 2))
    delay = int(lags[np.argmax(correlation[lags])])
    energy = np.dot(past[:-delay], past[:-delay])
    gain = float(np.dot(added[delay:], past[:-delay]) / energy) if energy > 0 else 0.0
    return delay, gain


def log_records(text):
    """Android log lines "TAG P MM-DD HH:MM:SS pid tid message" as (tag, priority,
    message); a line of another form continues the message before it."""
    records = []
    pattern = re.compile(r"(\S+) ([VDIWEF]) \d\d-\d\d \d\d:\d\d:\d\d +\d+ +\d+ (.*)$")
    for line in text.splitlines():
        match = pattern.match(line)
        if match:
            records.append([match.group(1), match.group(2), match.group(3)])
        elif records:
            records[-1][2] += "\n" + line
    return [(tag, priority, message.strip()) for tag, priority, message in records]


WARDENCHECK_TESTS = ["increase_value_once", "increase_value_10times", "check_allocated",
                     "test_set_get_registry_index", "test_memset"]


def increments_pass(lines, count):
    """`count` increments, each a value line and its CHANGED line one higher at the same
    base, each starting where the one before ended."""
    value = re.compile(r"WardenCheck base=(0x[0-9a-f]+) Data=0x([0-9a-f]+)( CHANGED)?$")
    matches = [value.match(line) for line in lines]
    if len(lines) != 2 * count or not all(matches):
        return False
    previous = None
    for before, after in zip(matches[0::2], matches[1::2]):
        start, end = int(before.group(2), 16), int(after.group(2), 16)
        if (before.group(3) or not after.group(3) or before.group(1) != after.group(1) or
                end != start + 1 or (previous is not None and start != previous)):
            return False
        previous = end
    return True


def memset_pass(lines):
    """Each dump shows what the result line before it says it should."""
    if len(lines) != 4:
        return False
    pairs = list(zip(lines[0::2], lines[1::2]))
    return all(r.startswith("result : ") and d.startswith("memory dump : ") and
               r[len("result : "):] == d[len("memory dump : "):] for r, d in pairs) and \
        [r for r, _ in pairs] == ["result : 0 0 0 0", "result : -1 -1 -1 -1"]


def wardencheck_results(text):
    """Each of the five tests: "pass", "fail" or "not run", read from its log lines."""
    lines_of, current = {}, None
    for tag, _, message in log_records(text):
        if tag != "WardenCheck":
            continue
        heading = re.match(r"\*+test: (\w+)\*+$", message)
        if heading:
            current = heading.group(1)
            lines_of[current] = []
        elif current is not None:
            lines_of[current].append(message)
    judges = {
        "increase_value_once": lambda lines: increments_pass(lines, 1),
        "increase_value_10times": lambda lines: increments_pass(lines, 10),
        "check_allocated": lambda lines: lines == ["pass"],
        "test_set_get_registry_index": lambda lines: lines == ["pass", "pass"],
        "test_memset": memset_pass,
    }
    return [(name, "not run" if name not in lines_of else
             "pass" if judges[name](lines_of[name]) else "fail") for name in WARDENCHECK_TESTS]


def peek_summary(status, index):
    """wardenpeek's status and index output in a few words."""
    if status is None or index is None:
        return "did not run"
    if "not available" in status:
        return "found no service"
    allocated = re.findall(r"Mem\[ *(\d+)\] == 0x", status)
    total = len(re.findall(r"Mem\[ *\d+\] == ", status))
    where = " (Mem[%s])" % ", ".join(reversed(allocated)) if 0 < len(allocated) <= 4 else ""
    number = re.search(r"index \[ *(-?\d+)\]", index)
    registry = number.group(1) if number else "?"
    if number and int(registry) > 256:
        registry += " (no registry)"
    return "%d of %d buffers allocated%s, registry index %s" % (
        len(allocated), total, where, registry)


def exit_of(statuses, name):
    match = re.search(r"^%s \d+ exited with status (\d+)$" % name, statuses, re.M)
    if not match:
        return "was not stopped by the demo"
    status = int(match.group(1))
    if status == 0:
        return "ended with status 0"
    if status == 128 + 15:
        return "ended by SIGTERM"
    return "ended with status %d" % status


def connections_of(connections, client):
    """The lines "source -> destinations" that name the client."""
    found = []
    for line in (connections or "").splitlines():
        source, _, targets = line.strip().partition(" -> ")
        source = source.strip()
        if source.startswith(client + ":"):
            found.append("%s -> %s" % (source[len(client) + 1:], targets))
        else:
            ours = [t for t in targets.split(", ") if t.startswith(client + ":")]
            if ours:
                found.append("%s -> %s" % (source, ", ".join(t[len(client) + 1:] for t in ours)))
    return found


def suite_summary(results, tracks):
    """One line per program of the suite, from the recordings and the logs."""
    def log(name):
        return read_text(os.path.join(results, "logs", name))

    statuses = log("exit-statuses") or ""
    connections = log("connections")
    said = {}

    loop = read_pcm16(os.path.join(results, "loop.wav"))
    rate = int(read_stats(os.path.join(results, "stats.txt")).get("rate", "44100"))
    if "spinreel-output1" in tracks:
        left, right = tracks["spinreel-output1"], tracks.get("spinreel-output2", [])
        start = loop_start(left, loop[:, 0])
        anew = ("" if start is None else
                ", starting it anew at %.2f s of the recording at 0.2 of its level" % (start / rate))
        said["spinreel"] = ("looped loop.wav (%.1f s, stereo) into output1/2%s: peak %s / %s "
                            "dBFS; %s" % (len(loop) / rate, anew, dbfs(peak_of(left)),
                                          dbfs(peak_of(right)), exit_of(statuses, "spinreel")))
    source = tracks.get("spinreel-output1")
    if source is not None and "fuzzpedal-output1" in tracks:
        fuzz = tracks["fuzzpedal-output1"]
        said["fuzzpedal"] = ("distorted spinreel:output1: crest factor %.1f dB in, %.1f dB out "
                             "(clipped), RMS %s dBFS in, %s out; %s"
                             % (crest_db(source), crest_db(fuzz), dbfs(rms_of(source)),
                                dbfs(rms_of(fuzz)), exit_of(statuses, "fuzzpedal")))
    if source is not None and "tapdelay-output1" in tracks:
        delay, gain = echo_of(source, tracks["tapdelay-output1"], rate)
        said["tapdelay"] = ("echoed spinreel:output1: each repeat %.1f ms (%d samples) after "
                            "what it repeats, at %.2f of its level; %s"
                            % (1000.0 * delay / rate, delay, gain, exit_of(statuses, "tapdelay")))
    returnmix = connections_of(connections, "returnmix")
    said["returnmix"] = ("mixed the loopback return into its outputs (%s); %s"
                         % ("; ".join(returnmix) or "no connections", exit_of(statuses, "returnmix")))

    if "padplayer-output1" in tracks:
        out1, out2 = tracks["padplayer-output1"], tracks.get("padplayer-output2")
        counts = [len(whole_plays(out1, play)) for play in key_plays(results)]
        typed = (log("keys-typed") or "").strip()
        said["padplayer"] = ("played its keys from a private /sdcard: %d whole sounds in the "
                             "recording (key 1 %dx, key 2 %dx, key 3 %dx) of %d keys typed, %s "
                             "on both outputs; %s"
                             % (sum(counts), counts[0], counts[1], counts[2], len(typed),
                                "the same" if np.array_equal(out1, out2) else "NOT the same",
                                exit_of(statuses, "padplayer")))
    else:
        said["padplayer"] = "did not run (its private /sdcard needs a mount namespace: root)"

    passthru = connections_of(connections, "passthru")
    said["passthru"] = ("ran inside the server (%s), unloaded at the end" % "; ".join(passthru)
                        if passthru else "was not loaded (see logs/jack_load.log)")

    memwarden = log("memwarden.log")
    if memwarden is None:
        said["memwarden"] = "did not run"
    else:
        started = any(m == "MemWarden is starting now" for tag, _, m in log_records(memwarden)
                      if tag == "main_memwarden")
        status = log("wardenpeek-status.txt") or ""
        served = "Mem[" in status and "not available" not in status
        said["memwarden"] = ("%s %s in a runtime directory of the demo's own%s; %s"
                             % ("published" if served else "did not serve", SERVICE,
                                ", logging its start" if started else "",
                                exit_of(statuses, "memwarden")))
    said["wardenpeek"] = ("before wardencheck: %s; after: %s"
                          % (peek_summary(log("wardenpeek-status-before.txt"),
                                          log("wardenpeek-index-before.txt")),
                             peek_summary(log("wardenpeek-status.txt"), log("wardenpeek-index.txt"))))
    check = log("wardencheck.log")
    if check is None:
        said["wardencheck"] = "did not run"
    else:
        outcomes = wardencheck_results(check)
        passed = sum(1 for _, outcome in outcomes if outcome == "pass")
        said["wardencheck"] = "%d of 5 tests pass: %s" % (
            passed, ", ".join("%s %s" % pair for pair in outcomes))
    return [(name, said.get(name, "was not recorded")) for name in PROGRAMS]


# ---- pictures ----

def spectrogram_dbfs(samples, size=2048, hop=512):
    """Short-time spectrum levels in dB relative to a full-scale sine, floored at -120."""
    window = np.hanning(size)
    count = max(1, 1 + (len(samples) - size) // hop)
    padded = np.zeros(size + (count - 1) * hop)
    padded[:len(samples)] = samples[:len(padded)]
    frames = np.lib.stride_tricks.sliding_window_view(padded, size)[::hop] * window
    magnitude = np.abs(np.fft.rfft(frames, axis=1)) * 2 / window.sum()
    return (20 * np.log10(np.maximum(magnitude, 1e-6))).T


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def picture(path, samples, rate, title):
    plt = pyplot()
    fig, (wave_ax, spec_ax) = plt.subplots(2, 1, figsize=(10, 6), sharex=True)
    t = np.arange(len(samples)) / rate
    wave_ax.plot(t, samples, linewidth=0.4, color="tab:blue")
    wave_ax.set_ylabel("amplitude")
    wave_ax.set_ylim(-1.05, 1.05)
    wave_ax.set_title(title)
    wave_ax.grid(True, alpha=0.3)
    spec_ax.imshow(spectrogram_dbfs(samples), origin="lower", aspect="auto", cmap="magma",
                   vmin=-100, vmax=0, extent=(0, len(samples) / rate, 0, rate / 2))
    spec_ax.set_ylim(0, 8000)
    spec_ax.set_ylabel("frequency (Hz)")
    spec_ax.set_xlabel("time (s)")
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main():
    args = sys.argv[1:]
    pictures = True
    if args and args[0] == "--no-pictures":
        pictures = False
        args = args[1:]
    if len(args) < 2:
        sys.exit("usage: demo_report.py [--no-pictures] <results_dir> <recording.wav>...")
    results, recordings = args[0], args[1:]
    stats = read_stats(os.path.join(results, "stats.txt"))
    xruns = stats.get("xruns", "?")

    tracks, rows, made = {}, [], []
    rate = 44100
    for path in recordings:
        rate, samples = read_float_wav(path)
        name = os.path.basename(path)[:-4]
        tracks[name] = samples
        rows.append((name, dbfs(peak_of(samples)), dbfs(rms_of(samples)), xruns))

    summary = suite_summary(results, tracks)
    width = max(len(name) for name, _ in summary)
    lines = ["%-*s  %s" % (width, name, text) for name, text in summary]
    with open(os.path.join(results, "summary.txt"), "w") as f:
        f.write("".join(line + "\n" for line in lines))
    print("  what each program did:")
    for line in lines:
        print("  " + line)
    print()

    if pictures:
        for path in recordings:
            name = os.path.basename(path)[:-4]
            png = path[:-4] + ".png"
            picture(png, tracks[name], rate, "%s (%.1f s)" % (name, len(tracks[name]) / rate))
            made.append(png)

    widths = [max(len(r[i]) for r in rows + [("recording", "peak dBFS", "RMS dBFS", "xruns")])
              for i in range(4)]
    line = "  %-*s  %*s  %*s  %*s"
    print(line % (widths[0], "recording", widths[1], "peak dBFS", widths[2], "RMS dBFS",
                  widths[3], "xruns"))
    for r in rows:
        print(line % (widths[0], r[0], widths[1], r[1], widths[2], r[2], widths[3], r[3]))
    print("  %s frames at %s Hz, period %s; DSP load %s%% mean, %s%% at most; "
          "%s overruns during the recording"
          % (stats.get("frames", "?"), stats.get("rate", "?"), stats.get("period", "?"),
             stats.get("dsp_load_mean", "?"), stats.get("dsp_load_max", "?"), xruns))
    mode = {"1": "in real-time mode (SCHED_FIFO)", "0": "without real-time mode"}
    print("  the server ran " + mode.get(stats.get("realtime"), "in an unknown mode"))
    for png in made:
        print("  picture: " + png)


if __name__ == "__main__":
    main()
