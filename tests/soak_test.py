#!/usr/bin/python3
"""Checks the soak's judgement on synthetic input: growth kept per process across
restarts with warm-up left out, the bounds of descriptors and RSS, the server's
figures against their baseline, the reading of JACK's shared-memory registry and of
jack_lsp -c (suitetools.soak_judgement and soak_sampling), the verdict on one run
of the shared-memory tools (suitetools.shmtools), and the report of a soak across two
hosts: each host's figures and the link's minutes from linkwatch logs
(suitetools.soak_link).
"""
import contextlib
import io
import json
import os
import struct
import tempfile
import unittest

import soak_report
from suitetools import soak_judgement, soak_link, soak_sampling
from suitetools.shmtools import judge_run


def series(*processes):
    """Points of one series from (pid, started, [(t, value)...]) per process."""
    return [(t, v, (pid, started), started)
            for pid, started, points in processes for t, v in points]


class GrowthTest(unittest.TestCase):
    def test_descriptors_across_a_restart(self):
        # The first process's sample at 2 s lies in its warm-up and does not count.
        flat = series((10, 0, [(2, 30), (10, 22), (20, 22)]),
                      (11, 25, [(31, 22), (40, 22), (50, 22)]))
        self.assertEqual(soak_judgement.judge_count(soak_judgement.growth(flat)), (True, "ok"))

        leaks = series((10, 0, [(10, 22), (20, 22)]), (11, 25, [(31, 22), (50, 23)]))
        g = soak_judgement.growth(leaks)
        self.assertEqual((g["growth"], g["span"], g["processes"]), (1, 29, 2))
        ok, said = soak_judgement.judge_count(g)
        self.assertFalse(ok)
        self.assertIn("1 of 2 processes", said)

        # One process growing while the other shrinks is still growth.
        hidden = series((10, 0, [(10, 22), (20, 23)]), (11, 25, [(31, 22), (50, 21)]))
        self.assertFalse(soak_judgement.judge_count(soak_judgement.growth(hidden))[0])

        # A restarted program that starts with more than its predecessor had.
        higher = series((10, 0, [(10, 22), (20, 22)]), (11, 25, [(31, 23), (50, 23)]))
        ok, said = soak_judgement.judge_count(soak_judgement.growth(higher))
        self.assertFalse(ok)
        self.assertIn("22, 23", said)

        # The same pid again, started later, is another process.
        reused = series((10, 0, [(10, 22), (20, 22)]), (10, 25, [(31, 23), (50, 23)]))
        self.assertEqual(soak_judgement.growth(reused)["processes"], 2)

    def test_rss_rate_and_floor(self):
        def judged(*processes):
            return soak_judgement.judge_rss(soak_judgement.growth(series(*processes)))[0]

        mib = 1024
        # 0.9 MiB within a minute: far above 4 MiB/h, but under the 1 MiB floor.
        self.assertTrue(judged((1, 0, [(10, 100 * mib), (70, 100.9 * mib)])))
        # 1.5 MiB in half an hour is 3 MiB/h; 3 MiB in half an hour is 6 MiB/h.
        self.assertTrue(judged((1, 0, [(10, 100 * mib), (1810, 101.5 * mib)])))
        self.assertFalse(judged((1, 0, [(10, 100 * mib), (1810, 103 * mib)])))
        # Two processes of 0.75 MiB in 5 min each: 1.5 MiB in 10 min, 9 MiB/h.
        self.assertFalse(judged((1, 0, [(10, 100 * mib), (310, 100.75 * mib)]),
                                (2, 320, [(330, 100 * mib), (630, 100.75 * mib)])))

    def test_nothing_past_warm_up_is_not_a_pass(self):
        young = series((1, 0, [(1, 22), (4, 22)]))
        self.assertFalse(soak_judgement.judge_count(soak_judgement.growth(young))[0])


