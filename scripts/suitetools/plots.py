"""The pictures: each recording's waveform over its spectrogram, the demo's overview,
the path across the network, and the soak's resources (and link) over time. matplotlib
is loaded only when a picture is drawn."""
import itertools
import os

import numpy as np

from . import wavfile
from .facts import RATE
from .measurements import (average_spectrum_dbfs, crest_db, dbfs, loop_start, peak_levels,
                           peak_of, rms_of, spectrogram_dbfs, squarest_window)
from .soak_judgement import RSS_FLOOR_MIB, WARMUP_S, process_points, roles, servers
from .soak_link import COUNTS, LATE_LOST_SHARE, SETTLE_S, late_lost_rate
from .soak_sampling import SERVER_FIELDS
from .sounds import PHRASE


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


IN_COLOUR, FUZZ_COLOUR, ECHO_COLOUR, REPEAT_COLOUR = "0.3", "tab:red", "tab:blue", "tab:orange"


def overview(path, results, tracks, rate, echo):
    """The figure to look at first: the loop; what fuzzpedal and tapdelay made of it,
    side by side; 20 ms of the distortion up close; and the three spectra. `echo` is
    tapdelay's (delay, gain), the figures of the summary."""
    plt = pyplot()
    source = tracks["spinreel-output1"]
    fuzz, echoed = tracks["fuzzpedal-output1"], tracks["tapdelay-output1"]
    loop_values = wavfile.read(os.path.join(results, "loop.wav"))
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


