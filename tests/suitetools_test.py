#!/usr/bin/python3
"""The scripts' package, suitetools: the tone and the click that bench-suite and
demo --net write through it read back as written, padplayer's keys play as the checks
expect, a Verdict's exit status, and linkwatch's log summed over bench-suite's window. scripts/ is on PYTHONPATH (tests/CMakeLists.txt)."""
import io
import os
import subprocess
import sys
import tempfile
import unittest
from contextlib import redirect_stdout

import numpy as np

from suitetools import checks, linkwatch, wavfile
from suitetools.facts import key_played


class SoundsTest(unittest.TestCase):
    def test_tone_and_click_read_back(self):
        with tempfile.TemporaryDirectory() as scratch:
            tone, click = os.path.join(scratch, "tone.wav"), os.path.join(scratch, "click.wav")
            for args in (["tone", tone, "100", "22099"], ["click", click, "50"]):
                subprocess.run([sys.executable, "-m", "suitetools.sounds"] + args, check=True)
            values, clicks = wavfile.read(tone), wavfile.read(click)
        self.assertEqual((values.shape, values.max(), values[25, 0]), ((22000, 1), 8000, 8000))
        self.assertTrue(np.array_equal(values[:100], values[100:200]))
        self.assertEqual(clicks.shape, (50, 2))
        self.assertEqual((list(clicks[0]), np.count_nonzero(clicks[1:])), ([32767, 32767], 0))


class FactsTest(unittest.TestCase):
    def test_keys_two_and_three_play_their_first_half(self):
        values = np.array([32767, -32767, 100, 0], np.int16)
        self.assertEqual(list(key_played(1, values)), list(np.float32([0.3, -0.3, 0.3 * 100 / 32767, 0])))
        self.assertEqual(len(key_played(2, values)), 2)


class VerdictTest(unittest.TestCase):
    def test_status(self):
        verdict = checks.Verdict()
        with redirect_stdout(io.StringIO()) as said:
            verdict.check(True, "one")
            self.assertEqual(verdict.status(), 0)
            verdict.judge(True, checks.FLOOR - 1, "two")
            self.assertEqual(verdict.status(), 2)
            verdict.judge(False, 0, "three")
        self.assertEqual(verdict.status(), 1)
        self.assertEqual(said.getvalue().splitlines(),
                         ["ok    one", "inconclusive  two: %d compared, fewer than %d"
                          % (checks.FLOOR - 1, checks.FLOOR), "FAIL  three; 0 compared"])


class LinkwatchCountingTest(unittest.TestCase):
    def test_counts_a_recording_as_link_counter_test_counts_stamps(self):
        # The sequence of tests/link_counter_test.cpp's tells_each_way_a_cycle_can_cross,
        # cut where that test takes the counts.
        N, T = linkwatch.NOTHING, linkwatch.TORN
        parts = [[N, 100, 101, 102], [102, 103, 104], [106, 107], [N, N, N, T, 500, 501]]
        counts = linkwatch.count_cycles([s for part in parts for s in part])
        ends = np.cumsum([len(part) for part in parts])
        sums = [counts[a:b].sum(axis=0).tolist() for a, b in zip([0, *ends[:-1]], ends)]
        # on time, late, lost, repeated
        self.assertEqual(sums, [[3, 0, 0, 0], [1, 1, 0, 1], [1, 1, 1, 0], [1, 2, 3, 0]])

    def test_a_second_agrees_exactly_unless_an_overrun_reached_it(self):
        def second(late, recorded, clean, reached):
            return {"row": {"late": late}, "recorded": [0, recorded, 0, 0],
                    "clean": [0, clean, 0, 0], "reached": reached, "slack": [0, 0, 0, 0]}
        late = linkwatch.LATE
        self.assertTrue(linkwatch.agrees(second(2, 2, 2, False), late))
        self.assertFalse(linkwatch.agrees(second(3, 2, 2, False), late))
        self.assertTrue(linkwatch.agrees(second(3, 5, 1, True), late))
        self.assertFalse(linkwatch.agrees(second(0, 5, 1, True), late))
    def test_each_row_takes_the_cycles_up_to_the_frame_time_it_names(self):
        # Cycles of 128 frames; rows ending at cycles 3, 7 and 11; one late cycle each
        # in the first two rows, the second's beside an edge; an overrun on cycle 9.
        times = np.arange(12) * 128
        counts = np.zeros((12, 4), np.int64)
        counts[1, linkwatch.LATE] = counts[6, linkwatch.LATE] = 1
        reached = np.zeros(12, bool)
        reached[9] = True
        rows = [{"frame_time": 3 * 128, "overruns": 0}, {"frame_time": 7 * 128, "overruns": 0},
                {"frame_time": 11 * 128, "overruns": 0}, {"frame_time": 15 * 128, "overruns": 0}]
        seconds = linkwatch.per_second(rows, times, counts, reached, 128)
        # The first row has no row before it inside the recording; the last ends past it.
        self.assertEqual([s["row"] for s in seconds], rows[1:3])
        self.assertEqual([s["cycles"] for s in seconds], [4, 4])
        self.assertEqual([int(s["recorded"][linkwatch.LATE]) for s in seconds], [1, 0])
        self.assertEqual([int(s["slack"][linkwatch.LATE]) for s in seconds], [1, 1])
        self.assertEqual([s["reached"] for s in seconds], [False, True])


class LinkwatchLogTest(unittest.TestCase):
    # Columns found by name: a column added at the end, a row cut short at the exit.
    LOG = ("# seconds on_time late lost repeated round_trip_min round_trip_max overruns frame_time\n"
           "1.0 300 0 0 0 512 512 0 100\n"
           "2.0 340 2 1 1 512 640 1 200\n"
           "3.0 344 0 0 0 - - 0 300\n"
           "4.0 338 1 3 0 384 512 2 400\n"
           "5.0 345 0\n")

    def test_rows_wholly_in_the_window_summed(self):
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "link.txt")
            with open(path, "w") as f:
                f.write(self.LOG)
            rows = linkwatch.read_rows(path)
            # Started between 100.0 and 100.2: the first second may begin before 100.05,
            # the fourth may end after 104.1.
            kept = linkwatch.rows_within(rows, 100.0, 100.2, 100.05, 104.1)
            line = linkwatch.window_line(path, 100000000, 100200000, 101000000, 104200000)
        self.assertEqual(len(rows), 4)
        self.assertEqual([row["seconds"] for row in kept], [2.0, 3.0])
        self.assertEqual(line, "1022 3 4 1 384..640 3")
        self.assertEqual(linkwatch.summed(kept[1:])["round_trip_min"], None)


if __name__ == "__main__":
    unittest.main()
