"""The soak's samples of its processes, the server and memwarden: one JSON line per
sample, as soak_report.py's `sample` describes it (descriptors, resident memory and
threads of every process named; the server's clients, connections, registry and
/dev/shm files; memwarden's buffers)."""
import fcntl
import json
import os
import re
import struct
import subprocess
import time

from . import shmtools
from .facts import PROGRAMS

# The processes the soak watches: the server, the five clients, memwarden.
ROLES = ["jackd"] + PROGRAMS[:5] + ["memwarden"]
REGISTRY = "/dev/shm/jack-shm-registry"
SERVER_FIELDS = [("clients", "clients"), ("connections", "connections"),
                 ("registry_entries", "registry entries used"),
                 ("registry_servers", "registry server slots used"),
                 ("shm_files", "files in /dev/shm")]


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
    return shmtools.buffer_count(status)


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