def path_picture(path, channels, latency):
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(11, 0.5 * len(channels) + 2.5))
    ax.set_axis_off()
    ax.set_xlim(0, 11)
    ax.set_ylim(-1, len(channels) + 1)
    ax.text(1.5, len(channels) + 0.4, "device (jackd -d net)", ha="center", weight="bold")
    ax.text(5.5, len(channels) + 0.4, "network", ha="center", weight="bold")
    ax.text(9.5, len(channels) + 0.4, "studio (jackd + netmanager)", ha="center", weight="bold")
    for row, (port, channel) in enumerate(channels):
        y = len(channels) - 1 - row
        ax.text(0.1, y, port, va="center", family="monospace", fontsize=8)
        ax.text(2.4, y, "system:playback_%s" % channel.rsplit("_", 1)[1], va="center",
                family="monospace", fontsize=8)
        ax.annotate("", xy=(8.2, y), xytext=(4.2, y), arrowprops=dict(arrowstyle="->", color="C0"))
        ax.text(8.3, y, channel, va="center", family="monospace", fontsize=8)
    ax.text(5.5, -0.7, "round trip %d frames (%.1f ms): a click from the studio to "
            "device:to_slave_1 and back on device:from_slave_12" % (latency, 1000.0 * latency / RATE),
            ha="center", fontsize=9)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def soak_plot(path, samples, events, link=None):
    """Four panels over the run: each process's descriptors, RSS and threads as the
    change since its baseline (what the bounds judge; a line per process, so a restart
    breaks it), and the servers' figures as they are; across two hosts a fifth, the
    link's round trip and late and lost cycles per minute (soak_link.minutes), with the
    faults' windows shaded."""
    plt = pyplot()
    panels = [("fds", "descriptors", 1), ("rss_kib", "RSS (MiB)", 1024.0),
              ("threads", "threads", 1)]
    fig, axes = plt.subplots(5 if link else 4, 1, figsize=(12, 16 if link else 13), sharex=True)
    judged = roles(samples)
    colours = dict(zip(judged, itertools.cycle(plt.rcParams["axes.prop_cycle"].by_key()["color"])))
    for ax, (field, label, scale) in zip(axes, panels):
        for role in judged:
            points = [p for p in process_points(samples, role, field) if p[0] - p[3] >= WARMUP_S]
            first = True
            for process in dict.fromkeys(p[2] for p in points):
                mine = [(t, v) for t, v, p, _ in points if p == process]
                ax.plot([t for t, _ in mine], [(v - mine[0][1]) / scale for _, v in mine],
                        marker=".", color=colours[role], label=role if first else None)
                first = False
        ax.set_ylabel("%s: change since\nthe process's baseline" % label)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="lower left", fontsize=8, ncol=7)
    axes[1].axhline(RSS_FLOOR_MIB, color="k", linestyle="--", linewidth=0.8)
    axes[1].text(samples[-1]["t"], RSS_FLOOR_MIB, "floor of the RSS bound", fontsize=8,
                 va="bottom", ha="right")
    ax = axes[3]
    t = [s["t"] for s in samples]
    hosts = servers(samples)
    for host, figures in hosts:
        for key, name in SERVER_FIELDS:
            ax.plot(t, [figures(s).get(key) for s in samples], marker=".",
                    label=name if len(hosts) == 1 else "%s %s" % (host, name))
    if any("memwarden_buffers" in s for s in samples) or len(hosts) == 1:
        ax.plot(t, [s.get("memwarden_buffers") for s in samples], marker=".",
                label="memwarden buffers allocated")
    ax.set_ylabel("the server's figures" if len(hosts) == 1 else "the servers' figures")
    ax.legend(loc="center left", fontsize=8, ncol=3)
    ax.grid(True, alpha=0.3)
    if link:
        link_panel(axes[4], link)
    axes[-1].set_xlabel("time since the soak started (s)")
    for e in events:
        if e["what"].startswith("fault "):
            for ax in axes:
                ax.axvline(e["t"], color="0.6", linestyle=":", linewidth=0.8)
            axes[0].annotate(e["what"][6:], (e["t"], 1), xycoords=("data", "axes fraction"),
                             rotation=90, fontsize=7, va="top", ha="right")
    axes[0].set_title("Soak: each process's resources past its %g s of warm-up (a line per "
                      "process) and the server's figures; dotted lines mark the faults"
                      % WARMUP_S, loc="left")
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def link_panel(ax, link):
    """Each minute's round trip (left axis) and late and lost cycles per minute (right
    axis, with their bound), each held over its minute; the faults' windows shaded."""
    listed = link["minutes"]
    if not listed:
        return
    edges = [m["start"] for m in listed] + [listed[-1]["end"]]

    def held(values):
        return edges, values + values[-1:]

    ax.plot(*held([m["round_trip"] for m in listed]), drawstyle="steps-post", color="tab:blue",
            linewidth=2, label="round trip (most common in the minute)")
    ax.set_ylabel("link round trip (frames)")
    ax.grid(True, alpha=0.3)
    rates = ax.twinx()
    for key, colour in (("late", "tab:orange"), ("lost", "tab:red")):
        rates.plot(*held([m[key] * 60.0 / m["rows"] if m["rows"] else None for m in listed]),
                   drawstyle="steps-post", color=colour, label=key + " per minute")
    rates.plot(*held([late_lost_rate(m) for m in listed]), drawstyle="steps-post", color="k",
               linewidth=0.8, label="late+lost per minute")
    rates.plot(*held([LATE_LOST_SHARE * sum(m[c] for c in COUNTS) * 60.0 / m["rows"]
                      if m["rows"] else None for m in listed]),
               drawstyle="steps-post", color="k", linestyle="--", linewidth=0.8)
    rates.set_ylabel("cycles per minute (dashed: the bound)")
    for a in (ax, rates):
        a.margins(y=0.4)  # room for the legend above the lines
    rates.set_ylim(bottom=0)
    for a, b in link["windows"]:
        ax.axvspan(a, min(b, edges[-1]), color="0.85", alpha=0.6)
    handles = [h for a in (ax, rates) for h in a.get_legend_handles_labels()[0]]
    ax.legend(handles, [h.get_label() for h in handles], loc="upper left", fontsize=8, ncol=4)
    ax.set_title("The link, outside the faults' windows (shaded: a fault's begin to %g s "
                 "after its end)" % SETTLE_S, loc="left", fontsize=10)
