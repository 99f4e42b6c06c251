#!/usr/bin/python3
"""Checks what one run of the demo recorded: that spinreel played the loop, that
fuzzpedal's output is the offline rendering of the very input it heard, that
tapdelay's output holds the echo at the set delay and gain, and that padplayer's
outputs carry its key samples; that the report measures the echo's delay and gain
also where overruns broke the recording; and what the demo said: a line per program
in its summary, the echo at its set delay and gain, wardencheck's five tests passed.

    demo_test.py <results_dir> <delay_ms> <feedback_percent> [<fxrender>]

Prints one line per check and exits 1 if any fails.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

import numpy as np

RATE = 44100


def read_wav(path):
    """Samples of a canonical WAV: 16-bit as int16 per channel, 32-bit float as float32."""
    with open(path, "rb") as f:
        header = f.read(44)
    audio_format, channels, rate = struct.unpack_from("<HHI", header, 20)
    bits = struct.unpack_from("<H", header, 34)[0]
    assert header[36:40] == b"data" and rate == RATE, path + ": unexpected header"
    if audio_format == 1 and bits == 16:
        return np.fromfile(path, dtype="<i2", offset=44).reshape(-1, channels)
    assert audio_format == 3 and bits == 32 and channels == 1, path + ": unexpected format"
    return np.fromfile(path, dtype="<f4", offset=44)


failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def loop_offset(recorded, played):
    """The position in `played` at which `recorded` starts, if it is `played` looped."""
    probe = min(512, len(recorded))
    steps = np.arange(probe)
    for start in np.flatnonzero(played == recorded[0]):
        if np.array_equal(played[(start + steps) % len(played)], recorded[:probe]):
            return int(start)
    return None


def check_loop(results):
    loop = read_wav(os.path.join(results, "loop.wav"))
    for channel, port in ((0, "output1"), (1, "output2")):
        recorded = read_wav(os.path.join(results, "spinreel-%s.wav" % port))
        # spinreel's mix in double precision, stored as float: value / 32767 * 0.2 over
        # silent inputs.
        played = ((loop[:, channel].astype(np.float64) / 32767.0) * 0.2).astype(np.float32)
        offset = loop_offset(recorded, played)
        exact = offset is not None and np.array_equal(
            recorded, played[(offset + np.arange(len(recorded))) % len(played)])
        check(exact and np.any(recorded != 0),
              "spinreel:%s is 0.2 x the loop's channel %d / 32767 from frame %s on, "
              "sample for sample over %d frames" % (port, channel + 1, offset, len(recorded)))


def comb_misses(x, y, delay, gain):
    """Samples n >= delay where y[n] - x[n] differs from gain * y[n - delay] by more than
    the two roundings of y[n] = gain * y[n - delay] + x[n] in single precision allow."""
    x64, y64 = x[delay:].astype(np.float64), y[delay:].astype(np.float64)
    past = np.float64(gain) * y[:-delay].astype(np.float64)
    residual = np.abs(y64 - x64 - past)
    allowed = 2.0 ** -23 * (np.abs(past) + np.abs(y64)) + 1e-30
    audible = np.abs(y64) > 1e-4
    return int(np.count_nonzero(residual > allowed)), int(np.count_nonzero(audible))


def check_echo(results, delay_ms, feedback):
    x = read_wav(os.path.join(results, "spinreel-output1.wav"))
    y = read_wav(os.path.join(results, "tapdelay-output1.wav"))
    gain = np.float32(feedback) * np.float32(0.01)
    d = int(round(delay_ms * RATE / 1000))
    misses, _ = comb_misses(x, y, d, gain)
    check(misses == 0 and np.any(y != x),
          "tapdelay:output1 - spinreel:output1 = %s x tapdelay:output1 %d samples earlier "
          "(%d misses in %d samples)" % (gain, d, misses, len(y) - d))
    for other in (d - 1, d + 1):
        misses, audible = comb_misses(x, y, other, gain)
        check(misses > audible // 2,
              "and not %d samples earlier (%d misses in %d audible samples)"
              % (other, misses, audible))
    silent = read_wav(os.path.join(results, "tapdelay-output2.wav"))
    check(not np.any(silent), "tapdelay:output2 is silent")


def check_echo_measure(results, delay_ms, feedback):
    """The report's measure of the echo, over this recording with a cycle cut out every
    second, as an overrun can lose one: each cut puts the recorded echo out of step
    with the output for a delay after it, and the measure must still find the set delay
    and gain."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
    from demo_report import echo_of
    x = read_wav(os.path.join(results, "spinreel-output1.wav"))
    y = read_wav(os.path.join(results, "tapdelay-output1.wav"))
    kept = np.ones(len(y), dtype=bool)
    for at in range(RATE, len(y) - 128, RATE):
        kept[at:at + 128] = False
    delay, gain = echo_of(x[kept], y[kept], RATE)
    check(delay == int(round(delay_ms * RATE / 1000)) and
          "%.2f" % gain == "%.2f" % (feedback / 100),
          "the report measures the echo at %d samples and %.4f with %d cycles cut out"
          % (delay, gain, (len(y) - np.count_nonzero(kept)) // 128))


def check_distortion(results, fxrender):
    source = os.path.join(results, "spinreel-output1.wav")
    live = read_wav(os.path.join(results, "fuzzpedal-output1.wav"))
    with tempfile.TemporaryDirectory() as scratch:
        rendered_path = os.path.join(scratch, "rendered.wav")
        run = subprocess.run([fxrender, "fuzzpedal", source, rendered_path],
                             capture_output=True, text=True)
        check(run.returncode == 0, "fxrender renders the captured input (%s)"
              % (run.stderr.strip() or "status %d" % run.returncode))
        if run.returncode != 0:
            return
        rendered = read_wav(rendered_path)
    # The offline rendering starts from a fresh state while the live pedal has run
    # for a while: they may differ until the rendering's level fade-in and filter
    # memories settle, and must be equal bit for bit from then on.
    n = min(len(live), len(rendered))
    differ = np.flatnonzero(live[:n].view(np.uint32) != rendered[:n].view(np.uint32))
    settled = int(differ[-1]) + 1 if len(differ) else 0
    check(len(rendered) == len(live) and settled <= RATE * 3 // 2 and np.any(live != 0),
          "fuzzpedal:output1 equals fxrender's rendering bit for bit from frame %d of %d on"
          % (settled, n))
    silent = read_wav(os.path.join(results, "fuzzpedal-output2.wav"))
    check(not np.any(silent), "fuzzpedal:output2 is silent")


def check_padplayer(results):
    out1 = read_wav(os.path.join(results, "padplayer-output1.wav"))
    out2 = read_wav(os.path.join(results, "padplayer-output2.wav"))
    played = []
    for k in (1, 2, 3):
        values = read_wav(os.path.join(results, "key%d.wav" % k))[:, 0]
        # Key 1 plays all of its values, keys 2 and 3 the first half, at 0.3 of full scale.
        count = len(values) if k == 1 else len(values) // 2
        played.append(((values[:count].astype(np.float64) / 32767.0) * 0.3).astype(np.float32))
    for k, play in enumerate(played, 1):
        starts = [i for i in np.flatnonzero(out1[:len(out1) - len(play) + 1] == play[0])
                  if np.array_equal(out1[i:i + len(play)], play)]
        check(len(starts) > 0, "padplayer:output1 plays key %d's %d values whole %d times"
              % (k, len(play), len(starts)))
    stray = np.setdiff1d(out1, np.concatenate(played + [np.zeros(1, np.float32)]))
    check(np.array_equal(out1, out2) and len(stray) == 0,
          "padplayer:output2 equals output1, and no frame holds anything but silence or a "
          "key's value (%d other values)" % len(stray))


def check_summary(results, delay_ms, feedback):
    with open(os.path.join(results, "summary.txt")) as f:
        lines = f.read().splitlines()
    programs = ["spinreel", "fuzzpedal", "tapdelay", "returnmix", "padplayer", "passthru",
                "memwarden", "wardenpeek", "wardencheck"]
    check([line.split(" ")[0] for line in lines] == programs,
          "the summary has one line per program: " + ", ".join(line.split(" ")[0] for line in lines))
    d = int(round(delay_ms * RATE / 1000))
    echo = "(%d samples) after what it repeats, at %.2f of its level;" % (d, feedback / 100)
    check(any(line.startswith("tapdelay ") and echo in line for line in lines),
          "the summary says the echo comes %s" % echo)
    tests = ["increase_value_once", "increase_value_10times", "check_allocated",
             "test_set_get_registry_index", "test_memset"]
    said = lines[-1] if lines else ""
    with open(os.path.join(results, "logs", "wardencheck.log")) as f:
        log = f.read()
    # The log itself, apart from how the summary reads it: three "pass" lines, no failure.
    messages = re.findall(r"^WardenCheck [VDIWEF] \S+ \S+ +\d+ +\d+ (.*)$", log, re.M)
    check(all("%s pass" % t in said for t in tests) and messages.count("pass") == 3 and
          not any(m in ("fail", "failed") or m.startswith("Error") for m in messages),
          "wardencheck's five tests pass: " + said)


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit("usage: demo_test.py <results_dir> <delay_ms> <feedback_percent> [<fxrender>]")
    results = sys.argv[1]
    check_loop(results)
    check_echo(results, int(sys.argv[2]), int(sys.argv[3]))
    check_echo_measure(results, int(sys.argv[2]), int(sys.argv[3]))
    check_padplayer(results)
    check_summary(results, int(sys.argv[2]), int(sys.argv[3]))
    if len(sys.argv) == 5:
        check_distortion(results, sys.argv[4])
    else:
        print("note  fxrender is not built: fuzzpedal's output was not compared")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
