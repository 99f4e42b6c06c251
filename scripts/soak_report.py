#!/usr/bin/python3
"""The soak's measurements and its verdict on them (scripts/soak).

    soak_report.py sample <samples.jsonl> <tag> [--lock FILE] [--wardenpeek PATH]
                   [--against-baseline] [--host NAME LSP_FILE SHM_DIR]... <role>=<pid>...
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

Across two hosts (scripts/soak --net) each host is given with --host: its name, a file
holding the output of `jack_lsp -c` run inside it just before (empty or missing: the
listing failed) and the /dev/shm it sees (/proc/PID/root/dev/shm of one of its
processes). The line then has "servers", those figures per host, instead of "server",
and the roles name their host: studio/jackd=PID device/fuzzpedal=PID ...

`report` reads <output_dir>/samples.jsonl and <output_dir>/events.tsv (written by
scripts/soak), prints a table of every series (first sample, last sample, growth per
hour, bound, verdict) and the faults, writes them to <output_dir>/table.txt, draws
<output_dir>/soak.png and exits 1 when a bound is broken or an event failed. Across two
hosts it also judges the link, from the studio's linkwatch logs in <output_dir>/logs/,
per minute between samples outside the faults, and lists each minute below the table.

The sampling, the growth per process across restarts and the bounds:
suitetools.soak_sampling and suitetools.soak_judgement; the link: suitetools.soak_link.
"""
import os
import sys

from suitetools import plots, soak_link, soak_sampling
from suitetools.soak_judgement import load, series_rows, table, two_hosts


def report(args):
    out = args[0]
    samples, events = load(out)
    if not samples:
        print("soak: no samples were taken")
        return 1
    rows = series_rows(samples)
    link = soak_link.minutes(out, samples, events) if two_hosts(samples) else None
    if link:
        rows += soak_link.judged_rows(link)
    lines = table(rows, samples, events)
    if link:
        lines += soak_link.listing(link)
    broken = [r for r in rows if not r[5]]
    failed = [e for e in events if e["result"] == "FAIL"]
    verdict = ("soak: PASS, every series within its bound and every fault survived"
               if not broken and not failed else
               "soak: FAIL, %d series beyond their bounds, %d failed events"
               % (len(broken), len(failed)))
    png = os.path.join(out, "soak.png")
    plots.soak_plot(png, samples, events, link)
    # The verdict last, in the table and on standard output.
    lines += ["", "plot: " + png, verdict]
    with open(os.path.join(out, "table.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 1 if broken or failed else 0


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "sample":
        sys.exit(soak_sampling.sample(sys.argv[2:]))
    if len(sys.argv) == 3 and sys.argv[1] == "report":
        sys.exit(report(sys.argv[2:]))
    sys.exit(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    main()
