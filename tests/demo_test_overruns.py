#!/usr/bin/python3
"""demo_test.py's reading of the recorder's cycles.txt gives the cycles that the C++
harness's overrun_map gives for the same frame times (its own example in
harness_test.cpp), also where the server's frame time wraps at 2^32, and leaves out
the repeats of the echo that span a lost cycle."""
import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo_test import Overruns, settled, stretches, touched_cycles  # noqa: E402

# Ten cycles of 4 frames; cycle 5 came a cycle late, and an overrun was reported at
# frame 41, in cycle 9.
TIMES = [0, 4, 8, 12, 16, 24, 28, 32, 36, 40]


def touched(times, notices, all_kept=True, margin=0):
    return list(np.flatnonzero(touched_cycles(4, np.array(times, np.uint32),
                                              np.array(notices, np.uint32), all_kept,
                                              margin=margin, lag=1)))


class OverrunMap(unittest.TestCase):
    def test_the_cycles_of_the_harness_example(self):
        self.assertEqual(touched(TIMES, [41]), [4, 5, 9])
        self.assertEqual(len(touched(TIMES, [], margin=1)), 4)
        self.assertEqual(len(touched(TIMES, [], all_kept=False)), 10)
        wrap = 2 ** 32 - 10
        self.assertEqual(touched([(t + wrap) % 2 ** 32 for t in TIMES], [(41 + wrap) % 2 ** 32]),
                         [4, 5, 9])

    def test_settled_stretches_and_repeats_from_cycles_txt(self):
        with tempfile.TemporaryDirectory() as results:
            with open(os.path.join(results, "cycles.txt"), "w") as f:
                f.write("period 4\nnotices 1 1\n" + "".join("cycle %d\n" % t for t in TIMES) +
                        "notice 41\n")
            overruns = Overruns(results, 40, lag=1, margin=0)
        # The harness's clean_stretches(6) of the same map.
        self.assertEqual(stretches(settled(overruns.touched, 6)), [(0, 16), (30, 36)])
        # 12 frames apart, both ends untouched: only cycle 3 over cycle 0; cycles 6 to 8
        # lie a cycle further from 3 in the server's time than in the recording.
        self.assertEqual(list(np.flatnonzero(overruns.repeats(12)) + 12), list(range(12, 16)))


if __name__ == "__main__":
    unittest.main()
