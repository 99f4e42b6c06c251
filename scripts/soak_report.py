#!/usr/bin/python3
"""The soak's measurements and its verdict on them (scripts/soak).

    soak_report.py sample <samples.jsonl> <tag> [--lock FILE] [--wardenpeek PATH]
                   [--against-baseline] <role>=<pid>...
    soak_report.py report <output_dir>

`sample` appends one JSON line to <samples.jsonl>: for every process named (its role,
pid and start time) its open descriptors (/proc/PID/fd), resident memory (VmRSS) and
threads; for the server, read in the namespace's /dev/shm, its clients and connections
(jack_lsp -c), the used entries and server slots of JACK's shared-memory registry and
the number of files under /dev/shm; and the buffers memwarden has allocated (wardenpeek
status). Descriptor and thread counts are read until two readings 50 ms apart agree,
since a peer that has just gone is closed asynchronously. With --lock, memwarden is
sampled holding that lock, which the shared-memory runner (soak_shm.py) holds for each
of its runs. With --against-baseline the server's figures are compared with the first
sample of the file; any difference is printed and the exit status is 1.

`report` reads <output_dir>/samples.jsonl and <output_dir>/events.tsv (written by
scripts/soak), prints a table of every series (first sample, last sample, growth per
hour, bound, verdict) and the faults, writes them to <output_dir>/table.txt, draws
<output_dir>/soak.png and exits 1 when a bound is broken or an event failed.

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
import fcntl
import json
import os
import re
import struct
import subprocess
import sys
import time

WARMUP_S = 5.0
RSS_MIB_PER_HOUR = 4.0
RSS_FLOOR_MIB = 1.0
ROLES = ["jackd", "spinreel", "fuzzpedal", "tapdelay", "returnmix", "padplayer", "memwarden"]
REGISTRY = "/dev/shm/jack-shm-registry"
SERVER_FIELDS = [("clients", "clients"), ("connections", "connections"),
                 ("registry_entries", "registry entries used"),
                 ("registry_servers", "registry server slots used"),
                 ("shm_files", "files in /dev/shm")]


# ---- sampling ----

def settled_counts(paths):
    """The number of entries of each /proc directory once two readings 50 ms apart
    agree for all of them (at most a second); None for a directory that is gone."""
    previous = None
    for _ in range(20):
        counts = {}
        for path in paths:
            try:
                counts[path] = len(os.listdir(path))
            except OSError:
                counts[path] = None
        if counts == previous:
            break
        previous = counts
        time.sleep(0.05)
    return counts


def processes_figures(pids, boot_time, ticks):
    """Per pid: descriptors, resident KiB, threads and start time (epoch seconds), or
    None when the process is gone."""
    figures = {}
    for pid in pids:
        try:
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%d/status" % pid) as f:
                status = f.read()
        except OSError:
            figures[pid] = None
            continue
        if fields[0] in ("Z", "X"):
            figures[pid] = None
            continue
        figures[pid] = {"pid": pid, "start": boot_time + int(fields[19]) / ticks,
                        "rss_kib": int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1))}
    live = [pid for pid in pids if figures[pid]]
    counts = settled_counts(["/proc/%d/%s" % (pid, d) for pid in live for d in ("fd", "task")])
    for pid in live:
        fds, threads = counts["/proc/%d/fd" % pid], counts["/proc/%d/task" % pid]
        if fds is None or threads is None:
            figures[pid] = None
        else:
            figures[pid].update(fds=fds, threads=threads)
    return figures


def registry_counts(image):
    """Used entries and used server slots of JACK's shared-memory registry: the header
    gives its own length and an entry's; a server slot is used when its pid is not 0, an
    entry when its size is not 0 (a released entry is cleared)."""
    hdr_len, entry_len = struct.unpack_from("<ii", image, 16)
    slot_len = (hdr_len - 24) // 8
    servers = sum(1 for i in range(8) if struct.unpack_from("<i", image, 24 + i * slot_len)[0])
    entries = (len(image) - hdr_len) // entry_len
    used = sum(1 for i in range(entries)
               if struct.unpack_from("<i", image, hdr_len + i * entry_len + 8)[0] != 0)
    return used, servers


def jack_graph():
    """Client names and connections of the server, from jack_lsp -c."""
    try:
        listing = subprocess.run(["jack_lsp", "-c"], capture_output=True, text=True,
                                 timeout=10).stdout
    except subprocess.TimeoutExpired:
        return None, None
    return graph_of(listing)


def graph_of(listing):
    """Client names and connections ("port <-> port", each once, though jack_lsp -c
    lists it under both its ports) from jack_lsp -c's output."""
    clients, edges, port = set(), set(), None
    for line in listing.splitlines():
        if not line.strip():
            continue
        if not line.startswith(" "):
            port = line.strip()
            clients.add(port.split(":", 1)[0])
        elif port is not None:
            edges.add("%s <-> %s" % tuple(sorted((port, line.strip()))))
    return sorted(clients), sorted(edges)


