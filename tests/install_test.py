#!/usr/bin/python3
"""Installs the build into a temporary DESTDIR and checks what lands where: the
nine programs in <prefix>/bin, passthru.so in JACK's internal-client folder and
the nine manual pages in <prefix>/share/man/man1. Each installed page must render
without a warning, and the usage text that each installed program prints must
appear in its page as the program prints it.

usage: install_test.py <cmake> <build_dir> <jack_internal_client_dir>
A cross build's programs run under the command line in TARGET_EMULATOR.
"""
import os
import subprocess
import sys
import tempfile
import unittest

PROGRAMS = ["fuzzpedal", "tapdelay", "returnmix", "spinreel", "padplayer", "linkwatch",
            "memwarden", "wardenpeek", "wardencheck", "fxrender"]
# Programs whose usage text comes out when they are run without arguments: the
# clients and fxrender on standard error with status 1, wardenpeek on standard
# output with 0.
USAGE_RUNS = {"fuzzpedal": ("stderr", 1), "tapdelay": ("stderr", 1),
              "returnmix": ("stderr", 1), "spinreel": ("stderr", 1),
              "padplayer": ("stderr", 1), "linkwatch": ("stderr", 1),
              "wardenpeek": ("stdout", 0),
              "fxrender": ("stderr", 1)}
SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OUTPUT", "EXIT STATUS", "EXAMPLE"]

CMAKE, BUILD_DIR, JACK_DIR = sys.argv[1:4]
EMULATOR = os.environ.get("TARGET_EMULATOR", "").split()
del sys.argv[1:4]


def render(page):
    """The page as plain text on one very long line per paragraph."""
    result = subprocess.run(
        ["groff", "-man", "-Tascii", "-P-c", "-P-b", "-P-u", "-rLL=2000n", page],
        capture_output=True, text=True, check=True)
    return result.stdout.splitlines()


def contains_block(lines, block):
    """Whether `block` stands in `lines` as consecutive lines under one indent."""
    for start, line in enumerate(lines):
        text = line.rstrip()
        if not text.endswith(block[0]):
            continue
        indent = len(text) - len(block[0])
        if text[:indent].strip():
            continue
        following = [l.rstrip()[indent:] for l in lines[start:start + len(block)]]
        if following == block:
            return True
    return False


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="install_test.")
        cls.destdir = os.path.join(cls.tmp.name, "dest")
        cls.prefix = "/opt/jack-suite"
        env = dict(os.environ, DESTDIR=cls.destdir)
        result = subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", cls.prefix],
                                env=env, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError("cmake --install failed:\n" + result.stdout + result.stderr)
        cls.root = cls.destdir + cls.prefix

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def page(self, program):
        return os.path.join(self.root, "share/man/man1", program + ".1")

    def test_programs_are_installed_executable(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                path = os.path.join(self.root, "bin", program)
                self.assertTrue(os.path.isfile(path), path)
                self.assertTrue(os.access(path, os.X_OK), path)

    def test_plugin_lands_in_jack_internal_client_dir(self):
        path = self.destdir + os.path.join(JACK_DIR, "passthru.so")
        self.assertTrue(os.path.isfile(path), path)
        with open(path, "rb") as plugin:
            self.assertEqual(plugin.read(4), b"\x7fELF")

    def test_every_page_renders_without_warnings(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                page = self.page(program)
                self.assertTrue(os.path.isfile(page), page)
                groff = subprocess.run(["groff", "-man", "-ww", "-z", page],
                                       capture_output=True, text=True)
                self.assertEqual((groff.returncode, groff.stderr), (0, ""))
                man = subprocess.run(["man", "--warnings", "-l", page],
                                     capture_output=True, text=True,
                                     env=dict(os.environ, MANPAGER="cat", MANWIDTH="80"))
                self.assertEqual((man.returncode, man.stderr), (0, ""))

    def test_every_page_names_its_program_and_has_the_sections(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                lines = render(self.page(program))
                self.assertTrue(lines[0].startswith(program.upper() + "(1)"), lines[0])
                for section in SECTIONS:
                    self.assertIn(section, lines)
                name_line = lines[lines.index("NAME") + 1].strip()
                self.assertTrue(name_line.startswith(program + " - "), name_line)

    def test_usage_text_of_each_program_is_quoted_in_its_page(self):
        for program, (stream, status) in USAGE_RUNS.items():
            with self.subTest(program=program):
                run = subprocess.run(EMULATOR + [os.path.join(self.root, "bin", program)],
                                     capture_output=True, text=True, timeout=10,
                                     stdin=subprocess.DEVNULL)
                self.assertEqual(run.returncode, status)
                usage = getattr(run, stream).splitlines()
                self.assertTrue(usage, "no usage text")
                self.assertTrue(contains_block(render(self.page(program)), usage),
                                "usage not in the page: %r" % usage)

    def test_padplayer_page_lists_its_sample_files(self):
        lines = render(self.page("padplayer"))
        files = lines[lines.index("FILES"):]
        for key in (1, 2, 3):
            self.assertTrue(any(l.strip() == "/sdcard/Sounds/key%d.wav" % key for l in files))


if __name__ == "__main__":
    unittest.main(verbosity=2)