class ServerTest(unittest.TestCase):
    def test_figures_back_at_their_baseline(self):
        self.assertTrue(soak_judgement.judge_level([("baseline", 8), ("after server", 8)])[0])
        ok, said = soak_judgement.judge_level([("baseline", 18), ("periodic", 18),
                                            ("after server", 19)])
        self.assertFalse(ok)
        self.assertIn("19 at after server", said)

    def test_registry_counts(self):
        # The x86-64 layout that jackd 1.9.21 writes: 8 server slots of 264 bytes after
        # a 24-byte head, then entries of 268 bytes: index, allocator pid, size, id.
        hdr_len, entry_len = 24 + 8 * 264, 268
        image = bytearray(hdr_len + 256 * entry_len)
        struct.pack_into("<IHHiiii", image, 0, 0x4a41434b, 0, 0, 1, len(image), hdr_len, entry_len)
        struct.pack_into("<i", image, 24 + 264 * 0, 4242)
        struct.pack_into("<i", image, 24 + 264 * 5, 4343)
        for i, size in ((0, 107341340), (1, 1196), (7, 0), (255, 64)):
            struct.pack_into("<hhii", image, hdr_len + i * entry_len, i, 0, 4242, size)
        # Entry 7 was released: its index stays, its size is 0.
        self.assertEqual(soak_sampling.registry_counts(bytes(image)), (3, 2))


    def test_differences_named_by_host(self):
        def sample(device_clients):
            figures = {"clients": 3, "edges": ["a <-> b"]}
            return {"servers": {"studio": figures, "device": dict(figures, clients=device_clients)}}
        self.assertEqual(soak_sampling.sample_differences(sample(4), sample(3)),
                         ["device: clients 4 (baseline 3)"])

    def test_graph_of_jack_lsp(self):
        listing = ("system:capture_1\n   passthru:input\nsystem:playback_1\n"
                   "   passthru:output\n   fuzzpedal:output1\npassthru:input\n"
                   "   system:capture_1\npassthru:output\n   system:playback_1\n"
                   "fuzzpedal:output1\n   system:playback_1\nfuzzpedal:input2\n\n")
        clients, edges = soak_sampling.graph_of(listing)
        self.assertEqual(clients, ["fuzzpedal", "passthru", "system"])
        self.assertEqual(edges, ["fuzzpedal:output1 <-> system:playback_1",
                                 "passthru:input <-> system:capture_1",
                                 "passthru:output <-> system:playback_1"])


class SeriesRowsTest(unittest.TestCase):
    def test_rows_follow_processes_and_server(self):
        def sample(t, tag, spinreel_pid, fds, clients):
            figures = {"pid": spinreel_pid, "start": 0 if spinreel_pid == 1 else 30,
                       "fds": fds, "rss_kib": 1000, "threads": 5}
            server = {"clients": clients, "connections": 1, "edges": ["a <-> b"],
                      "registry_entries": 7, "registry_servers": 1, "shm_files": 18}
            return {"t": t, "tag": tag, "procs": {"spinreel": figures}, "server": server}

        samples = [sample(10, "baseline", 1, 22, 8), sample(20, "periodic", 1, 22, 8),
                   sample(40, "after spinreel", 2, 22, 7), sample(50, "periodic", 2, 23, 8)]
        rows = {r[0]: r for r in soak_judgement.series_rows(samples)}
        _, first, last, g, _, ok, _ = rows["spinreel descriptors"]
        self.assertEqual((first, last, g["processes"], ok), (22, 23, 2, False))
        self.assertFalse(rows["server clients"][5])
        self.assertIn("7 at after spinreel", rows["server clients"][6])
        self.assertTrue(rows["server registry entries used"][5])
        self.assertEqual(rows["jackd descriptors"][6], "never sampled")


