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

from suitetools import checks, wavfile
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


if __name__ == "__main__":
    unittest.main()
