#!/usr/bin/python3
"""scripts/net-hosts leaves nothing behind: after "down", and when the process that
made the hosts is killed outright, no process that ran on a host it made is left,
and no network namespace of its own. Also that an adopted host keeps its processes.

usage: net_hosts_test.py <scripts/net-hosts>
"""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

NET_HOSTS = sys.argv[1]
del sys.argv[1]


def net_namespace(pid):
    try:
        return os.readlink("/proc/%d/ns/net" % pid)
    except OSError:
        return None


def gone_within(pids, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if all(net_namespace(p) is None for p in pids):
            return True
        time.sleep(0.1)
    return False


class NetHostsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="net_hosts_test.")
        self.guard = subprocess.Popen(["sleep", "600"])
        self.addCleanup(self.guard.kill)
        self.addCleanup(self.dir.cleanup)
        self.addCleanup(subprocess.run, [NET_HOSTS, "down", self.dir.name], timeout=30)

    def net_hosts(self, *args):
        return subprocess.run([NET_HOSTS, args[0], self.dir.name, *args[1:]], timeout=30,
                              capture_output=True, text=True, check=True).stdout

    def start_on(self, host):
        """A process on `host` that ignores SIGTERM, so that only SIGKILL ends it."""
        program = subprocess.Popen([NET_HOSTS, "run", self.dir.name, host, "sh", "-c",
                                    'trap "" TERM; exec sleep 600'])
        self.addCleanup(program.kill)
        deadline = time.monotonic() + 5
        while net_namespace(program.pid) == net_namespace(os.getpid()):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        return program

    def hosts_and_programs(self):
        self.net_hosts("up", str(self.guard.pid), "studio", "device")
        hosts = []
        for host in ("studio", "device"):
            with open(os.path.join(self.dir.name, host + ".pid")) as pid:
                hosts.append(int(pid.read()))
        self.assertEqual(self.net_hosts("address", "device"), "10.77.0.2\n")
        programs = [self.start_on("studio"), self.start_on("device")]
        self.assertNotEqual(net_namespace(programs[0].pid), net_namespace(programs[1].pid))
        return hosts, programs

    def test_down_stops_everything_on_the_hosts_it_made(self):
        hosts, programs = self.hosts_and_programs()
        began = time.monotonic()
        self.net_hosts("down")
        self.assertLess(time.monotonic() - began, 10)
        for p in programs:
            self.assertIsNotNone(p.wait(timeout=1))
        self.assertTrue(gone_within(hosts, 1))
        self.net_hosts("down")  # again: nothing to do

    def test_hosts_go_when_their_maker_is_killed(self):
        hosts, programs = self.hosts_and_programs()
        self.guard.send_signal(signal.SIGKILL)
        self.guard.wait()
        for p in programs:
            self.assertIsNotNone(p.wait(timeout=10))
        self.assertTrue(gone_within(hosts, 5))

    def test_an_adopted_host_keeps_its_processes(self):
        device = subprocess.Popen(["unshare", "-n", "-m", "sleep", "600"])
        self.addCleanup(device.kill)
        while net_namespace(device.pid) == net_namespace(os.getpid()):
            time.sleep(0.05)
        self.net_hosts("up", str(self.guard.pid), "studio", "device=%d" % device.pid)
        self.net_hosts("down")
        self.assertIsNone(device.poll())


if __name__ == "__main__":
    unittest.main(verbosity=2)
