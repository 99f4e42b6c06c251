"""The link's figures in the soak across two hosts (scripts/soak --net): the studio's
linkwatch logs on the soak's clock, the faults' windows left out, and per minute
between consecutive samples the cycles on time, late, lost and repeated, the round
trip and their judgement (soak_report.py report).

The files, in <out>/logs/: linkwatch.starts, a line "<n> <t>" for each start of the
studio's `linkwatch receive` (t in seconds on the soak's clock, that of events.tsv and
of the samples' "t"), and linkwatch.<n>.log, that instance's log, read by
suitetools.linkwatch.read_rows. A row ends at its instance's start plus its "seconds"
and counts the second before that.

A fault's window runs from its "begin <kind>" line in events.tsv to its last
"fault <kind>" line (written once the fault and its recovery checks are done) plus
SETTLE_S: the few seconds a link is given to settle after a fault, as the studio's
linkwatch starts again, the device's connections come back and the second device's
join or leave passes. A row counts only when its second lies wholly outside every
window.

A minute is the time between two consecutive samples (a minute between the periodic
ones, less where a fault's sample falls between them); a row belongs to the minute in
which it ends. The bounds, per minute:
  round trip: the most common round_trip_min of the minute's rows (the lower one on a
      tie), leaving out the rows of seconds in which the studio's server overran, since
      an overrun can move the echo by a period; the same in every minute (drift 0
      frames). A minute whose rows measured none is shown and not compared;
  late+lost cycles: at most LATE_LOST_SHARE of the minute's cycles (on time, late, lost
      and repeated), the share of late cycles the network tests allow; measured: none
      at all with the armhf device at 1024 frames, a few in a thousand with the
      x86-64 device at 256 (see doc/network.md);
  the link seen: a minute with at least MIN_OUTSIDE_S seconds outside the windows must
      have a row that counted a cycle (none: linkwatch was not running, or the link
      never came up; a row is a second long and must lie wholly outside the windows, so
      a shorter stretch may hold none).
"""
import math
import os

from . import linkwatch
from .soak_judgement import judge_level

SETTLE_S = 10.0
LATE_LOST_SHARE = 1 / 50
MIN_OUTSIDE_S = 2.0
COUNTS = ("on_time", "late", "lost", "repeated")
NEEDED = ("seconds", "round_trip_min", "round_trip_max", "overruns") + COUNTS


def link_rows(logs):
    """Every complete row of the studio's linkwatch logs under `logs`, each with "end",
    the end of its second on the soak's clock."""
    rows = []
    try:
        with open(os.path.join(logs, "linkwatch.starts")) as f:
            starts = [line.split() for line in f if len(line.split()) == 2]
    except OSError:
        return rows
    for n, started in starts:
        path = os.path.join(logs, "linkwatch.%s.log" % n)
        if not os.path.exists(path):
            continue
        for row in linkwatch.read_rows(path):
            if all(key in row for key in NEEDED):  # the last line of a killed one may be cut
                row["end"] = float(started) + row["seconds"]
                rows.append(row)
    return rows


def fault_windows(events):
    """(from, to) of each fault: its "begin <kind>" line to the last "fault <kind>" line
    before the next fault begins (a fault can fail more than once on its way) plus
    SETTLE_S. A fault with no such line lasts until the next begins, or to the end."""
    windows = []
    begins = [i for i, e in enumerate(events) if e["what"].startswith("begin ")]
    for i, following in zip(begins, begins[1:] + [len(events)]):
        done = "fault " + events[i]["what"][len("begin "):]
        ends = [e["t"] for e in events[i + 1:following] if e["what"] == done]
        end = ends[-1] if ends else events[following]["t"] if following < len(events) else math.inf
        windows.append((events[i]["t"], end + SETTLE_S))
    return windows


def in_window(row, windows):
    """Whether any of a row's second lies in a window."""
    return any(row["end"] > a and row["end"] - 1 < b for a, b in windows)


def outside_seconds(start, end, windows):
    """How much of (start, end] lies outside every window."""
    covered, reach = 0.0, start
    for a, b in sorted(windows):
        a, b = max(a, reach), min(b, end)
        if b > a:
            covered += b - a
            reach = b
    return end - start - covered


