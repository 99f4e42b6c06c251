#!/usr/bin/python3
"""The demo's summary: one line per program saying what it did, read from the
recordings and the logs (also kept in <results_dir>/summary.txt), a table of the
recordings (peak and RMS in dBFS), the server's overruns during the recording and with
the server idle, whether the server ran in real-time mode and, unless --no-pictures, an
overview figure (overview.png: the loop, fuzzpedal's and tapdelay's output, a 20 ms zoom
on the clipping and the spectra) and one PNG per recording with its waveform over its
spectrogram.

    demo_report.py [--no-pictures] <results_dir> <recording.wav>...

The recordings are the recorder's mono 32-bit float WAV files with a 44-byte header;
<results_dir> holds loop.wav, the key samples, stats.txt with the recorder's counts,
stats-idle.txt with its counts for the server without the suite's clients and logs/
with what the programs wrote. Runs with Debian's python3, which has numpy and
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


def echo_of(x, y, rate, longest=1.0, block=128):
    """The delay (in samples) and gain of the echo in y = x + gain * y[n - delay]: the lag
    at which y's added part, y - x, best matches y itself, and the gain at that lag, fitted
    over the blocks whose added part is a scaled copy of y a delay earlier.

    A cycle that the server overran can lose or repeat a block of the echo or of the
    recording, and puts the recorded echo out of step with the recorded output for up to
    a delay after it. There the added part is no copy of y, and a fit that took those
    blocks in would pull the gain towards 0 by as much as the overruns broke."""
    added = y.astype(np.float64) - x
    past = y.astype(np.float64)
    size = 1 << int(np.ceil(np.log2(2 * len(y))))
    correlation = np.fft.irfft(np.fft.rfft(added, size) * np.conj(np.fft.rfft(past, size)), size)
    lags = np.arange(int(0.001 * rate), min(int(longest * rate), len(y) // 2))
    delay = int(lags[np.argmax(correlation[lags])])
    count = (len(y) - delay) // block * block
    now = added[delay:delay + count].reshape(-1, block)
    then = past[:count].reshape(-1, block)
    cross, energy = np.sum(now * then, axis=1), np.sum(then * then, axis=1)
    # Intact blocks correlate to within the roundings of single precision (above
    # 0.99999); blocks an overrun broke stay below 0.99.
    intact = (energy > 0) & (cross ** 2 > 0.9999 ** 2 * energy * np.sum(now * now, axis=1))
    gain = float(np.sum(cross[intact]) / np.sum(energy[intact])) if np.any(intact) else 0.0
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


def suite_summary(results, tracks, echo):
    """One line per program of the suite, from the recordings and the logs; `echo` is
    tapdelay's (delay, gain) as echo_of measured them, or None."""
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
    if echo is not None:
        delay, gain = echo
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


