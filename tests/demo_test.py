#!/usr/bin/python3
"""Checks what one run of the demo recorded: that spinreel played the loop, that
fuzzpedal's output is the offline rendering of the very input it heard, that
tapdelay's output holds the echo at the set delay and gain, and that padplayer's
outputs carry its key samples; that the report measures the echo's delay and gain
also where overruns broke the recording; and what the demo said: a line per program
in its summary, the echo at its set delay and gain, wardencheck's five tests passed.

In a cycle that the server overran, blocks can be lost, repeated or torn, so the
recordings are judged only where no overrun reached them, as the recorder's
cycles.txt tells: a wrong sample there is a failure, and a check that is left with
less than a second of audio to compare is inconclusive.

    demo_test.py <results_dir> <delay_ms> <feedback_percent> [<fxrender>]

Prints one line per check; exits 1 if any fails, else 2 if any is inconclusive, else 0.
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


failures, undecided = [], []
FLOOR = RATE  # samples (or repeats) that a check of the recordings must compare


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def judge(ok, compared, what):
    """A check over untouched audio: a mismatch fails it, whatever else; too little
    compared leaves it inconclusive."""
    if ok and compared < FLOOR:
        print("inconclusive  %s: %d compared, fewer than %d" % (what, compared, FLOOR))
        undecided.append(what)
    else:
        check(ok, "%s; %d compared" % (what, compared))


def read_cycles(results):
    """The recorder's cycles.txt: the period, each recorded cycle's frame time, and
    whether the recorder judged that an overrun may have reached it (the rule of
    clients/recording/overrun_map.h, widened by two cycles, with its notice lag)."""
    period, cycles, touched = 0, [], []
    with open(os.path.join(results, "cycles.txt")) as f:
        for key, *values in (line.split() for line in f):
            if key == "period":
                period = int(values[0])
            elif key == "cycle":
                cycles.append(int(values[0]))
                touched.append(values[1] == "1")
    return period, np.array(cycles, np.uint32), np.array(touched, bool)


class Overruns:
    """Per recorded sample: whether an overrun may have reached its cycle, and how far
    the server's frame time had run ahead of the recording by then (where that differs
    between two samples, cycles were lost or repeated between them)."""

    def __init__(self, results, frames):
        period, cycles, touched = read_cycles(results)
        lead = (cycles - cycles[:1] - period * np.arange(len(cycles), dtype=np.uint32))
        # Samples past the recorded cycles count as touched: nothing is known of them.
        short = max(0, frames - len(cycles) * period)
        self.touched = np.concatenate([np.repeat(touched, period), np.ones(short, bool)])[:frames]
        self.lead = np.concatenate([np.repeat(lead.astype(np.int32), period),
                                    np.full(short, -1, np.int32)])[:frames]
        self.left_out, self.cycles = int(np.count_nonzero(touched)), len(cycles)

    def repeats(self, lag):
        """For n >= lag: samples n and n - lag both untouched, with no cycle lost or
        repeated between them."""
        clean = ~self.touched
        return clean[lag:] & clean[:-lag] & (self.lead[lag:] == self.lead[:-lag])


def settled(touched, memory, start=0):
    """Untouched samples from `start` on and more than `memory` samples after every
    touched one: where a processor that forgets a spoiled block within `memory`
    samples is back on its undisturbed course."""
    index = np.arange(len(touched))
    last = np.maximum.accumulate(np.where(touched, index, -memory - 1))
    return ~touched & (index - last > memory) & (index >= start)


def stretches(mask):
    """The [first, end) stretches where `mask` holds."""
    edges = np.flatnonzero(np.diff(np.concatenate([[0], mask.astype(np.int8), [0]])))
    return list(zip(edges[0::2], edges[1::2]))


def loop_offset(recorded, played):
    """The position in `played` at which `recorded` starts, if it is `played` looped."""
    probe = min(512, len(recorded))
    steps = np.arange(len(recorded))
    for start in np.flatnonzero(played == recorded[0]):
        if (np.array_equal(played[(start + steps[:probe]) % len(played)], recorded[:probe]) and
                np.array_equal(played[(start + steps) % len(played)], recorded)):
            return int(start)
    return None


def check_loop(results, overruns):
    loop = read_wav(os.path.join(results, "loop.wav"))
    for channel, port in ((0, "output1"), (1, "output2")):
        recorded = read_wav(os.path.join(results, "spinreel-%s.wav" % port))
        # spinreel's mix in double precision, stored as float: value / 32767 * 0.2 over
        # silent inputs.
        played = ((loop[:, channel].astype(np.float64) / 32767.0) * 0.2).astype(np.float32)
        # Each untouched stretch plays the loop on from where it stands; across a
        # touched cycle spinreel may have played a block more or less than recorded.
        parts = stretches(~overruns.touched)
        wrong = [(first, end) for first, end in parts
                 if loop_offset(recorded[first:end], played) is None]
        sound = np.any(recorded[~overruns.touched] != 0)
        judge(not wrong and sound, sum(end - first for first, end in parts),
              "spinreel:%s is 0.2 x the loop's channel %d / 32767, sample for sample over "
              "each of the %d untouched stretches%s"
              % (port, channel + 1, len(parts),
                 "" if not wrong else " (not frames %d to %d)" % wrong[0]))


def comb_misses(x, y, delay, gain, judged):
    """Samples n >= delay, of those that `judged[n - delay]` admits, where y[n] - x[n]
    differs from gain * y[n - delay] by more than the two roundings of
    y[n] = gain * y[n - delay] + x[n] in single precision allow; and how many of them
    are audible."""
    x64, y64 = x[delay:][judged].astype(np.float64), y[delay:][judged].astype(np.float64)
    past = np.float64(gain) * y[:-delay][judged].astype(np.float64)
    residual = np.abs(y64 - x64 - past)
    allowed = 2.0 ** -23 * (np.abs(past) + np.abs(y64)) + 1e-30
    audible = np.abs(y64) > 1e-4
    return int(np.count_nonzero(residual > allowed)), int(np.count_nonzero(audible))


def check_echo(results, delay_ms, feedback, overruns):
    x = read_wav(os.path.join(results, "spinreel-output1.wav"))
    y = read_wav(os.path.join(results, "tapdelay-output1.wav"))
    gain = np.float32(feedback) * np.float32(0.01)
    d = int(round(delay_ms * RATE / 1000))
    # Only repeats whose both ends are untouched, with no cycle lost or repeated between
    # them: then they lie as far apart in the recording as in tapdelay's own course.
    judged = overruns.repeats(d)
    misses, _ = comb_misses(x, y, d, gain, judged)
    judge(misses == 0 and np.any(y != x), int(np.count_nonzero(judged)),
          "tapdelay:output1 - spinreel:output1 = %s x tapdelay:output1 %d samples earlier "
          "in the repeats untouched at both ends (%d misses)" % (gain, d, misses))
    for other in (d - 1, d + 1):
        misses, audible = comb_misses(x, y, other, gain, overruns.repeats(other))
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


# The offline rendering starts from a fresh state while the live pedal has run for a
# while: they may differ until the rendering's level fade-in and filter memories settle
# (about 10000 samples on the demo's loop). A block that an overrun spoiled is
# forgotten sooner (in under 3000), as the rendering with silenced blocks shows each run.
FRESH_START, SETTLING = RATE // 2, RATE // 4


def render(fxrender, source, scratch, name):
    """fxrender's fuzzpedal over the WAV file `source`, or None."""
    path = os.path.join(scratch, name)
    run = subprocess.run([fxrender, "fuzzpedal", source, path], capture_output=True, text=True)
    check(run.returncode == 0, "fxrender renders %s (%s)"
          % (name, run.stderr.strip() or "status %d" % run.returncode))
    return read_wav(path) if run.returncode == 0 else None