def server_figures():
    clients, edges = jack_graph()
    try:
        with open(REGISTRY, "rb") as f:
            used, servers = registry_counts(f.read())
    except (OSError, struct.error):
        used = servers = None
    files = sum(len(names) + len(dirs) for _, dirs, names in os.walk("/dev/shm"))
    return {"clients": len(clients) if clients is not None else None,
            "client_names": clients,
            "connections": len(edges) if edges is not None else None, "edges": edges,
            "registry_entries": used, "registry_servers": servers, "shm_files": files}


def memwarden_buffers(wardenpeek):
    try:
        status = subprocess.run([wardenpeek, "status"], capture_output=True, text=True,
                                timeout=20).stdout
    except subprocess.TimeoutExpired:
        return None
    if "Mem[" not in status:
        return None
    return len(re.findall(r"Mem\[ *\d+\] == 0x", status))


def server_differences(sample, baseline):
    """What of the server's figures differs from the baseline sample, in words."""
    said = []
    for key, name in SERVER_FIELDS:
        if sample["server"][key] != baseline["server"][key]:
            said.append("%s %s (baseline %s)" % (name, sample["server"][key],
                                                  baseline["server"][key]))
    lost = sorted(set(baseline["server"]["edges"] or []) - set(sample["server"]["edges"] or []))
    new = sorted(set(sample["server"]["edges"] or []) - set(baseline["server"]["edges"] or []))
    if lost:
        said.append("lost " + ", ".join(lost))
    if new:
        said.append("new " + ", ".join(new))
    return said


def sample(args):
    path, tag = args[0], args[1]
    lock = wardenpeek = None
    against_baseline = False
    roles = {}
    rest = args[2:]
    while rest:
        word = rest.pop(0)
        if word == "--lock":
            lock = rest.pop(0)
        elif word == "--wardenpeek":
            wardenpeek = rest.pop(0)
        elif word == "--against-baseline":
            against_baseline = True
        else:
            role, _, pid = word.partition("=")
            roles[role] = int(pid)
    with open("/proc/stat") as f:
        boot_time = int(re.search(r"^btime (\d+)", f.read(), re.M).group(1))
    ticks = os.sysconf("SC_CLK_TCK")
    start = float(os.environ.get("SOAK_START", "0"))
    taken = {"t": round(time.time() - start, 2), "tag": tag, "procs": {}}
    others = {role: pid for role, pid in roles.items() if role != "memwarden"}
    figures = processes_figures(list(others.values()), boot_time, ticks)
    taken["procs"] = {role: figures[pid] for role, pid in others.items()}
    taken["server"] = server_figures()
    if "memwarden" in roles:
        held = open(lock, "a") if lock else None
        if held:
            fcntl.flock(held, fcntl.LOCK_EX)
        try:
            taken["procs"]["memwarden"] = processes_figures(
                [roles["memwarden"]], boot_time, ticks)[roles["memwarden"]]
            taken["memwarden_buffers"] = memwarden_buffers(wardenpeek) if wardenpeek else None
        finally:
            if held:
                held.close()
    for one in taken["procs"].values():
        if one:
            one["start"] = round(one["start"] - start, 2)
    with open(path, "a") as f:
        f.write(json.dumps(taken) + "\n")
    if against_baseline:
        with open(path) as f:
            baseline = json.loads(f.readline())
        differences = server_differences(taken, baseline)
        if differences:
            print("; ".join(differences))
            return 1
    return 0


# ---- growth and bounds ----

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


def judge_level(values):
    """Server figures: every sample equal to the first. `values` are (tag, value)."""
    if not values:
        return False, "no samples"
    baseline = values[0][1]
    off = [(tag, v) for tag, v in values if v != baseline]
    if off:
        return False, "%d of %d samples off: %s" % (
            len(off), len(values), "; ".join("%s at %s" % (v, tag) for tag, v in off[:4]))
    return True, "ok (%d samples)" % len(values)