def average_spectrum_dbfs(samples, size=4096):
    """The mean power spectrum over Hann windows, in dB relative to a full-scale sine."""
    window = np.hanning(size)
    frames = np.lib.stride_tricks.sliding_window_view(samples.astype(np.float64), size)[::size // 2]
    power = np.mean(np.abs(np.fft.rfft(frames * window, axis=1)) ** 2, axis=0)
    return 10 * np.log10(np.maximum(power * 4 / window.sum() ** 2, 1e-14))


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


def squarest_window(y, length):
    """The start of the `length`-sample window in which y's peak stands least above its
    RMS level: the nearest the output comes to a square wave."""
    y = y.astype(np.float64)
    best, best_at = np.inf, 0
    for at in range(0, len(y) - length + 1, length // 4):
        window = y[at:at + length]
        rms = rms_of(window)
        if rms > 0 and peak_of(window) / rms < best:
            best, best_at = peak_of(window) / rms, at
    return best_at


def peak_levels(y):
    """The median height of y's crests and of its troughs (local extremes beyond half
    of y's peak)."""
    inner = y[1:-1]
    crests = inner[(inner > y[:-2]) & (inner >= y[2:]) & (inner > 0.5 * np.max(y))]
    troughs = inner[(inner < y[:-2]) & (inner <= y[2:]) & (inner < 0.5 * np.min(y))]
    return (float(np.median(crests)) if len(crests) else 0.0,
            float(np.median(troughs)) if len(troughs) else 0.0)


IN_COLOUR, FUZZ_COLOUR, ECHO_COLOUR, REPEAT_COLOUR = "0.3", "tab:red", "tab:blue", "tab:orange"


def overview(path, results, tracks, rate, echo):
    """The figure to look at first: the loop; what fuzzpedal and tapdelay made of it,
    side by side; 20 ms of the distortion up close; and the three spectra. `echo` is
    tapdelay's (delay, gain), the figures of the summary."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from demo_loop import PHRASE
    plt = pyplot()
    source = tracks["spinreel-output1"]
    fuzz, echoed = tracks["fuzzpedal-output1"], tracks["tapdelay-output1"]
    loop_values = read_pcm16(os.path.join(results, "loop.wav"))
    loop = loop_values / 32768.0
    seconds = len(source) / rate
    # The effects are shown over one pass of the loop, from its start, under the loop
    # itself; a recording shorter than that is shown whole.
    first = loop_start(source, loop_values[:, 0])
    aligned = first is not None and first + len(loop) <= len(source)
    shown = slice(first, first + len(loop)) if aligned else slice(0, len(source))
    x_label = ("time in the loop (s), its pass from %.2f s of the recording" % (first / rate)
               if aligned else "time in the recording (s)")

    fig = plt.figure(figsize=(15, 12))
    grid = fig.add_gridspec(3, 2, height_ratios=[0.8, 1, 1.15], hspace=0.5, wspace=0.16,
                            left=0.06, right=0.98, top=0.92, bottom=0.06)
    fig.suptitle("The demo at a glance: the loop, then what fuzzpedal and tapdelay made of it "
                 "(%.1f s recorded at %d Hz)" % (seconds, rate), fontsize=15, weight="bold")

    ax = fig.add_subplot(grid[0, :])
    t = np.arange(len(loop)) / rate
    ax.plot(t, loop[:, 0], linewidth=0.5, color="tab:green", label="left")
    ax.plot(t, loop[:, 1], linewidth=0.5, color="tab:olive", alpha=0.7, label="right")
    names = {196.00: "G3", 246.94: "B3", 293.66: "D4", 329.63: "E4", 392.00: "G4"}
    for start, frequency, _ in PHRASE:
        ax.text(start + 0.01, 0.93, names.get(frequency, "%.0f Hz" % frequency), fontsize=9,
                va="top", weight="bold")
    ax.set_xlim(0, len(loop) / rate)
    ax.set_ylim(-1, 1)
    ax.set_title("The loop: loop.wav, eight plucked notes, each a little left or right; "
                 "spinreel plays it over and over at 0.2 of this level", loc="left")
    ax.set_xlabel("time in the loop (s)")
    ax.set_ylabel("amplitude (full scale 1)")
    ax.legend(loc="upper right", ncol=2, fontsize=9)
    ax.grid(True, alpha=0.3)

    delay, gain = echo
    limit = 1.1 * max(peak_of(fuzz), peak_of(echoed), peak_of(source))
    zoom_length = int(0.020 * rate)
    zoom_at = shown.start + squarest_window(fuzz[shown], zoom_length)
    t = np.arange(shown.stop - shown.start) / rate
    source_shown, fuzz_shown, echo_shown = source[shown], fuzz[shown], echoed[shown]

    ax = fig.add_subplot(grid[1, 0])
    ax.plot(t, fuzz_shown, linewidth=0.4, color=FUZZ_COLOUR, label="its output")
    ax.plot(t, source_shown, linewidth=0.4, color=IN_COLOUR, label="its input, spinreel:output1")
    ax.axvspan((zoom_at - shown.start) / rate, (zoom_at - shown.start + zoom_length) / rate,
               color="gold", alpha=0.8, label="the 20 ms below")
    ax.set_title("fuzzpedal:output1: the loop distorted, every note as loud as the next\n"
                 "(crest factor %.1f dB in, %.1f dB out; RMS %s dBFS in, %s dBFS out)"
                 % (crest_db(source), crest_db(fuzz), dbfs(rms_of(source)), dbfs(rms_of(fuzz))),
                 loc="left", fontsize=11)
    ax.set_ylabel("amplitude (full scale 1)")

    right = fig.add_subplot(grid[1, 1], sharey=ax)
    right.plot(t, echo_shown, linewidth=0.4, color=ECHO_COLOUR, label="its output")
    right.plot(t, echo_shown.astype(np.float64) - source_shown, linewidth=0.4,
               color=REPEAT_COLOUR, label="the echoes alone (output - input)")
    # The loudest attack that leaves room for three echoes, and where they land.
    room = max(2, len(source_shown) - 3 * delay)
    onset = int(np.argmax(np.abs(np.diff(np.abs(source_shown[:room].astype(np.float64))))))
    for k in range(4):
        right.axvline((onset + k * delay) / rate, color="k", linestyle=":", linewidth=1)
        right.text((onset + k * delay) / rate, 0.93 * limit, " note" if k == 0 else " echo %d" % k,
                   fontsize=8, va="top")
    right.set_title("tapdelay:output1: the loop with its echoes, each %.0f ms after what it\n"
                    "repeats, at %.2f of its level (measured from the recordings)"
                    % (1000.0 * delay / rate, gain), loc="left", fontsize=11)
    for a in (ax, right):
        a.set_xlim(0, len(t) / rate)
        a.set_ylim(-limit, limit)
        a.set_xlabel(x_label)
        a.legend(loc="lower right", fontsize=8)
        a.grid(True, alpha=0.3)

    ax = fig.add_subplot(grid[2, 0])
    window = slice(zoom_at, zoom_at + zoom_length)
    ms = 1000.0 * np.arange(zoom_length) / rate
    scale = peak_of(fuzz[window]) / max(peak_of(source[window]), 1e-9)
    ax.plot(ms, source[window] * scale, color=IN_COLOUR, linewidth=1.2, linestyle="--",
            label="its input x %.1f (scaled to the output's height)" % scale)
    ax.plot(ms, fuzz[window], color=FUZZ_COLOUR, linewidth=1.6, label="fuzzpedal:output1")
    crest, trough = peak_levels(fuzz[window])
    for level in (crest, trough):
        ax.axhline(level, color="k", linestyle=":", linewidth=1.2)
    boxed = dict(facecolor="white", edgecolor="none", alpha=0.8, pad=1)
    ax.text(0.3, crest, "the output's crests all stop here", fontsize=9, va="bottom", bbox=boxed)
    ax.text(0.3, trough, "and its troughs here", fontsize=9, va="top", bbox=boxed)
    ax.set_xlim(0, 20)
    ax.set_ylim(-1.4 * peak_of(fuzz[window]), 1.4 * peak_of(fuzz[window]))
    ax.set_title("20 ms up close, from %.2f s %s: clipped. The input's peaks differ, the\n"
                 "output's are all of one height; the 130 Hz high-pass after the clipper makes "
                 "its flat tops sag" % ((zoom_at - shown.start) / rate,
                                        "in the loop" if aligned else "of the recording"),
                 loc="left", fontsize=11)
    ax.set_xlabel("time (ms)")
    ax.set_ylabel("amplitude (full scale 1)")
    ax.legend(loc="lower right", fontsize=9)
    ax.grid(True, alpha=0.3)

    ax = fig.add_subplot(grid[2, 1])
    frequencies = np.fft.rfftfreq(4096, 1.0 / rate)
    for y, colour, label in [(fuzz, FUZZ_COLOUR, "fuzzpedal:output1"),
                             (echoed, ECHO_COLOUR, "tapdelay:output1"),
                             (source, IN_COLOUR, "input, spinreel:output1")]:
        ax.semilogx(frequencies[1:], average_spectrum_dbfs(y)[1:], color=colour, linewidth=1.0,
                    label=label)
    ax.set_xlim(40, rate / 2)
    ax.set_ylim(-130, -10)
    ax.set_title("Average spectra: the distortion raises the level by %.0f dB and adds\n"
                 "harmonics up to its 5 kHz filter; the echo keeps the input's spectrum"
                 % (20 * np.log10(rms_of(fuzz) / max(rms_of(source), 1e-12))),
                 loc="left", fontsize=11)
    ax.set_xlabel("frequency (Hz)")
    ax.set_ylabel("level (dB re full-scale sine)")
    ax.legend(loc="lower left", fontsize=9)
    ax.grid(True, which="both", alpha=0.3)

    fig.savefig(path, dpi=90)
    plt.close(fig)


def seconds_of(stats):
    try:
        return int(stats["frames"]) / int(stats["rate"])
    except (KeyError, ValueError, ZeroDivisionError):
        return None


def idle_floor(stats, idle):
    """The server's overruns without the suite's clients, said beside the recording's."""
    if idle is None:
        return "the idle server's were not counted"
    seconds, idle_seconds = seconds_of(stats), seconds_of(idle)
    span = ("the same %g s" % seconds if seconds is not None and seconds == idle_seconds
            else "%g s" % idle_seconds if idle_seconds is not None else "a stretch")
    return ("%s with the server idle for %s before the clients started"
            % (idle.get("xruns", "?"), span))


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
    idle_path = os.path.join(results, "stats-idle.txt")
    idle = read_stats(idle_path) if os.path.exists(idle_path) else None

    tracks, rows, made = {}, [], []
    rate = 44100
    for path in recordings:
        rate, samples = read_float_wav(path)
        name = os.path.basename(path)[:-4]
        tracks[name] = samples
        rows.append((name, dbfs(peak_of(samples)), dbfs(rms_of(samples))))

    # Measured once, for the summary's line and the overview's label alike.
    echo = None
    if "spinreel-output1" in tracks and "tapdelay-output1" in tracks:
        echo = echo_of(tracks["spinreel-output1"], tracks["tapdelay-output1"], rate)
    summary = suite_summary(results, tracks, echo)
    width = max(len(name) for name, _ in summary)
    lines = ["%-*s  %s" % (width, name, text) for name, text in summary]
    with open(os.path.join(results, "summary.txt"), "w") as f:
        f.write("".join(line + "\n" for line in lines))
    print("  what each program did:")
    for line in lines:
        print("  " + line)
    print()

    if pictures:
        if all(k in tracks for k in ("spinreel-output1", "fuzzpedal-output1", "tapdelay-output1")):
            png = os.path.join(results, "overview.png")
            overview(png, results, tracks, rate, echo)
            made.append(png)
        for path in recordings:
            name = os.path.basename(path)[:-4]
            png = path[:-4] + ".png"
            picture(png, tracks[name], rate, "%s (%.1f s)" % (name, len(tracks[name]) / rate))
            made.append(png)

    widths = [max(len(r[i]) for r in rows + [("recording", "peak dBFS", "RMS dBFS")])
              for i in range(3)]
    line = "  %-*s  %*s  %*s"
    print(line % (widths[0], "recording", widths[1], "peak dBFS", widths[2], "RMS dBFS"))
    for r in rows:
        print(line % (widths[0], r[0], widths[1], r[1], widths[2], r[2]))
    print("  %s frames at %s Hz, period %s; DSP load %s%% mean, %s%% at most"
          % (stats.get("frames", "?"), stats.get("rate", "?"), stats.get("period", "?"),
             stats.get("dsp_load_mean", "?"), stats.get("dsp_load_max", "?")))
    print("  overruns: %s during the recording; %s"
          % (stats.get("xruns", "?"), idle_floor(stats, idle)))
    mode = {"1": "in real-time mode (SCHED_FIFO)", "0": "without real-time mode"}
    print("  the server ran " + mode.get(stats.get("realtime"), "in an unknown mode"))
    for png in made:
        print("  picture: " + png)


if __name__ == "__main__":
    main()
