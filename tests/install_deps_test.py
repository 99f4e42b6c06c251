#!/usr/bin/python3
"""Checks the profiles of scripts/install-deps through its --list option: each
profile names packages one a line, the demo's none of the test profile's and no
armhf package (its install adds no second architecture), and no profile named
means both. Listing runs as if by a user without root, with the commands that
would install anything replaced by stubs that note every call: none may be made.
On a machine where jackd2 is installed, it also checks what the script's package
filter let in of JACK's programs and plug-ins.

usage: install_deps_test.py <scripts/install-deps>
"""
import fnmatch
import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.realpath(sys.argv[1])
del sys.argv[1]

# A Debian package name, with an architecture where one is named.
PACKAGE = re.compile(r"[a-z0-9][a-z0-9+.-]+(:[a-z0-9]+)?")
# Stubs: `id` says uid 1000; the others note their call and succeed.
STUBS = {"id": 'echo 1000\n'}
for command in ("sudo", "apt-get", "dpkg", "dpkg-query", "debconf-set-selections"):
    STUBS[command] = 'echo "%s $*" >> "$STUB_CALLS"\n' % command


class InstallDepsListTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="install_deps_test.")
        bin_dir = os.path.join(cls.tmp.name, "bin")
        os.mkdir(bin_dir)
        for name, body in STUBS.items():
            path = os.path.join(bin_dir, name)
            with open(path, "w") as stub:
                stub.write("#!/bin/sh\n" + body)
            os.chmod(path, 0o755)
        cls.calls = os.path.join(cls.tmp.name, "calls")
        cls.env = dict(os.environ, PATH=bin_dir + ":" + os.environ["PATH"],
                       STUB_CALLS=cls.calls)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def list(self, *profiles):
        run = subprocess.run([SCRIPT, "--list", *profiles], capture_output=True, text=True,
                             env=self.env, stdin=subprocess.DEVNULL, timeout=30)
        self.assertEqual((run.returncode, run.stderr), (0, ""))
        if os.path.exists(self.calls):
            with open(self.calls) as calls:
                self.fail("listing called: " + calls.read())
        self.assertTrue(run.stdout.endswith("\n"), run.stdout)
        lines = run.stdout.splitlines()
        for line in lines:
            self.assertRegex(line, "^" + PACKAGE.pattern + "$")
        self.assertEqual(len(lines), len(set(lines)), "a package listed twice")
        return lines

    def test_each_profile_lists_packages_one_a_line(self):
        for profile in ("demo", "test"):
            with self.subTest(profile=profile):
                self.assertTrue(self.list(profile), "an empty profile")

    def test_demo_profile_names_nothing_of_the_test_profile(self):
        demo, test = self.list("demo"), self.list("test")
        self.assertEqual(set(demo) & set(test), set())
        self.assertEqual([p for p in demo if p.endswith(":armhf")], [])
        self.assertEqual(sorted(self.list()), sorted(demo + test))

    def test_an_unknown_profile_is_refused(self):
        run = subprocess.run([SCRIPT, "--list", "demo", "tests"], capture_output=True,
                             text=True, env=self.env, stdin=subprocess.DEVNULL, timeout=30)
        self.assertEqual((run.returncode, run.stdout), (2, ""))
        self.assertIn("usage", run.stderr)


class InstalledJackFilesTest(unittest.TestCase):
    """What the package filter let onto this machine: of JACK's programs and
    plug-ins, exactly the files it names, the network backend and netmanager among
    them, and none of the bundled examples."""

    def test_only_the_named_jack_files_are_installed(self):
        if not os.path.exists("/usr/bin/jackd"):
            self.skipTest("jackd2 is not installed")
        with open(SCRIPT) as script:
            includes = re.findall(r"^path-include=(\S+)$", script.read(), re.M)
        installed = glob.glob("/usr/bin/jack_*") + glob.glob("/usr/lib/*/jack/*")
        strays = [f for f in installed if not any(fnmatch.fnmatch(f, p) for p in includes)]
        self.assertEqual(strays, [])
        for plugin in ("jack_net.so", "netmanager.so"):
            self.assertTrue(glob.glob("/usr/lib/*/jack/" + plugin), plugin)


if __name__ == "__main__":
    unittest.main(verbosity=2)
