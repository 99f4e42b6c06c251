"""The checks of what the suite recorded: spinreel played the loop, tapdelay's output
holds the echo at the set delay and gain, fuzzpedal's output is fxrender's rendering of
the very input it heard, padplayer's outputs carry its key samples; and what the demo's
summary says. Each check prints one line and adds to a Verdict.

Audio is judged only where no overrun reached it, as the recorder's cycles.txt tells
(suitetools.cycles): a wrong sample there is a failure, and a check left with less than
a second of audio to compare is inconclusive."""
import os
import re
import subprocess
import tempfile

import numpy as np

from . import wavfile
from .cycles import settled, stretches
from .facts import PROGRAMS, RATE, WARDENCHECK_TESTS, delay_samples, loop_played
from .measurements import echo_of, key_plays, loop_offset

FLOOR = RATE  # samples (or repeats) that a check of the recordings must compare


class Verdict:
    """The checks' outcome: what failed and what was inconclusive."""

    def __init__(self):
        self.failures, self.undecided = [], []

    def check(self, ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        if not ok:
            self.failures.append(what)

    def judge(self, ok, compared, what):
        """A check over untouched audio: a mismatch fails it, whatever else; too little
        compared leaves it inconclusive."""
        if ok and compared < FLOOR:
            self.inconclusive("%s: %d compared, fewer than %d" % (what, compared, FLOOR), what)
        else:
            self.check(ok, "%s; %d compared" % (what, compared))

    def inconclusive(self, said, what):
        print("inconclusive  " + said)
        self.undecided.append(what)

    def counts(self):
        return len(self.failures), len(self.undecided)

    def status(self):
        """The exit status: 1 if a check failed, else 2 if one was inconclusive, else 0."""
        return 1 if self.failures else 2 if self.undecided else 0


def check_loop(verdict, results, overruns):
    loop = wavfile.read(os.path.join(results, "loop.wav"))
    for channel, port in ((0, "output1"), (1, "output2")):
        recorded = wavfile.read(os.path.join(results, "spinreel-%s.wav" % port))
        played = loop_played(loop[:, channel])
        # Each untouched stretch plays the loop on from where it stands; across a
        # touched cycle spinreel may have played a block more or less than recorded.
        parts = stretches(~overruns.touched)
        wrong = [(first, end) for first, end in parts
                 if loop_offset(recorded[first:end], played) is None]
        sound = np.any(recorded[~overruns.touched] != 0)
        verdict.judge(not wrong and sound, sum(end - first for first, end in parts),
                      "spinreel:%s is 0.2 x the loop's channel %d / 32767, sample for sample "
                      "over each of the %d untouched stretches%s"
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


def check_echo(verdict, results, delay_ms, feedback, overruns):
    x = wavfile.read(os.path.join(results, "spinreel-output1.wav"))
    y = wavfile.read(os.path.join(results, "tapdelay-output1.wav"))
    gain = np.float32(feedback) * np.float32(0.01)
    d = delay_samples(delay_ms)
    # Only repeats untouched from end to end, with no cycle lost or repeated between
    # them: then they lie as far apart in the recording as in tapdelay's own course.
    judged = overruns.repeats(d)
    misses, _ = comb_misses(x, y, d, gain, judged)
    verdict.judge(misses == 0 and np.any(y != x), int(np.count_nonzero(judged)),
                  "tapdelay:output1 - spinreel:output1 = %s x tapdelay:output1 %d samples "
                  "earlier in the repeats untouched from end to end (%d misses)" % (gain, d, misses))
    for other in (d - 1, d + 1):
        misses, audible = comb_misses(x, y, other, gain, overruns.repeats(other))
        verdict.check(misses > audible // 2,
                      "and not %d samples earlier (%d misses in %d audible samples)"
                      % (other, misses, audible))
    silent = wavfile.read(os.path.join(results, "tapdelay-output2.wav"))
    verdict.check(not np.any(silent), "tapdelay:output2 is silent")


def check_echo_measure(verdict, results, delay_ms, feedback):
    """The report's measure of the echo, over this recording with a cycle cut out every
    second, as an overrun can lose one: each cut puts the recorded echo out of step
    with the output for a delay after it, and the measure must still find the set delay
    and gain."""
    x = wavfile.read(os.path.join(results, "spinreel-output1.wav"))
    y = wavfile.read(os.path.join(results, "tapdelay-output1.wav"))
    kept = np.ones(len(y), dtype=bool)
    for at in range(RATE, len(y) - 128, RATE):
        kept[at:at + 128] = False
    delay, gain = echo_of(x[kept], y[kept], RATE)
    verdict.check(delay == delay_samples(delay_ms) and
                  "%.2f" % gain == "%.2f" % (feedback / 100),
                  "the report measures the echo at %d samples and %.4f with %d cycles cut out"
                  % (delay, gain, (len(y) - np.count_nonzero(kept)) // 128))


# The offline rendering starts from a fresh state while the live pedal has run for a
# while: they may differ until the rendering's level fade-in and filter memories settle
# (about 10000 samples on the demo's loop). A block that an overrun spoiled is
# forgotten sooner (in under 3000), as the rendering with silenced blocks shows each run.
FRESH_START, SETTLING = RATE // 2, RATE // 4


def render(verdict, fxrender, source, scratch, name):
    """fxrender's fuzzpedal over the WAV file `source`, or None."""
    path = os.path.join(scratch, name)
    run = subprocess.run([fxrender, "fuzzpedal", source, path], capture_output=True, text=True)
    verdict.check(run.returncode == 0, "fxrender renders %s (%s)"
                  % (name, run.stderr.strip() or "status %d" % run.returncode))
    return wavfile.read(path) if run.returncode == 0 else None


def differences(got, want, where):
    """The samples where `where` holds and `got` differs from `want` in any bit."""
    return np.flatnonzero(where & (got.view(np.uint32) != want.view(np.uint32)))


def check_distortion(verdict, results, fxrender, overruns):
    source = os.path.join(results, "spinreel-output1.wav")
    live = wavfile.read(os.path.join(results, "fuzzpedal-output1.wav"))
    heard = wavfile.read(source)
    # The captured input with a block silenced at three places, as far apart as the
    # recording allows, each as an overrun might spoil one.
    spoiled = np.zeros(len(heard), bool)
    for at in (len(heard) // 4, len(heard) // 2, len(heard) * 3 // 4):
        spoiled[at:at + 128] = True
    with tempfile.TemporaryDirectory() as scratch:
        wavfile.write_float_as(os.path.join(scratch, "spoiled.wav"), source,
                               np.where(spoiled, 0, heard))
        rendered = render(verdict, fxrender, source, scratch, "the captured input")
        unspoiled = render(verdict, fxrender, os.path.join(scratch, "spoiled.wav"), scratch,
                           "it with three blocks silenced")
    if rendered is None or unspoiled is None:
        return
    forgets = differences(unspoiled, rendered, settled(spoiled, SETTLING))
    verdict.check(len(forgets) == 0 and np.any(unspoiled != rendered),
                  "fuzzpedal forgets a silenced block within %d samples%s"
                  % (SETTLING, "" if len(forgets) == 0 else " (not at frame %d)" % forgets[0]))
    same_length = len(rendered) == len(live)
    where = settled(overruns.touched, SETTLING, FRESH_START)
    differ = differences(live, rendered, where) if same_length else [0]
    verdict.judge(same_length and len(differ) == 0 and np.any(live != 0),
                  int(np.count_nonzero(where)),
                  "fuzzpedal:output1 equals fxrender's rendering bit for bit from frame %d on, "
                  "%d samples after each touched cycle%s"
                  % (FRESH_START, SETTLING,
                     "" if len(differ) == 0 else " (not at frame %d)" % differ[0]))
    silent = wavfile.read(os.path.join(results, "fuzzpedal-output2.wav"))
    verdict.check(not np.any(silent), "fuzzpedal:output2 is silent")


def check_padplayer(verdict, results, overruns):
    out1 = wavfile.read(os.path.join(results, "padplayer-output1.wav"))
    out2 = wavfile.read(os.path.join(results, "padplayer-output2.wav"))
    played = key_plays(results)
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
            verdict.check(len(starts) > 0, what)
        else:
            verdict.inconclusive("%s, and overruns reached its sound" % what, what)
    clean = ~overruns.touched
    stray = np.setdiff1d(out1[clean], np.concatenate(played + [np.zeros(1, np.float32)]))
    verdict.judge(np.array_equal(out1[clean], out2[clean]) and len(stray) == 0,
                  int(np.count_nonzero(clean)),
                  "padplayer:output2 equals output1 in untouched cycles, and none holds "
                  "anything but silence or a key's value (%d other values)" % len(stray))


def check_summary(verdict, results, delay_ms, feedback):
    with open(os.path.join(results, "summary.txt")) as f:
        lines = f.read().splitlines()
    verdict.check([line.split(" ")[0] for line in lines] == PROGRAMS,
                  "the summary has one line per program: "
                  + ", ".join(line.split(" ")[0] for line in lines))
    echo = ("(%d samples) after what it repeats, at %.2f of its level;"
            % (delay_samples(delay_ms), feedback / 100))
    verdict.check(any(line.startswith("tapdelay ") and echo in line for line in lines),
                  "the summary says the echo comes %s" % echo)
    said = lines[-1] if lines else ""
    with open(os.path.join(results, "logs", "wardencheck.log")) as f:
        log = f.read()
    # The log itself, apart from how the summary judges each test: three "pass" lines,
    # no failure.
    messages = re.findall(r"^WardenCheck [VDIWEF] \S+ \S+ +\d+ +\d+ (.*)$", log, re.M)
    verdict.check(all("%s pass" % t in said for t in WARDENCHECK_TESTS) and
                  messages.count("pass") == 3 and
                  not any(m in ("fail", "failed") or m.startswith("Error") for m in messages),
                  "wardencheck's five tests pass: " + said)


def check_recordings(verdict, results, delay_ms, feedback, fxrender, overruns):
    """The loop, the echo, the distortion and the keys, as the soak checks a recording."""
    check_loop(verdict, results, overruns)
    check_echo(verdict, results, delay_ms, feedback, overruns)
    check_distortion(verdict, results, fxrender, overruns)
    check_padplayer(verdict, results, overruns)