def differences(got, want, where):
    """The samples where `where` holds and `got` differs from `want` in any bit."""
    return np.flatnonzero(where & (got.view(np.uint32) != want.view(np.uint32)))


def check_distortion(results, fxrender, overruns):
    source = os.path.join(results, "spinreel-output1.wav")
    live = read_wav(os.path.join(results, "fuzzpedal-output1.wav"))
    heard = read_wav(source)
    # The captured input with a block silenced at three places, as far apart as the
    # recording allows, each as an overrun might spoil one.
    spoiled = np.zeros(len(heard), bool)
    for at in (len(heard) // 4, len(heard) // 2, len(heard) * 3 // 4):
        spoiled[at:at + 128] = True
    with tempfile.TemporaryDirectory() as scratch:
        with open(source, "rb") as f, open(os.path.join(scratch, "spoiled.wav"), "wb") as out:
            out.write(f.read(44) + np.where(spoiled, 0, heard).astype("<f4").tobytes())
        rendered = render(fxrender, source, scratch, "the captured input")
        unspoiled = render(fxrender, os.path.join(scratch, "spoiled.wav"), scratch,
                           "it with three blocks silenced")
    if rendered is None or unspoiled is None:
        return
    forgets = differences(unspoiled, rendered, settled(spoiled, SETTLING))
    check(len(forgets) == 0 and np.any(unspoiled != rendered),
          "fuzzpedal forgets a silenced block within %d samples%s"
          % (SETTLING, "" if len(forgets) == 0 else " (not at frame %d)" % forgets[0]))
    same_length = len(rendered) == len(live)
    where = settled(overruns.touched, SETTLING, FRESH_START)
    differ = differences(live, rendered, where) if same_length else [0]
    judge(same_length and len(differ) == 0 and np.any(live != 0), int(np.count_nonzero(where)),
          "fuzzpedal:output1 equals fxrender's rendering bit for bit from frame %d on, "
          "%d samples after each touched cycle%s"
          % (FRESH_START, SETTLING, "" if len(differ) == 0 else " (not at frame %d)" % differ[0]))
    silent = read_wav(os.path.join(results, "fuzzpedal-output2.wav"))
    check(not np.any(silent), "fuzzpedal:output2 is silent")


def check_padplayer(results, overruns):
    out1 = read_wav(os.path.join(results, "padplayer-output1.wav"))
    out2 = read_wav(os.path.join(results, "padplayer-output2.wav"))
    played = []
    for k in (1, 2, 3):
        values = read_wav(os.path.join(results, "key%d.wav" % k))[:, 0]
        # Key 1 plays all of its values, keys 2 and 3 the first half, at 0.3 of full scale.
        count = len(values) if k == 1 else len(values) // 2
        played.append(((values[:count].astype(np.float64) / 32767.0) * 0.3).astype(np.float32))
    # Sound near a touched cycle: one that an overrun may have cut into.
    reach = max(len(play) for play in played)
    index, count = np.arange(len(out1)), np.concatenate([[0], np.cumsum(overruns.touched)])
    near = count[np.minimum(index + reach + 1, len(out1))] > count[np.maximum(index - reach, 0)]
    cut = np.any(near & (out1 != 0))
    for k, play in enumerate(played, 1):
        starts = [i for i in np.flatnonzero(out1[:len(out1) - len(play) + 1] == play[0])
                  if np.array_equal(out1[i:i + len(play)], play)]
        what = ("padplayer:output1 plays key %d's %d values whole %d times"
                % (k, len(play), len(starts)))
        if starts or not cut:
            check(len(starts) > 0, what)
        else:
            print("inconclusive  %s, and overruns reached its sound" % what)
            undecided.append(what)
    clean = ~overruns.touched
    stray = np.setdiff1d(out1[clean], np.concatenate(played + [np.zeros(1, np.float32)]))
    judge(np.array_equal(out1[clean], out2[clean]) and len(stray) == 0,
          int(np.count_nonzero(clean)),
          "padplayer:output2 equals output1 in untouched cycles, and none holds anything but "
          "silence or a key's value (%d other values)" % len(stray))


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
    overruns = Overruns(results, len(read_wav(os.path.join(results, "spinreel-output1.wav"))))
    print("note  overruns reached %d of %d recorded cycles: those, and what depends on them, "
          "are left out" % (overruns.left_out, overruns.cycles))
    check_loop(results, overruns)
    check_echo(results, int(sys.argv[2]), int(sys.argv[3]), overruns)
    check_echo_measure(results, int(sys.argv[2]), int(sys.argv[3]))
    check_padplayer(results, overruns)
    check_summary(results, int(sys.argv[2]), int(sys.argv[3]))
    if len(sys.argv) == 5:
        check_distortion(results, sys.argv[4], overruns)
    else:
        print("note  fxrender is not built: fuzzpedal's output was not compared")
    sys.exit(1 if failures else 2 if undecided else 0)


if __name__ == "__main__":
    main()
