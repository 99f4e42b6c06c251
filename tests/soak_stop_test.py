#!/usr/bin/python3
"""Stops scripts/soak while it runs, once with SIGTERM to the script and once with
SIGINT to its whole process group (what Ctrl-C in a terminal sends), and checks that
it ends within 3 s (4 s across two hosts) with status 130 and leaves nothing behind:
none of the processes it started runs, no process runs on its output folder, no
scratch folder of its own is left in /tmp and no mount on /sdcard; and that the inner
half stopped them itself, so that the outer half found nothing left in the namespace
to kill. With --net, the same of `scripts/soak --net` with the x86-64 device, whose
hosts count among the processes it started (with them go their namespaces, veths and
mounts).

usage: soak_stop_test.py <scripts/soak> <build_dir> [--net]
"""
import glob
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOAK, BUILD = sys.argv[1], sys.argv[2]
NET = sys.argv[3:4] == ["--net"]
del sys.argv[1:3 + NET]
# Seconds from the signal to the end: across two hosts the hosts' own teardown comes
# on top (about a second).
BOUND = 4.0 if NET else 3.0


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except OSError:
        return False


def sdcard_mounts():
    with open("/proc/self/mountinfo") as f:
        return sum(1 for line in f if line.split()[4] == "/sdcard")


class SoakStopTest(unittest.TestCase):
    def stopped(self, send):
        """Runs the soak until its suite is up, sends the signal and returns the soak's
        exit status, the seconds it took to end and its output folder."""
        out = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", out])
        scratch = "/tmp/soak-net.*" if NET else "/tmp/soak.*"
        scratch_before = set(glob.glob(scratch))
        mounts_before = sdcard_mounts()
        # In a session of its own with SIGINT at its default, as from a terminal.
        said = tempfile.TemporaryFile(mode="w+")
        self.addCleanup(said.close)
        soak = subprocess.Popen(
            [SOAK, "1", "--no-build", "--build-dir", BUILD, "--output-dir", out] +
            (["--net", "--device", "x86-64"] if NET else []),
            stdout=subprocess.DEVNULL, stderr=said, start_new_session=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        results = os.path.join(out, "net") if NET else out
        events = os.path.join(results, "events.tsv")
        deadline = time.monotonic() + 120
        while not (os.path.exists(events) and os.path.getsize(events)):
            self.assertIsNone(soak.poll(), "the soak ended before its suite was up")
            self.assertLess(time.monotonic(), deadline, "the suite did not come up")
            time.sleep(0.2)
        time.sleep(1.5)  # into its first fault or sample
        sent = time.monotonic()
        send(soak)
        try:
            status = soak.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(soak.pid, signal.SIGKILL)
            soak.wait()
            self.fail("the soak still ran 10 s after the signal")
        took = time.monotonic() - sent

        with open(os.path.join(results, "logs", "processes")) as f:
            started = [line.split() for line in f if line.strip()]
        self.assertGreaterEqual(len(started), 7, started)
        running = [name for name, pid in started if alive(int(pid))]
        self.assertEqual(running, [], "still running")
        on_out = subprocess.run(["pgrep", "-af", out], capture_output=True, text=True).stdout
        self.assertEqual(on_out, "", "processes on the output folder")
        self.assertEqual(set(glob.glob(scratch)) - scratch_before, set())
        self.assertEqual(sdcard_mounts(), mounts_before)
        if not NET:
            # The inner half stopped all it started: the outer half had nothing to kill.
            said.seek(0)
            self.assertNotIn("left running in the namespace", said.read())
        return status, took

    def test_sigterm_to_the_script(self):
        status, took = self.stopped(lambda soak: soak.send_signal(signal.SIGTERM))
        self.assertEqual(status, 130)
        self.assertLess(took, BOUND)

    def test_sigint_to_its_process_group(self):
        status, took = self.stopped(lambda soak: os.killpg(soak.pid, signal.SIGINT))
        self.assertEqual(status, 130)
        self.assertLess(took, BOUND)


if __name__ == "__main__":
    unittest.main()