def minutes(out, samples, events):
    """Per minute between consecutive samples: start, end, outside (its seconds outside
    the windows), rows (its rows counted), seen (whether one counted a cycle), the
    counts summed, round_trip (None where no row measured one without an overrun).
    Also the windows and the rows counted, from the first sample to the last."""
    windows = fault_windows(events)
    rows = [r for r in link_rows(os.path.join(out, "logs")) if not in_window(r, windows)
            and samples[0]["t"] < r["end"] <= samples[-1]["t"]]
    result = []
    for before, after in zip(samples, samples[1:]):
        start, end = before["t"], after["t"]
        mine = [r for r in rows if start < r["end"] <= end]
        trips = [r["round_trip_min"] for r in mine
                 if r["overruns"] == 0 and r["round_trip_min"] is not None]
        minute = {"start": start, "end": end, "outside": outside_seconds(start, end, windows),
                  "rows": len(mine), "seen": any(sum(r[k] for k in COUNTS) for r in mine),
                  "round_trip": max(sorted(set(trips)), key=trips.count) if trips else None}
        minute.update({k: sum(r[k] for r in mine) for k in COUNTS})
        result.append(minute)
    return {"minutes": result, "windows": windows, "rows": rows}


def label(minute):
    return "%.0f-%.0f s" % (minute["start"], minute["end"])


def late_lost_rate(minute):
    """Late and lost cycles per minute of the rows counted."""
    return (minute["late"] + minute["lost"]) * 60.0 / minute["rows"] if minute["rows"] else None


def judged_rows(link):
    """The table's rows of the link, as soak_judgement.series_rows gives them."""
    listed = link["minutes"]
    trips = [(label(m), m["round_trip"]) for m in listed if m["round_trip"] is not None]
    ok, verdict = judge_level(trips, "minutes")
    rows = [("link round trip (frames)", trips[0][1] if trips else None,
             trips[-1][1] if trips else None, None, "= first minute's (drift 0)",
             ok, verdict)]
    counted = [m for m in listed if m["rows"]]
    over = [m for m in counted if m["late"] + m["lost"] > LATE_LOST_SHARE * sum(m[c] for c in COUNTS)]
    rates = ["%.0f" % late_lost_rate(m) for m in counted]
    rows.append(("link late+lost per minute", rates[0] if rates else None,
                 rates[-1] if rates else None, None,
                 "<= 1 in %g cycles" % (1 / LATE_LOST_SHARE), not over,
                 "%d of %d minutes over: %s" % (len(over), len(counted), "; ".join(
                     "%d in %d s at %s" % (m["late"] + m["lost"], m["rows"], label(m))
                     for m in over[:4])) if over else "ok (%d minutes)" % len(counted)))
    due = [m for m in listed if m["outside"] >= MIN_OUTSIDE_S]
    unseen = [m for m in due if not m["seen"]]
    rows.append(("link seen every minute", None, None, None,
                 "a row with cycles outside faults", not unseen,
                 "not in %d of %d minutes: %s" % (len(unseen), len(due), ", ".join(
                     label(m) for m in unseen[:6])) if unseen else
                 "ok (%d minutes, %d within faults)" % (len(due), len(listed) - len(due))))
    return rows


def listing(link):
    """The lines below the table: the round trips seen and each minute's figures."""
    trips = {k: [r[k] for r in link["rows"] if r[k] is not None]
             for k in ("round_trip_min", "round_trip_max")}
    lines = ["", "link, outside the faults (from each fault's begin to %g s after its end): "
             "round_trip_min %s, round_trip_max %s frames, over %d rows" % (
                 SETTLE_S, *("%d..%d" % (min(v), max(v)) if v else "-" for v in trips.values()),
                 len(link["rows"])),
             "  minute        seconds  round trip  on time   late   lost  repeated"]
    for m in link["minutes"]:
        lines.append("  %-13s %7d  %10s  %7d  %5d  %5d  %8d" % (
            label(m), m["rows"], "-" if m["round_trip"] is None else m["round_trip"],
            m["on_time"], m["late"], m["lost"], m["repeated"]))
    return lines
