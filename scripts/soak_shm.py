#!/usr/bin/python3
"""The shared-memory half under the soak (scripts/soak): runs wardencheck and then
wardenpeek status and index against memwarden over and over until it gets SIGTERM,
each run holding <lock_file> (flock) so that the soak can pause it (while it kills
and restarts memwarden) and sample memwarden between runs. Each run is judged with the
demo's readers (suitetools.shmtools): wardencheck's five tests pass, and wardenpeek finds the service and
lists its 257 buffers and the registry index.

    soak_shm.py <wardencheck> <wardenpeek> <lock_file> <log_dir> [pause_s]

Writes one line per run to <log_dir>/shm-runs.log, "<epoch seconds> <run> pass" or
"<epoch seconds> <run> FAIL <what>", and keeps a failing run's output as
<log_dir>/shm-run<run>-*.txt. The environment (XDG_RUNTIME_DIR, ANDROID_LOG_TAGS) goes
to the tools unchanged. Waits pause_s seconds (default 1) between runs.
"""
import fcntl
import os
import signal
import subprocess
import sys
import time

from suitetools.shmtools import judge_run


def run(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=20)
        return done.stdout + done.stderr
    except subprocess.TimeoutExpired:
        return None


def main():
    if len(sys.argv) not in (5, 6):
        sys.exit(__doc__.split("\n\n")[1])
    wardencheck, wardenpeek, lock_file, log_dir = sys.argv[1:5]
    pause = float(sys.argv[5]) if len(sys.argv) == 6 else 1.0
    # SystemExit unwinds a run in progress; subprocess.run kills its child on the way.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    runs = open(os.path.join(log_dir, "shm-runs.log"), "a", buffering=1)
    number = 0
    while True:
        number += 1
        with open(lock_file, "a") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            check = run([wardencheck])
            status = run([wardenpeek, "status"])
            index = run([wardenpeek, "index"])
        wrong = judge_run(check, status, index)
        if wrong:
            for name, text in (("wardencheck", check), ("status", status), ("index", index)):
                with open(os.path.join(log_dir, "shm-run%d-%s.txt" % (number, name)), "w") as f:
                    f.write(text or "")
            runs.write("%.2f %d FAIL %s\n" % (time.time(), number, wrong))
        else:
            runs.write("%.2f %d pass\n" % (time.time(), number))
        time.sleep(pause)


if __name__ == "__main__":
    main()
