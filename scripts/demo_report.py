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
import sys

from suitetools import plots, wavfile
from suitetools.facts import RATE
from suitetools.measurements import dbfs, echo_of, peak_of, read_stats, rms_of
from suitetools.summary import idle_floor, suite_summary


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
    rate = RATE
    for path in recordings:
        rate, samples = wavfile.read_float(path)
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
            plots.overview(png, results, tracks, rate, echo)
            made.append(png)
        for path in recordings:
            name = os.path.basename(path)[:-4]
            png = path[:-4] + ".png"
            plots.picture(png, tracks[name], rate, "%s (%.1f s)" % (name, len(tracks[name]) / rate))
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
