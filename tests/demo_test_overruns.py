#!/usr/bin/python3
"""The reading of the recorder's cycles.txt (suitetools.cycles), written by the recorder's own
code (cycles_file_writer), gives the cycles that the C++ harness's overrun_map gives
for the same frame times (its own example in harness_test.cpp), also where the
server's frame time wraps at 2^32, and leaves out the repeats of the echo that span a
lost cycle.

    demo_test_overruns.py <cycles_file_writer>
"""
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

from suitetools.cycles import Overruns, read_cycles, settled, stretches

# Ten cycles of 4 frames; cycle 5 came a cycle late, and an overrun was reported at
# frame 41, in cycle 9.
TIMES = [0, 4, 8, 12, 16, 24, 28, 32, 36, 40]
WRITER = None
# A cross build's writer runs under the command line in TARGET_EMULATOR.
EMULATOR = os.environ.get("TARGET_EMULATOR", "").split()


def write_cycles(results, times, notices, seen=None, margin=0, lag=3):
    """cycles.txt of a recording in cycles of 4 frames, `seen` notices of which
    `notices` were kept."""
    lists = [",".join(str(t) for t in times)] + ([",".join(str(n) for n in notices)] if notices else [])
    subprocess.run(EMULATOR + [WRITER, os.path.join(results, "cycles.txt"), "4", str(margin), str(lag),
                    str(len(notices) if seen is None else seen)] + lists, check=True)


def touched(times, notices, seen=None, margin=0):
    with tempfile.TemporaryDirectory() as results:
        write_cycles(results, times, notices, seen, margin)
        return list(np.flatnonzero(read_cycles(results)[2]))


class OverrunMap(unittest.TestCase):
    def test_the_cycles_of_the_harness_example(self):
        self.assertEqual(touched(TIMES, [41]), [4, 5, 9])
        self.assertEqual(len(touched(TIMES, [], margin=1)), 4)
        self.assertEqual(len(touched(TIMES, [], seen=1)), 10)
        wrap = 2 ** 32 - 10
        self.assertEqual(touched([(t + wrap) % 2 ** 32 for t in TIMES], [(41 + wrap) % 2 ** 32]),
                         [4, 5, 9])

    def test_each_cycle_names_the_notice_lag_of_its_verdict(self):
        with tempfile.TemporaryDirectory() as results:
            write_cycles(results, TIMES, [41], lag=5)
            with open(os.path.join(results, "cycles.txt")) as f:
                lines = [line.split() for line in f if line.startswith("cycle ")]
        # Cycle 8 began 5 frames before the notice: within this lag.
        self.assertEqual([line[1:] for line in lines[7:10]],
                         [["32", "0", "5"], ["36", "1", "5"], ["40", "1", "5"]])

    def test_settled_stretches_and_repeats_from_cycles_txt(self):
        with tempfile.TemporaryDirectory() as results:
            write_cycles(results, TIMES, [41], lag=4)
            overruns = Overruns(results, 40)
        # The harness's clean_stretches(6) of the same map.
        self.assertEqual(stretches(settled(overruns.touched, 6)), [(0, 16), (30, 36)])
        # 12 frames apart, both ends untouched: only cycle 3 over cycle 0; cycles 6 to 8
        # lie a cycle further from 3 in the server's time than in the recording.
        self.assertEqual(list(np.flatnonzero(overruns.repeats(12)) + 12), list(range(12, 16)))

    def test_no_repeat_across_a_touched_cycle_even_where_the_leads_agree(self):
        # A cycle skipped and the next one run twice: the leads agree again after them.
        with tempfile.TemporaryDirectory() as results:
            write_cycles(results, [0, 4, 8, 12, 16, 24, 24, 28, 32, 36], [25], lag=4)
            overruns = Overruns(results, 40)
        self.assertEqual(list(np.flatnonzero(overruns.touched)), list(range(16, 28)))
        self.assertEqual(list(np.flatnonzero(overruns.repeats(24))), [])
        self.assertEqual(list(np.flatnonzero(overruns.repeats(4)) + 4),
                         list(range(4, 16)) + list(range(32, 40)))

if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.split("\n\n")[1])
    WRITER = sys.argv.pop(1)
    unittest.main()
