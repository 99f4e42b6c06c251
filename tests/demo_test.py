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
import sys

from suitetools import checks, wavfile
from suitetools.cycles import Overruns


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit("usage: demo_test.py <results_dir> <delay_ms> <feedback_percent> [<fxrender>]")
    results, delay_ms, feedback = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    overruns = Overruns(results, len(wavfile.read(os.path.join(results, "spinreel-output1.wav"))))
    print("note  overruns reached %d of %d recorded cycles: those, and what depends on them, "
          "are left out" % (overruns.left_out, overruns.cycles))
    verdict = checks.Verdict()
    checks.check_loop(verdict, results, overruns)
    checks.check_echo(verdict, results, delay_ms, feedback, overruns)
    checks.check_echo_measure(verdict, results, delay_ms, feedback)
    checks.check_padplayer(verdict, results, overruns)
    checks.check_summary(verdict, results, delay_ms, feedback)
    if len(sys.argv) == 5:
        checks.check_distortion(verdict, results, sys.argv[4], overruns)
    else:
        print("note  fxrender is not built: fuzzpedal's output was not compared")
    sys.exit(verdict.status())


if __name__ == "__main__":
    main()
