#!/usr/bin/python3
"""The report of scripts/demo --net: one line per program of the chain, as the plain
demo says them, then what crossed the network: the round trip measured from the
studio's click and its copy from the device, fuzzpedal's output against fxrender's
rendering of what spinreel played (both as the studio received them), the overruns on
both servers, and a picture of the path (net-path.png).

    demo_net_report.py [--no-pictures] <results_dir> <fxrender>

<results_dir> is laid out as the plain demo's (the recordings under the names of the
ports whose channels they carry, loop.wav, key1.wav to key3.wav, stats.txt and
cycles.txt of the studio's recorder, logs/), with probe-output1.wav, the click the
studio played, click-returned.wav, the click as it came back, and device/, the device's own recording of spinreel:output1 with its
stats.txt and cycles.txt. Exits 1 when a check fails, 2 when overruns left too little
to judge, else 0.
"""
import os
import sys

import numpy as np

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(here), "tests"))

import demo_report  # noqa: E402
import demo_test  # noqa: E402

CHAIN = ["spinreel", "fuzzpedal", "tapdelay", "returnmix", "padplayer", "passthru"]
PERIOD, NET_LATENCY = 128, 2
DELAY_MS, FEEDBACK = 250, 40


def round_trips(click, returned):
    """For every click the studio played, where it was and the distance to the first
    sample of its copy that came back."""
    played = np.flatnonzero(click != 0)
    back = np.flatnonzero(returned != 0)
    lags = []
    for at in played:
        later = back[back >= at]
        if len(later):
            lags.append((int(at), int(later[0] - at)))
    return lags


def device_offset(studio, device):
    """Where the device's recordings lie in the studio's copies of them (dicts of equal
    keys): studio[n] == device[n - offset] on every channel, found from a sounding
    cycle in the middle that occurs once (spinreel's loop repeats, padplayer's keys
    come when they are typed)."""
    names = sorted(device)
    first = device["spinreel-output1"]
    for start in range(len(first) // 2 // PERIOD * PERIOD, len(first) - PERIOD, PERIOD):
        block = first[start:start + PERIOD]
        if not np.any(block):
            continue
        hits = [i for i in np.flatnonzero(studio["spinreel-output1"] == block[0])
                if (i - start) % PERIOD == 0 and
                all(np.array_equal(studio[n][i:i + PERIOD], device[n][start:start + PERIOD])
                    for n in names)]
        if len(hits) == 1:
            return hits[0] - start
    return None


def crossing(studio, device, offset):
    """Follows the studio's recordings cycle by cycle against the device's own
    recordings of the same ports (dicts of equal keys), from `offset` on (a lost or
    repeated cycle on either server moves it, by more than a cycle or two when several
    go at once). Returns, per cycle of
    the studio's recording, the device's cycle that it carries (-1 where unknown), and
    whether every channel arrived as the device played it."""
    names = sorted(studio)
    cycles = len(studio[names[0]]) // PERIOD
    length = min(len(device[name]) for name in names)
    carries, intact = np.full(cycles, -1, np.int64), np.zeros(cycles, bool)

    def same(k, d):
        first = k * PERIOD - d
        return 0 <= first <= length - PERIOD and all(
            np.array_equal(studio[n][k * PERIOD:(k + 1) * PERIOD], device[n][first:first + PERIOD])
            for n in names)

    def sounding(k):
        return any(np.any(studio[n][k * PERIOD:(k + 1) * PERIOD]) for n in names)

    for k in range(cycles):
        near = [d for d in (offset + step * PERIOD for step in (0, -1, 1, -2, 2)) if same(k, d)]
        if not near and sounding(k):
            # Lost: a sounding cycle found once within 64 cycles either way.
            far = [d for d in (offset + step * PERIOD for step in range(-64, 65)) if same(k, d)]
            near = far if len(far) == 1 else []
        if near:
            offset, intact[k] = near[0], True
        if 0 <= k * PERIOD - offset <= length - PERIOD:
            carries[k] = (k * PERIOD - offset) // PERIOD
    return carries, intact


def path_picture(path, channels, latency):
    plt = demo_report.pyplot()
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
            "device:to_slave_1 and back on device:from_slave_12" % (latency, 1000.0 * latency / 44100),
            ha="center", fontsize=9)
    fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def both_servers(results, tracks):
    """The studio's overrun map of its recording, with the device's overruns placed on
    it and every cycle that did not arrive as the device played it; and those cycles."""
    frames = len(tracks["spinreel-output1"])
    overruns = demo_test.Overruns(results, frames)
    device_dir = os.path.join(results, "device")
    device_tracks = {name[:-4]: demo_test.read_wav(os.path.join(device_dir, name))
                     for name in os.listdir(device_dir) if name.endswith(".wav")}
    on_device = demo_test.Overruns(device_dir, len(device_tracks["spinreel-output1"]))
    offset = device_offset({n: tracks[n] for n in device_tracks}, device_tracks)
    cycles = frames // PERIOD
    late = np.ones(cycles, bool)
    if offset is None:
        overruns.touched[:] = True  # nothing of the device's overruns can be placed
    else:
        carries, intact = crossing({n: tracks[n] for n in device_tracks}, device_tracks, offset)
        late = ~intact
        # Touched on either server or late on the network. Each studio cycle is
        # mapped to the device's cycle it carries, so what lies between two samples
        # is the device's: a cycle lost or repeated there, or a step of the mapping,
        # makes their leads differ (the device's lead and the mapping's step, as one
        # number: both must agree).
        known = carries >= 0
        device_cycle = np.maximum(carries, 0)
        device_touched = on_device.touched[::PERIOD][device_cycle]
        device_lead = on_device.lead[::PERIOD][device_cycle].astype(np.int64)
        step = (device_cycle - np.arange(cycles)) * PERIOD
        spoiled = ~known | device_touched | late
        # Widened by two cycles on both sides, as each recorder widens the touched
        # cycles it flags in cycles.txt: a step on top of those flags, since the
        # device's flags and the late cycles are placed on the studio's recording here.
        for k in (1, 2):
            spoiled[k:] |= spoiled[:-k].copy()
            spoiled[:-k] |= spoiled[k:].copy()
        # Samples past the last whole cycle count as spoiled: nothing is known of them.
        tail = frames - cycles * PERIOD
        overruns.touched |= np.concatenate([np.repeat(spoiled, PERIOD), np.ones(tail, bool)])
        both = device_lead * 2 ** 24 + (step - step.min())
        lead = np.concatenate([np.repeat(np.where(known, both, -1), PERIOD), np.full(tail, -1)])
        overruns.lead = lead
    return overruns, late


