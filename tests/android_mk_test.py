#!/usr/bin/python3
"""Checks the device build against the CMake build. The source tree is configured
afresh in a scratch folder with a file API query for the code model; for each
deliverable the sources of its target and of every static or object library that
it links, transitively, minus the host stand-ins under platform/, must be exactly
what its Android.mk lists. The same goes for the project's include folders and for
the device libraries that stand in for what the target links; a target built with
-ffp-contract=off needs it in LOCAL_CFLAGS. Every module includes the shared flags
file, jack-suite-flags.mk, and with it warns and stops on warnings as every CMake
target does.

usage: android_mk_test.py <cmake> <source_dir>
"""
import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

CMAKE, SOURCE_DIR = sys.argv[1], os.path.realpath(sys.argv[2])
del sys.argv[1:3]

DELIVERABLES = {"fuzzpedal": "BUILD_EXECUTABLE", "tapdelay": "BUILD_EXECUTABLE",
                "returnmix": "BUILD_EXECUTABLE", "spinreel": "BUILD_EXECUTABLE",
                "padplayer": "BUILD_EXECUTABLE", "linkwatch": "BUILD_EXECUTABLE",
                "passthru": "BUILD_SHARED_LIBRARY",
                "memwarden": "BUILD_EXECUTABLE", "wardenpeek": "BUILD_EXECUTABLE",
                "wardencheck": "BUILD_EXECUTABLE"}
# The host stand-ins and the device library that replaces each (None: host only).
PLATFORM_TARGETS = {"parcel": "libbinder", "binder": "libbinder", "jackshm": "libjackshm",
                    "binder_log_filter": None}
# Shared objects the host build links by path, and their device names.
SYSTEM_LIBRARIES = {"libjack.so": "libjack", "libjackserver.so": "libjackserver",
                    "libutils.so": "libutils", "libcutils.so": "libcutils",
                    "liblog.so": "liblog"}


# --- the CMake side ---------------------------------------------------------

def load(path):
    with open(path) as file:
        return json.load(file)


def configure(build_dir):
    query = os.path.join(build_dir, ".cmake/api/v1/query")
    os.makedirs(query)
    open(os.path.join(query, "codemodel-v2"), "w").close()
    subprocess.run([CMAKE, "-S", SOURCE_DIR, "-B", build_dir, "-DBUILD_TESTING=OFF",
                    "-DBUILD_BENCHMARKS=OFF"], check=True, capture_output=True)
    reply = os.path.join(build_dir, ".cmake/api/v1/reply")
    index = load(glob.glob(os.path.join(reply, "index-*.json"))[0])
    codemodel = load(os.path.join(reply, index["reply"]["codemodel-v2"]["jsonFile"]))
    targets = {}
    for entry in codemodel["configurations"][0]["targets"]:
        target = load(os.path.join(reply, entry["jsonFile"]))
        targets[target["id"]] = target
    return targets


def in_platform(target):
    return target["paths"]["source"].split("/")[0] == "platform"


class CmakeTarget:
    """What one deliverable is made of in the CMake build."""

    def __init__(self, targets, name):
        by_name = {t["name"]: t for t in targets.values()}
        top = by_name[name]
        parts, todo = [top], [d["id"] for d in top.get("dependencies", [])]
        self.stand_ins = set()
        seen = set()
        while todo:
            dep = targets[todo.pop()]
            if dep["id"] in seen:
                continue
            seen.add(dep["id"])
            if in_platform(dep):
                self.stand_ins.add(dep["name"])
            elif dep["type"] in ("STATIC_LIBRARY", "OBJECT_LIBRARY"):
                parts.append(dep)
            todo += [d["id"] for d in dep.get("dependencies", [])]
        self.sources, self.includes, self.flags = set(), set(), set()
        for part in parts:
            for source in part["sources"]:
                if "compileGroupIndex" in source and not source.get("isGenerated"):
                    self.sources.add(os.path.join(SOURCE_DIR, source["path"]))
            for group in part.get("compileGroups", []):
                for include in group.get("includes", []):
                    path = os.path.realpath(include["path"])
                    if path.startswith(SOURCE_DIR + "/") and not path.startswith(
                            os.path.join(SOURCE_DIR, "platform") + "/"):
                        self.includes.add(path)
                for fragment in group.get("compileCommandFragments", []):
                    self.flags.update(fragment["fragment"].split())
        self.libraries = set()
        for fragment in top.get("link", {}).get("commandFragments", []):
            if fragment["role"] == "libraries":
                base = os.path.basename(fragment["fragment"])
                if base in SYSTEM_LIBRARIES:
                    self.libraries.add(SYSTEM_LIBRARIES[base])
        self.unknown_stand_ins = self.stand_ins - PLATFORM_TARGETS.keys()
        self.libraries |= {PLATFORM_TARGETS[s] for s in self.stand_ins
                           if PLATFORM_TARGETS.get(s)}


