#!/usr/bin/python3
"""The scripts' package, suitetools: the tone and the click that bench-suite and
demo --net write through it read back as written, padplayer's keys play as the checks
expect, and a Verdict's exit status. scripts/ is on PYTHONPATH (tests/CMakeLists.txt)."""
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


if __name__ == "__main__":
    unittest.main()
