"""The soak's judgement on its samples (soak_report.py report): growth per series and
its bound, the table and the faults, for the soak on one server and the one across two
hosts alike (whose samples carry each host's server figures under "servers" and name
their processes "<host>/<program>").

How restarts are handled: a restarted program is a new process, so each series is kept
per process (keyed by pid and start time). A process's samples from its first WARMUP_S
seconds are left out; its first remaining sample is its baseline and its growth is its
last sample minus that baseline. A series' growth is the sum over its processes, and
its growth per hour that sum over the summed time between each process's baseline and
its last sample. Processes that have a single sample past warm-up add no growth, but
their baseline is still compared with the first process's.

The bounds:
  descriptors, threads and memwarden's allocated buffers: no growth at all, in any
      process, and every process of a role starts from the same count as the first
      (a restarted program has what its predecessor had at the same point);
  RSS: at most RSS_MIB_PER_HOUR MiB per hour over the run; growth below RSS_FLOOR_MIB
      MiB in all is not judged (what a short run can resolve: pages touched late);
  the server's clients, connections, registry entries and servers and the files in
      /dev/shm: equal to the first sample's at every sample, the one taken after each
      fault included.
"""
import json
import os

from .soak_sampling import ROLES, SERVER_FIELDS

WARMUP_S = 5.0
RSS_MIB_PER_HOUR = 4.0
RSS_FLOOR_MIB = 1.0


def growth(points, warmup=WARMUP_S):
    """Growth of one series over processes that come and go. `points` are (t, value,
    process, started) in time order, `process` any key that tells processes apart;
    points from a process's first `warmup` seconds are left out. Returns a dict: `growth`
    (summed over processes, each its last value minus its first), `span` (summed
    seconds from each process's first kept point to its last), `per_hour`,
    `baselines` (each process's first kept value, in order), `growths` (each
    process's growth) and `processes`."""
    kept = {}
    order = []
    for t, value, process, started in points:
        if value is None or t - started < warmup:
            continue
        if process not in kept:
            kept[process] = []
            order.append(process)
        kept[process].append((t, value))
    growths = [kept[p][-1][1] - kept[p][0][1] for p in order]
    span = sum(kept[p][-1][0] - kept[p][0][0] for p in order)
    total = sum(growths)
    return {"growth": total, "span": span, "per_hour": total * 3600.0 / span if span else 0.0,
            "baselines": [kept[p][0][1] for p in order], "growths": growths,
            "processes": len(order)}


def judge_count(g):
    """Descriptors, threads, buffers: no process grows, every process starts where the
    first did. Returns (ok, words)."""
    if not g["processes"]:
        return False, "no sample past warm-up"
    grew = [d for d in g["growths"] if d > 0]
    if grew:
        return False, "grew by %s in %d of %d processes" % (
            "+".join(str(d) for d in grew), len(grew), g["processes"])
    starts = sorted(set(g["baselines"]))
    if len(starts) > 1:
        return False, "processes started at %s" % ", ".join(str(s) for s in g["baselines"])
    return True, "ok"


def judge_rss(g):
    """RSS in KiB: growth within the hourly bound, or below the floor."""
    if not g["processes"]:
        return False, "no sample past warm-up"
    mib = g["growth"] / 1024.0
    allowed = max(RSS_FLOOR_MIB, RSS_MIB_PER_HOUR * g["span"] / 3600.0)
    if mib > allowed:
        return False, "grew %.2f MiB in %.0f s (allowed %.2f)" % (mib, g["span"], allowed)
    return True, "ok"


def judge_level(values, unit="samples"):
    """Server figures (and the link's round trip): every value equal to the first.
    `values` are (tag, value), `unit` what they are taken at, in words."""
    if not values:
        return False, "no " + unit
    baseline = values[0][1]
    off = [(tag, v) for tag, v in values if v != baseline]
    if off:
        return False, "%d of %d %s off: %s" % (
            len(off), len(values), unit, "; ".join("%s at %s" % (v, tag) for tag, v in off[:4]))
    return True, "ok (%d %s)" % (len(values), unit)


def load(out):
    samples = []
    path = os.path.join(out, "samples.jsonl")
    if os.path.exists(path):
        with open(path) as f:
            samples = [json.loads(line) for line in f if line.strip()]
    events = []
    path = os.path.join(out, "events.tsv")
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                parts = line.rstrip("\n").split("\t")
                if len(parts) == 4:
                    events.append({"t": float(parts[0]), "what": parts[1], "result": parts[2],
                                   "detail": parts[3]})
    return samples, events


def two_hosts(samples):
    return bool(samples) and "servers" in samples[0]


