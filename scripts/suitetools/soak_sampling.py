"""The soak's samples of its processes, the server and memwarden: one JSON line per
sample, as soak_report.py's `sample` describes it (descriptors, resident memory and
threads of every process named; the server's clients, connections, registry and
/dev/shm files, or each host's in a soak across two hosts; memwarden's buffers)."""
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
REGISTRY = "jack-shm-registry"  # in the server's /dev/shm
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


def emulator_kib(pid):
    """What an emulated program's emulator (qemu-user) keeps resident for itself, in KiB:
    its code cache (the anonymous mapping it writes and executes) and its own heap
    (the program's heap lies in the emulated address space). The cache fills as the
    program first runs each stretch of its code, after a fault too, which says nothing
    of the program's own memory. 0 for a program that runs natively."""
    try:
        if not os.path.basename(os.readlink("/proc/%d/exe" % pid)).startswith("qemu-"):
            return 0
        total, own = 0, False
        with open("/proc/%d/smaps" % pid) as f:
            for line in f:
                fields = line.split()
                if re.match(r"^[0-9a-f]+-[0-9a-f]+$", fields[0]):
                    own = (fields[1] == "rwxp" and len(fields) == 5) or fields[-1] == "[heap]"
                elif own and fields[0] == "Rss:":
                    total += int(fields[1])
        return total
    except OSError:
        return 0


def processes_figures(pids, boot_time, ticks):
    """Per pid: descriptors, resident KiB, threads and start time (epoch seconds), or
    None when the process is gone. For an emulated program the resident KiB leave out
    what the emulator keeps for itself (emulator_kib, kept beside them)."""
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
        emulator = emulator_kib(pid)
        figures[pid] = {"pid": pid, "start": boot_time + int(fields[19]) / ticks,
                        "rss_kib": int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1))
                        - emulator}
        if emulator:
            figures[pid]["emulator_kib"] = emulator
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


def listed_graph(path):
    """Client names and connections from a file holding jack_lsp -c's output, run by
    the caller inside another host; (None, None) when it is empty or missing (the
    listing failed)."""
    try:
        with open(path) as f:
            listing = f.read()
    except OSError:
        return None, None
    return graph_of(listing) if listing.strip() else (None, None)


def server_figures(graph=None, shm_dir="/dev/shm"):
    """The server's figures: its clients and connections from `graph` (client names and
    connections, or (None, None) for a listing that failed; by default jack_lsp -c run
    here), its registry and its files from `shm_dir`, the /dev/shm it sees."""
    clients, edges = jack_graph() if graph is None else graph
    try:
        with open(os.path.join(shm_dir, REGISTRY), "rb") as f:
            used, servers = registry_counts(f.read())
    except (OSError, struct.error):
        used = servers = None
    files = (sum(len(names) + len(dirs) for _, dirs, names in os.walk(shm_dir))
             if os.path.isdir(shm_dir) else None)
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


def server_differences(figures, baseline):
    """What of one server's figures differs from its baseline's, in words."""
    said = []
    for key, name in SERVER_FIELDS:
        if figures.get(key) != baseline.get(key):
            said.append("%s %s (baseline %s)" % (name, figures.get(key), baseline.get(key)))
    lost = sorted(set(baseline.get("edges") or []) - set(figures.get("edges") or []))
    new = sorted(set(figures.get("edges") or []) - set(baseline.get("edges") or []))
    if lost:
        said.append("lost " + ", ".join(lost))
    if new:
        said.append("new " + ", ".join(new))
    return said


def sample_differences(sample, baseline):
    """What of a sample's server figures differs from the baseline sample's, in words;
    on two hosts each difference is named by its host."""
    if "servers" not in sample:
        return server_differences(sample["server"], baseline["server"])
    said = []
    for host in dict.fromkeys(list(baseline.get("servers", {})) + list(sample["servers"])):
        said += ["%s: %s" % (host, words) for words in server_differences(
            sample["servers"].get(host) or {}, baseline.get("servers", {}).get(host) or {})]
    return said


def sample(args):
    path, tag = args[0], args[1]
    lock = wardenpeek = None
    against_baseline = False
    roles, hosts = {}, {}
    rest = args[2:]
    while rest:
        word = rest.pop(0)
        if word == "--lock":
            lock = rest.pop(0)
        elif word == "--wardenpeek":
            wardenpeek = rest.pop(0)
        elif word == "--against-baseline":
            against_baseline = True
        elif word == "--host":
            name, listing, shm_dir = rest[:3]
            del rest[:3]
            hosts[name] = (listing, shm_dir)
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
    if hosts:
        taken["servers"] = {name: server_figures(listed_graph(listing), shm_dir)
                            for name, (listing, shm_dir) in hosts.items()}
    else:
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
        differences = sample_differences(taken, baseline)
        if differences:
            print("; ".join(differences))
            return 1
    return 0
