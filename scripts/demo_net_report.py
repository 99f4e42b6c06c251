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

from suitetools import checks, linkwatch, plots, wavfile
from suitetools.cycles import read_cycles
from suitetools.facts import CHAIN, DELAY_MS, FEEDBACK, NET_LATENCY, NET_PERIOD as PERIOD, RATE
from suitetools.measurements import echo_of, read_stats
from suitetools.network import both_servers, round_trips
from suitetools.summary import suite_summary


def beside_linkwatch(results, carried, reached):
    """linkwatch's figures in the seconds that the recordings cover, and the recordings'
    late and lost cycles counted the same way from the device's cycle that each of the
    studio's cycles carried, with whether the two agree (linkwatch.agrees)."""
    if carried is None:
        return "nothing to compare: the device's recording could not be placed"
    rows = linkwatch.read_rows(os.path.join(results, "logs", "linkwatch.log"))
    _, frame_times, _ = read_cycles(results)
    known = np.flatnonzero(carried >= 0)
    span = slice(known[0], known[-1] + 1) if len(known) else slice(0, 0)
    seconds = linkwatch.per_second(rows, frame_times[span], linkwatch.count_cycles(carried)[span],
                                   reached[span], PERIOD)
    if not seconds:
        return "no whole second of its log lies within the recordings"
    said = [sum(s["row"][linkwatch.name_of(kind)] for s in seconds) for kind in range(4)]
    recorded = sum(s["recorded"] for s in seconds)
    quiet = [s for s in seconds if not s["reached"]]
    quiet_said = [sum(s["row"][linkwatch.name_of(kind)] for s in quiet) for kind in range(4)]
    quiet_recorded = sum((s["recorded"] for s in quiet), np.zeros(4, np.int64))
    trips = [s["row"] for s in seconds if s["row"]["round_trip_min"] is not None]
    trip = ("%d..%d frames" % (min(r["round_trip_min"] for r in trips),
                               max(r["round_trip_max"] for r in trips)) if trips else "none")
    both = all(linkwatch.agrees(s, kind) for s in seconds for kind in (linkwatch.LATE, linkwatch.LOST))
    return ("%d whole seconds in the recording: %d on time, %d late, %d lost, %d repeated, "
            "round trip %s; the recordings counted the same way: %d late, %d lost, %d repeated; "
            "in the %d seconds no overrun reached, linkwatch %d late and %d lost, the recordings "
            "%d and %d; %s"
            % (len(seconds), said[0], said[1], said[2], said[3], trip, recorded[1], recorded[2],
               recorded[3], len(quiet), quiet_said[1], quiet_said[2], quiet_recorded[1],
               quiet_recorded[2], "they agree" if both else "they DISAGREE"))


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
            tracks[name[:-4]] = wavfile.read(os.path.join(results, name))
    rate = RATE
    echo = echo_of(tracks["spinreel-output1"], tracks["tapdelay-output1"], rate)
    said = dict(suite_summary(results, tracks, echo))
    lines = ["%-10s  %s" % (name, said[name]) for name in CHAIN]

    # Overruns on both servers, the device's placed on the studio's recording, and the
    # cycles that did not arrive as the device played them.
    overruns, late, carried, reached = both_servers(results, tracks)
    cycles = len(late)
    device_dir = os.path.join(results, "device")
    studio_stats = read_stats(os.path.join(results, "stats.txt"))
    device_stats = read_stats(os.path.join(device_dir, "stats.txt"))
    lines.append("%-10s  studio %s, device %s during the recording; %d of %d cycles did not "
                 "arrive as the device played them; %d cycles of the studio's recording left "
                 "out as one of these may have reached them"
                 % ("overruns", studio_stats.get("xruns", "?"), device_stats.get("xruns", "?"),
                    int(np.count_nonzero(late)), cycles,
                    int(np.count_nonzero(overruns.touched[::PERIOD]))))

    # The round trip, from every click whose way no overrun or late cycle reached.
    clean = [(at, lag) for at, lag in round_trips(
                 wavfile.read(os.path.join(results, "probe-output1.wav")),
                 wavfile.read(os.path.join(results, "click-returned.wav")))
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

    beside = beside_linkwatch(results, carried, reached)
    lines.append("%-10s  %s" % ("linkwatch", beside))

    print("  the checks, where no overrun on either server reached the audio:")
    verdict = checks.Verdict()
    checks.check_loop(verdict, results, overruns)
    checks.check_echo(verdict, results, DELAY_MS, FEEDBACK, overruns)
    before = verdict.counts()
    checks.check_distortion(verdict, results, fxrender, overruns)
    exact = verdict.counts() == before
    checks.check_padplayer(verdict, results, overruns)
    lines.append("%-10s  fuzzpedal:output1 as the studio received it against fxrender's rendering "
                 "of spinreel:output1 as the studio received it: %s"
                 % ("fxrender", "bit-exact" if exact else "NOT bit-exact (see the checks above)"))
    if "DISAGREE" in beside:
        verdict.failures.append("linkwatch against the recordings")
    if not lags:
        verdict.undecided.append("the round trip")
    elif lags.count(latency) != len(lags) or latency != expected:
        verdict.failures.append("the round trip")

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
        plots.path_picture(png, channels, latency)
        print("  picture: " + png)
    sys.exit(verdict.status())


if __name__ == "__main__":
    main()
