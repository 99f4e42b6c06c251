"""What each program of the suite did in one run of the demo, one line each, read from
the recordings and the logs of <results_dir>; and the idle server's overruns in words."""
import os
import re

import numpy as np

from . import shmtools, wavfile
from .facts import PROGRAMS, SERVICE
from .measurements import (crest_db, dbfs, key_plays, loop_start, peak_of, read_stats,
                           rms_of, seconds_of, whole_plays)


def read_text(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return None


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

    loop = wavfile.read(os.path.join(results, "loop.wav"))
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
        started = "MemWarden is starting now" in shmtools.messages_of(memwarden, "main_memwarden")
        served = shmtools.serves(log("wardenpeek-status.txt") or "")
        said["memwarden"] = ("%s %s in a runtime directory of the demo's own%s; %s"
                             % ("published" if served else "did not serve", SERVICE,
                                ", logging its start" if started else "",
                                exit_of(statuses, "memwarden")))
    said["wardenpeek"] = ("before wardencheck: %s; after: %s"
                          % (shmtools.peek_summary(log("wardenpeek-status-before.txt"),
                                                   log("wardenpeek-index-before.txt")),
                             shmtools.peek_summary(log("wardenpeek-status.txt"),
                                                   log("wardenpeek-index.txt"))))
    check = log("wardencheck.log")
    if check is None:
        said["wardencheck"] = "did not run"
    else:
        outcomes = shmtools.wardencheck_results(check)
        passed = sum(1 for _, outcome in outcomes if outcome == "pass")
        said["wardencheck"] = "%d of 5 tests pass: %s" % (
            passed, ", ".join("%s %s" % pair for pair in outcomes))
    return [(name, said.get(name, "was not recorded")) for name in PROGRAMS]


def idle_floor(stats, idle):
    """The server's overruns without the suite's clients, said beside the recording's."""
    if idle is None:
        return "the idle server's were not counted"
    seconds, idle_seconds = seconds_of(stats), seconds_of(idle)
    span = ("the same %g s" % seconds if seconds is not None and seconds == idle_seconds
            else "%g s" % idle_seconds if idle_seconds is not None else "a stretch")
    return ("%s with the server idle for %s before the clients started"
            % (idle.get("xruns", "?"), span))