class TwoHostsTest(unittest.TestCase):
    """Samples each minute from 0 to 240 s; the studio's server killed from 125 s to
    its "fault" line at 130 s; the studio's linkwatch from -0.5 s (its last row ends at
    126.5 s) and again from 131 s. Rows in the fault's window carry a round trip of 640
    and lost cycles, which must not count; a row at 70.5 s with an overrun a shorter
    round trip, left out of it."""
    HEADER = "# seconds on_time late lost repeated round_trip_min round_trip_max overruns frame_time\n"

    def judged(self, round_trip=lambda end: 512, late_lost=lambda end: 0,
               device_clients=lambda t: 9, starts=((1, -0.5, 127), (2, 131.0, 120))):
        out = self.enterContext(tempfile.TemporaryDirectory())
        os.mkdir(os.path.join(out, "logs"))
        with open(os.path.join(out, "samples.jsonl"), "w") as f:
            for t in (0, 60, 120, 180, 240):
                figures = {"pid": 7, "start": -10, "fds": 9, "rss_kib": 900, "threads": 3}
                servers = {host: {"clients": clients, "connections": 2, "edges": ["a <-> b", "c <-> d"],
                                  "registry_entries": 4, "registry_servers": 1, "shm_files": 6}
                           for host, clients in (("studio", 3), ("device", device_clients(t)))}
                f.write(json.dumps({"t": t, "tag": "baseline" if t == 0 else "periodic",
                                    "procs": {"studio/jackd": figures, "device/fuzzpedal": figures},
                                    "servers": servers}) + "\n")
        with open(os.path.join(out, "events.tsv"), "w") as f:
            f.write("125.0\tbegin studio\tnote\t\n130.0\tfault studio\tok\tback\n")
        with open(os.path.join(out, "logs", "linkwatch.starts"), "w") as f:
            f.writelines("%d %s\n" % (n, started) for n, started, _ in starts)
        for n, started, count in starts:
            with open(os.path.join(out, "logs", "linkwatch.%d.log" % n), "w") as f:
                f.write(self.HEADER)
                for second in range(1, count + 1):
                    end = started + second
                    in_fault = 125 < end < 141
                    trip = 640 if in_fault else 384 if end == 70.5 else round_trip(end)
                    bad = 300 if in_fault else late_lost(end)
                    f.write("%.1f 340 %d %d 0 %d %d %d %d\n" % (
                        second, bad // 2, bad - bad // 2, trip, trip, end == 70.5, second * 44100))
        samples, events = soak_judgement.load(out)
        link = soak_link.minutes(out, samples, events)
        rows = soak_judgement.series_rows(samples) + soak_link.judged_rows(link)
        return out, {r[0]: (r[5], r[6]) for r in rows}

    def test_a_clean_run_passes_with_the_fault_left_out(self):
        out, rows = self.judged()
        self.assertEqual([name for name, (ok, _) in rows.items() if not ok], [])
        self.assertIn("studio connections", rows)
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(soak_report.report([out]), 0)
        with open(os.path.join(out, "table.txt")) as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[-1].startswith("soak: PASS"))
        self.assertIn("  120-180 s          45         512", "\n".join(lines))

    def test_a_minute_whose_round_trip_drifts_fails(self):
        ok, said = self.judged(round_trip=lambda end: 640 if 150 < end <= 180 else 512)[1]["link round trip (frames)"]
        self.assertFalse(ok)
        self.assertIn("1 of 4 minutes off: 640 at 120-180 s", said)

    def test_late_and_lost_per_minute(self):
        # Minute 60-120 s holds 60 rows of 340 cycles on time: 416 late and lost in one of
        # them are 1 in 50 of its cycles, 417 more.
        for bad, passes in ((416, True), (417, False)):
            ok, said = self.judged(late_lost=lambda end: bad if end == 90.5 else 0)[1][
                "link late+lost per minute"]
            self.assertEqual(ok, passes, said)

    def test_a_minute_without_linkwatch_fails(self):
        ok, said = self.judged(starts=((1, -0.5, 127),))[1]["link seen every minute"]
        self.assertFalse(ok)
        self.assertIn("not in 1 of 4 minutes: 180-240 s", said)

    def test_servers_judged_per_host(self):
        rows = self.judged(device_clients=lambda t: 10 if t == 120 else 9)[1]
        self.assertEqual(rows["studio clients"], (True, "ok (5 samples)"))
        self.assertFalse(rows["device clients"][0])
        self.assertIn("10 at periodic", rows["device clients"][1])


def wardencheck_log(lines):
    return "".join("WardenCheck D 12-09 04:34:34 12814 12814 %s\n\n" % line for line in lines)


class SharedMemoryRunTest(unittest.TestCase):
    RUN = ["*****test: increase_value_once*****",
           "WardenCheck base=0x7fb1ba1e4000 Data=0x0",
           "WardenCheck base=0x7fb1ba1e4000 Data=0x1 CHANGED",
           "*****test: increase_value_10times*****"] + [
        "WardenCheck base=0x7fb1ba1e4000 Data=0x%x%s" % (n // 2 + n % 2, " CHANGED" if n % 2 else "")
        for n in range(20)] + [
        "*****test: check_allocated*****", "pass",
        "*****test: test_set_get_registry_index*****", "pass", "pass",
        "*****test: test_memset*****", "result : 0 0 0 0", "memory dump : 0 0 0 0",
        "result : -1 -1 -1 -1", "memory dump : -1 -1 -1 -1"]
    STATUS = ("<<<<<<<<<<< dump memory allocation status >>>>>>>>>>\n" +
              "".join("Mem[%3d] == NULL\n" % i for i in range(256, 0, -1)) +
              "Mem[  0] == 0x7fb1ba1e4000\n")
    INDEX = "<<<<<<<<<<< show registry index >>>>>>>>>>\nindex [  0]\n"

    def test_verdicts(self):
        self.assertIsNone(judge_run(wardencheck_log(self.RUN), self.STATUS, self.INDEX))
        # The second check_allocated "pass" missing, and a test that never ran.
        broken = [line for line in self.RUN if line != "*****test: test_memset*****"]
        broken.remove("pass")
        said = judge_run(wardencheck_log(broken), self.STATUS, self.INDEX)
        self.assertIn("check_allocated fail", said)
        self.assertIn("test_memset", said)
        said = judge_run(wardencheck_log(self.RUN), "shm service is not available\n",
                              "shm service is not available\n")
        self.assertIn("wardenpeek: found no service", said)
        self.assertIn("did not end", judge_run(None, self.STATUS, self.INDEX))


if __name__ == "__main__":
    unittest.main()