# ---- report ----

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
    for role in ROLES:
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
    for key, name in SERVER_FIELDS:
        values = [(s["tag"], s["server"][key]) for s in samples]
        ok, verdict = judge_level(values)
        if key == "connections" and ok:
            edges = [(s["tag"], s["server"]["edges"]) for s in samples]
            ok, verdict = judge_level(edges)
        flat = {"growth": values[-1][1] - values[0][1] if None not in (values[0][1], values[-1][1]) else 0,
                "span": span, "processes": None}
        flat["per_hour"] = flat["growth"] * 3600.0 / span if span else 0.0
        rows.append(("server " + name, values[0][1], values[-1][1], flat,
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


def plot(path, samples, events):
    """Four panels over the run: each process's descriptors, RSS and threads as the
    change since its baseline (what the bounds judge; a line per process, so a restart
    breaks it), and the server's figures as they are."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    panels = [("fds", "descriptors", 1), ("rss_kib", "RSS (MiB)", 1024.0),
              ("threads", "threads", 1)]
    fig, axes = plt.subplots(4, 1, figsize=(12, 13), sharex=True)
    colours = dict(zip(ROLES, plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    for ax, (field, label, scale) in zip(axes, panels):
        for role in ROLES:
            points = [p for p in process_points(samples, role, field) if p[0] - p[3] >= WARMUP_S]
            first = True
            for process in dict.fromkeys(p[2] for p in points):
                mine = [(t, v) for t, v, p, _ in points if p == process]
                ax.plot([t for t, _ in mine], [(v - mine[0][1]) / scale for _, v in mine],
                        marker=".", color=colours[role], label=role if first else None)
                first = False
        ax.set_ylabel("%s: change since\nthe process's baseline" % label)
        ax.grid(True, alpha=0.3)
        ax.legend(loc="lower left", fontsize=8, ncol=7)
    axes[1].axhline(RSS_FLOOR_MIB, color="k", linestyle="--", linewidth=0.8)
    axes[1].text(samples[-1]["t"], RSS_FLOOR_MIB, "floor of the RSS bound", fontsize=8,
                 va="bottom", ha="right")
    ax = axes[3]
    t = [s["t"] for s in samples]
    for key, name in SERVER_FIELDS:
        ax.plot(t, [s["server"][key] for s in samples], marker=".", label=name)
    ax.plot(t, [s.get("memwarden_buffers") for s in samples], marker=".",
            label="memwarden buffers allocated")
    ax.set_ylabel("the server's figures")
    ax.set_xlabel("time since the soak started (s)")
    ax.legend(loc="center left", fontsize=8, ncol=3)
    ax.grid(True, alpha=0.3)
    for e in events:
        if e["what"].startswith("fault "):
            for ax in axes:
                ax.axvline(e["t"], color="0.6", linestyle=":", linewidth=0.8)
            axes[0].annotate(e["what"][6:], (e["t"], 1), xycoords=("data", "axes fraction"),
                             rotation=90, fontsize=7, va="top", ha="right")
    axes[0].set_title("Soak: each process's resources past its %g s of warm-up (a line per "
                      "process) and the server's figures; dotted lines mark the faults"
                      % WARMUP_S, loc="left")
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def report(args):
    out = args[0]
    samples, events = load(out)
    if not samples:
        print("soak: no samples were taken")
        return 1
    rows = series_rows(samples)
    lines = table(rows, samples, events)
    broken = [r for r in rows if not r[5]]
    failed = [e for e in events if e["result"] == "FAIL"]
    verdict = ("soak: PASS, every series within its bound and every fault survived"
               if not broken and not failed else
               "soak: FAIL, %d series beyond their bounds, %d failed events"
               % (len(broken), len(failed)))
    lines += ["", verdict]
    with open(os.path.join(out, "table.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    png = os.path.join(out, "soak.png")
    plot(png, samples, events)
    print("plot: " + png)
    return 1 if broken or failed else 0


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "sample":
        sys.exit(sample(sys.argv[2:]))
    if len(sys.argv) == 3 and sys.argv[1] == "report":
        sys.exit(report(sys.argv[2:]))
    sys.exit(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    main()
