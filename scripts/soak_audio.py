#!/usr/bin/python3
"""Checks one short recording of the suite, made by scripts/soak after a fault, with the
demo test's own checks (suitetools.checks): spinreel's outputs are the loop sample for
sample, tapdelay's output holds the echo exactly <delay_ms> later at <feedback>
percent, fuzzpedal's output equals fxrender's rendering of the recorded input bit for
bit once settled, and padplayer's outputs hold its key samples whole and nothing else.

    soak_audio.py <recording_dir> <fxrender> <delay_ms> <feedback_percent>

<recording_dir> holds the recorder's WAV files and cycles.txt, and loop.wav and key1.wav
to key3.wav. As in the demo's test, cycles that an overrun may have reached are left out.
Prints one line per check; the exit status is 1 when one fails, 2 when overruns left
too little to judge, else 0.
"""
import os
import sys

from suitetools import checks, wavfile
from suitetools.cycles import Overruns


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__.split("\n\n")[1])
    results, fxrender = sys.argv[1], sys.argv[2]
    frames = len(wavfile.read(os.path.join(results, "spinreel-output1.wav")))
    overruns = Overruns(results, frames)
    print("note  overruns reached %d of %d recorded cycles" % (overruns.left_out, overruns.cycles))
    verdict = checks.Verdict()
    checks.check_recordings(verdict, results, int(sys.argv[3]), int(sys.argv[4]), fxrender,
                            overruns)
    sys.exit(verdict.status())


if __name__ == "__main__":
    main()