def roles(samples):
    """The roles judged: on one server the soak's own (one never sampled fails); on two
    hosts those the samples name, in the order first seen."""
    if not two_hosts(samples):
        return ROLES
    return list(dict.fromkeys(role for s in samples for role in s["procs"]))


def servers(samples):
    """(name, figures of a sample) per server: "server" on one host; on two each host by
    its name, in the order first seen (a host missing from a sample has no figures)."""
    if not two_hosts(samples):
        return [("server", lambda s: s["server"])]
    hosts = dict.fromkeys(host for s in samples for host in s["servers"])
    return [(host, lambda s, host=host: s["servers"].get(host) or {}) for host in hosts]


def process_points(samples, role, field):
    points = []
    for s in samples:
        figures = s["procs"].get(role)
        if figures:
            points.append((s["t"], figures[field], (figures["pid"], figures["start"]),
                           figures["start"]))
    return points


def series_rows(samples):
    """(name, first, last, growth dict or None, bound, ok, verdict) per series."""
    rows = []
    span = samples[-1]["t"] - samples[0]["t"] if len(samples) > 1 else 0
    for role in roles(samples):
        for field, name, judge, bound in (
                ("fds", "descriptors", judge_count, "no growth"),
                ("threads", "threads", judge_count, "no growth"),
                ("rss_kib", "RSS KiB", judge_rss,
                 "<= %g MiB/h (%g MiB floor)" % (RSS_MIB_PER_HOUR, RSS_FLOOR_MIB))):
            points = process_points(samples, role, field)
            if not points:
                rows.append(("%s %s" % (role, name), None, None, None, bound, False, "never sampled"))
                continue
            g = growth(points)
            ok, verdict = judge(g)
            rows.append(("%s %s" % (role, name), points[0][1], points[-1][1], g, bound, ok, verdict))
    buffers = []
    for s in samples:
        figures = s["procs"].get("memwarden")
        if figures:
            buffers.append((s["t"], s.get("memwarden_buffers"), (figures["pid"], figures["start"]),
                            figures["start"]))
    if buffers:
        g = growth(buffers)
        ok, verdict = judge_count(g)
        rows.append(("memwarden buffers allocated", buffers[0][1], buffers[-1][1], g,
                     "no growth", ok, verdict))
    for server, figures in servers(samples):
        for key, name in SERVER_FIELDS:
            values = [(s["tag"], figures(s).get(key)) for s in samples]
            ok, verdict = judge_level(values)
            if key == "connections" and ok:
                edges = [(s["tag"], figures(s).get("edges")) for s in samples]
                ok, verdict = judge_level(edges)
            flat = {"growth": values[-1][1] - values[0][1]
                    if None not in (values[0][1], values[-1][1]) else 0,
                    "span": span, "processes": None}
            flat["per_hour"] = flat["growth"] * 3600.0 / span if span else 0.0
            rows.append(("%s %s" % (server, name), values[0][1], values[-1][1], flat,
                         "= first sample, every sample", ok, verdict))
    return rows


def table(rows, samples, events):
    lines = []
    header = ("series", "procs", "first", "last", "growth/h", "bound", "verdict")
    body = []
    for name, first, last, g, bound, ok, verdict in rows:
        per_hour = "-" if g is None else "%+.1f" % g["per_hour"]
        procs = "-" if g is None or g.get("processes") is None else str(g["processes"])
        body.append((name, procs, "-" if first is None else str(first),
                     "-" if last is None else str(last), per_hour, bound,
                     verdict if ok else "FAIL: " + verdict))
    widths = [max(len(r[i]) for r in body + [header]) for i in range(6)]
    for r in [header] + body:
        lines.append("  ".join(r[i].ljust(widths[i]) if i in (0, 5) else r[i].rjust(widths[i])
                               for i in range(6)) + "  " + r[6])
    span = samples[-1]["t"] - samples[0]["t"] if samples else 0
    lines.append("")
    lines.append("%d samples over %.0f s (%d after faults); growth/h is in the series' unit "
                 "(RSS in KiB) per hour, from each process's first sample after %g s of warm-up"
                 % (len(samples), span, sum(1 for s in samples if s["tag"].startswith("after")),
                    WARMUP_S))
    faults = {}
    for e in events:
        if e["what"].startswith("fault "):
            kind = e["what"].split(" ", 1)[1]
            faults[kind] = faults.get(kind, 0) + 1
    if faults:
        lines.append("faults: " + ", ".join("%s %dx" % kv for kv in faults.items()))
    for e in events:
        if e["result"] == "FAIL":
            lines.append("FAIL at %.1f s: %s: %s" % (e["t"], e["what"], e["detail"]))
    return lines
