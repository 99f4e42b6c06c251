#!/usr/bin/python3
"""The demo's summary: a table of the recordings (peak and RMS in dBFS, the server's
overruns), whether the server ran in real-time mode and, unless --no-pictures, one PNG
per recording with its waveform over its spectrogram.

    demo_report.py [--no-pictures] <results_dir> <recording.wav>...

The recordings are the recorder's mono 32-bit float WAV files with a 44-byte header;
<results_dir>/stats.txt holds the recorder's counts. Runs with Debian's python3,
which has numpy and matplotlib.
"""
import os
import struct
import sys

import numpy as np


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


def read_stats(path):
    stats = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.partition(" ")
            stats[key] = value.strip()
    return stats


def dbfs(value):
    return "-inf" if value <= 0 else "%.1f" % (20 * np.log10(value))


def spectrogram_dbfs(samples, size=2048, hop=512):
    """Short-time spectrum levels in dB relative to a full-scale sine, floored at -120."""
    window = np.hanning(size)
    count = max(1, 1 + (len(samples) - size) // hop)
    padded = np.zeros(size + (count - 1) * hop)
    padded[:len(samples)] = samples[:len(padded)]
    frames = np.lib.stride_tricks.sliding_window_view(padded, size)[::hop] * window
    magnitude = np.abs(np.fft.rfft(frames, axis=1)) * 2 / window.sum()
    return (20 * np.log10(np.maximum(magnitude, 1e-6))).T


def picture(path, samples, rate, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

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

    rows = []
    made = []
    for path in recordings:
        rate, samples = read_float_wav(path)
        name = os.path.basename(path)[:-4]
        peak = float(np.max(np.abs(samples))) if len(samples) else 0.0
        rms = float(np.sqrt(np.mean(samples.astype(np.float64) ** 2))) if len(samples) else 0.0
        rows.append((name, dbfs(peak), dbfs(rms), xruns))
        if pictures:
            png = path[:-4] + ".png"
            picture(png, samples, rate, "%s (%.1f s)" % (name, len(samples) / rate))
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