def main():
    args = sys.argv[1:]
    pictures = not (args and args[0] == "--no-pictures")
    args = args[1:] if not pictures else args
    if len(args) != 2:
        sys.exit(__doc__.split("\n\n")[1])
    results, fxrender = args
    tracks = {}
    for name in os.listdir(results):
        if name.endswith(".wav") and "-output" in name and name != "probe-output1.wav":
            tracks[name[:-4]] = demo_test.read_wav(os.path.join(results, name))
    rate = 44100
    echo = demo_report.echo_of(tracks["spinreel-output1"], tracks["tapdelay-output1"], rate)
    said = dict(demo_report.suite_summary(results, tracks, echo))
    lines = ["%-10s  %s" % (name, said[name]) for name in CHAIN]

    # Overruns on both servers, the device's placed on the studio's recording, and the
    # cycles that did not arrive as the device played them.
    overruns, late = both_servers(results, tracks)
    cycles = len(late)
    device_dir = os.path.join(results, "device")
    studio_stats = demo_report.read_stats(os.path.join(results, "stats.txt"))
    device_stats = demo_report.read_stats(os.path.join(device_dir, "stats.txt"))
    lines.append("%-10s  studio %s, device %s during the recording; %d of %d cycles did not "
                 "arrive as the device played them; %d cycles of the studio's recording left "
                 "out as one of these may have reached them"
                 % ("overruns", studio_stats.get("xruns", "?"), device_stats.get("xruns", "?"),
                    int(np.count_nonzero(late)), cycles,
                    int(np.count_nonzero(overruns.touched[::PERIOD]))))

    # The round trip, from every click whose way no overrun or late cycle reached.
    clean = [(at, lag) for at, lag in round_trips(
                 demo_test.read_wav(os.path.join(results, "probe-output1.wav")),
                 demo_test.read_wav(os.path.join(results, "click-returned.wav")))
             if not overruns.touched[at] and not overruns.touched[min(at + lag, len(overruns.touched) - 1)]]
    lags = [lag for _, lag in clean]
    # Seen from the studio, what it sends comes back -l cycles later (seen from the
    # device, -l + 2: the tests measure that side).
    expected = NET_LATENCY * PERIOD
    latency = max(set(lags), key=lags.count) if lags else 0
    lines.append("%-10s  %d frames (%.1f ms) round trip, the same at %d of %d clicks that no "
                 "overrun reached: the studio's click to device:to_slave_1, sent back by the "
                 "device, on device:from_slave_12; -l %d with %d-frame periods implies %d x %d = %d"
                 % ("network", latency, 1000.0 * latency / rate, lags.count(latency), len(lags),
                    NET_LATENCY, PERIOD, NET_LATENCY, PERIOD, expected))

    print("  the checks, where no overrun on either server reached the audio:")
    demo_test.check_loop(results, overruns)
    demo_test.check_echo(results, DELAY_MS, FEEDBACK, overruns)
    before = (len(demo_test.failures), len(demo_test.undecided))
    demo_test.check_distortion(results, fxrender, overruns)
    exact = (len(demo_test.failures), len(demo_test.undecided)) == before
    demo_test.check_padplayer(results, overruns)
    lines.append("%-10s  fuzzpedal:output1 as the studio received it against fxrender's rendering "
                 "of spinreel:output1 as the studio received it: %s"
                 % ("fxrender", "bit-exact" if exact else "NOT bit-exact (see the checks above)"))
    if not lags:
        demo_test.undecided.append("the round trip")
    elif lags.count(latency) != len(lags) or latency != expected:
        demo_test.failures.append("the round trip")

    with open(os.path.join(results, "summary.txt"), "w") as f:
        f.write("".join(line + "\n" for line in lines))
    print("\n  what each program did, and what crossed the network:")
    for line in lines:
        print("  " + line)
    if pictures:
        with open(os.path.join(results, "logs", "channels")) as f:
            channels = [line.split() for line in f if line.strip()]
        # The programs' own connections mix on the first two channels; the click
        # comes back on the last.
        channels = ([["fuzzpedal+tapdelay", "device:from_slave_1"],
                     ["fuzzpedal+tapdelay", "device:from_slave_2"]] + channels +
                    [["system:capture_1", "device:from_slave_12"]])
        png = os.path.join(results, "net-path.png")
        path_picture(png, channels, latency)
        print("  picture: " + png)
    sys.exit(1 if demo_test.failures else 2 if demo_test.undecided else 0)


if __name__ == "__main__":
    main()