# --- the Android.mk side ----------------------------------------------------

def in_tree(path):
    """Whether `path` is a file of this source tree."""
    return os.path.isfile(path) and os.path.realpath(path).startswith(SOURCE_DIR + "/")


class MakefileReader:
    """Reads the subset of make that the device build uses: assignments, the
    build system's includes, makefiles of this tree, my-dir and all-subdir-makefiles.
    As in the build system, my-dir names the folder of the makefile read last, which
    is the build system's own after one of its includes."""

    BUILD_SYSTEM = "build/core"

    def __init__(self):
        self.variables, self.modules, self.files = {}, [], []
        self.last_dir = None
        self.included = []  # the tree's makefiles included since $(CLEAR_VARS)

    def expand(self, text):
        def one(match):
            word = match.group(1)
            if word == "call my-dir":
                return self.last_dir
            if word in self.variables:
                return self.expand(self.variables[word])
            return match.group(0)  # a variable of the device tree: left as written
        return re.sub(r"\$\(([^()]*)\)", one, text)

    def read(self, path):
        self.files.append(path)
        self.last_dir = os.path.dirname(path)
        with open(path) as makefile:
            text = makefile.read().replace("\\\n", " ")
        for number, line in enumerate(text.splitlines(), 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            assignment = re.match(r"([A-Za-z_][A-Za-z0-9_]*)\s*(:=|\+=|\?=|=)\s*(.*)$", line)
            if assignment:
                name, op, value = assignment.groups()
                if op == "?=" and name in self.variables:
                    continue
                if op in (":=",):
                    value = self.expand(value)
                if op == "+=":
                    value = self.variables.get(name, "") + " " + value
                self.variables[name] = value
                continue
            include = re.match(r"include\s+(.*)$", line)
            if not include:
                raise ValueError("%s:%d: not understood: %s" % (path, number, line))
            what = include.group(1).strip()
            if what == "$(CLEAR_VARS)":
                # As the build system's clear_vars.mk: every LOCAL_ but LOCAL_PATH.
                for name in [n for n in self.variables
                             if n.startswith("LOCAL_") and n != "LOCAL_PATH"]:
                    del self.variables[name]
                self.included = []
                self.last_dir = self.BUILD_SYSTEM
            elif what in ("$(BUILD_EXECUTABLE)", "$(BUILD_SHARED_LIBRARY)"):
                self.last_dir = self.BUILD_SYSTEM
                module = {n: self.expand(v).split()
                          for n, v in self.variables.items() if n.startswith("LOCAL_")}
                module["kind"] = what[2:-1]
                module["file"] = path
                module["includes"] = self.included
                self.modules.append(module)
            elif what == "$(call all-subdir-makefiles)":
                for sub in sorted(glob.glob(os.path.join(self.last_dir, "*", "Android.mk"))):
                    self.read(sub)
            elif in_tree(self.expand(what)):
                self.included.append(os.path.realpath(self.expand(what)))
                self.read(self.included[-1])
            else:
                raise ValueError("%s:%d: unexpected include %s" % (path, number, what))


def read_device_build():
    reader = MakefileReader()
    reader.read(os.path.join(SOURCE_DIR, "Android.mk"))
    return reader


def resolve(module, entry):
    base = module["LOCAL_PATH"][0]
    return os.path.realpath(os.path.join(base, entry))


class AndroidMkTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="android_mk_test.")
        cls.targets = configure(cls.tmp.name)
        cls.device = read_device_build()
        cls.modules = {m["LOCAL_MODULE"][0]: m for m in cls.device.modules}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_one_module_per_deliverable(self):
        kinds = {name: m["kind"] for name, m in self.modules.items()}
        self.assertEqual(kinds, DELIVERABLES)
        self.assertEqual(len(self.device.modules), len(DELIVERABLES))

    def test_every_module_file_sits_beside_its_program(self):
        for name, module in self.modules.items():
            with self.subTest(module=name):
                cmake = CmakeTarget(self.targets, name)
                top_sources = {os.path.dirname(s) for s in cmake.sources}
                self.assertIn(os.path.dirname(module["file"]), top_sources)
                self.assertEqual(module["LOCAL_PATH"], [os.path.dirname(module["file"])])

    def test_sources_match_the_cmake_targets(self):
        for name in DELIVERABLES:
            with self.subTest(module=name):
                module = self.modules[name]
                listed = [resolve(module, s) for s in module.get("LOCAL_SRC_FILES", [])]
                self.assertEqual(len(listed), len(set(listed)), "a source listed twice")
                for path in listed:
                    self.assertTrue(os.path.isfile(path), path)
                cmake = CmakeTarget(self.targets, name)
                self.assertEqual(sorted(os.path.relpath(p, SOURCE_DIR) for p in listed),
                                 sorted(os.path.relpath(p, SOURCE_DIR) for p in cmake.sources))

    def test_no_platform_stand_in_is_built_for_the_device(self):
        platform = os.path.join(SOURCE_DIR, "platform") + "/"
        for name, module in self.modules.items():
            with self.subTest(module=name):
                entries = module.get("LOCAL_SRC_FILES", []) + [
                    e for e in module.get("LOCAL_C_INCLUDES", []) if os.path.isabs(e)]
                for entry in entries:
                    self.assertFalse(resolve(module, entry).startswith(platform), entry)

    def test_project_include_folders_match(self):
        for name in DELIVERABLES:
            with self.subTest(module=name):
                module = self.modules[name]
                # $(LOCAL_PATH) gives absolute entries here; the others are folders
                # of the device tree, relative to its top.
                listed = {os.path.realpath(e) for e in module.get("LOCAL_C_INCLUDES", [])
                          if os.path.isabs(e)}
                self.assertEqual(listed, CmakeTarget(self.targets, name).includes)

    def test_device_libraries_replace_what_the_target_links(self):
        for name in DELIVERABLES:
            with self.subTest(module=name):
                cmake = CmakeTarget(self.targets, name)
                self.assertEqual(cmake.unknown_stand_ins, set(),
                                 "a new stand-in in platform/ needs its device library")
                listed = self.modules[name].get("LOCAL_SHARED_LIBRARIES", [])
                self.assertEqual(len(listed), len(set(listed)))
                self.assertEqual(set(listed), cmake.libraries)

    def test_exact_float_code_keeps_its_flags(self):
        for name in DELIVERABLES:
            with self.subTest(module=name):
                cmake = CmakeTarget(self.targets, name)
                cflags = self.modules[name].get("LOCAL_CFLAGS", [])
                for flag in ("-ffp-contract=off", "-fno-fast-math"):
                    self.assertEqual(flag in cflags, flag in cmake.flags, flag)

    def test_every_module_builds_as_strictly_as_its_target(self):
        for name in DELIVERABLES:
            with self.subTest(module=name):
                cmake = CmakeTarget(self.targets, name)
                module = self.modules[name]
                for flag in ("-Wall", "-Wextra", "-Werror"):
                    self.assertIn(flag, cmake.flags)
                    self.assertIn(flag, module.get("LOCAL_CFLAGS", []))
                self.assertIn("-std=c++17", module.get("LOCAL_CPPFLAGS", []))
                self.assertTrue(any(os.path.basename(f) == "jack-suite-flags.mk"
                                    for f in module["includes"]), module["includes"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
