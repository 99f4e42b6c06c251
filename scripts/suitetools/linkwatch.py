"""linkwatch's log (linkwatch receive --log FILE), read by the column names of its
header line; its rows summed over a window of wall-clock time, as scripts/bench-suite
--net's latency ladder reports them; and linkwatch's way of counting cycles applied to
what a recording carried, so that the two can be set side by side (scripts/demo --net).

    python3 -m suitetools.linkwatch window LOG STARTED_AFTER STARTED_BEFORE FROM TO

prints "ON_TIME LATE LOST REPEATED MIN..MAX SECONDS" for the rows that lie wholly in
the window FROM..TO: the sums of the counts, the lowest and highest round trip in
frames ("-" when no row measured one) and the number of rows. Every time is in whole
microseconds of the wall clock (bash's EPOCHREALTIME without its point); linkwatch
started between STARTED_AFTER and STARTED_BEFORE."""
import sys

ON_TIME, LATE, LOST, REPEATED = range(4)
COUNTS = ["on_time", "late", "lost", "repeated"]
# What a studio cycle carried, where no cycle of the other end was found in it.
NOTHING, TORN = -1, -2
NEIGHBOURHOOD = 2  # how far from the expected cycle a neighbour's may lie


def read_rows(path):
    """The log's rows as dicts of the header's column names to their values (seconds a
    float, the rest whole numbers, a round trip that was not measured None). Columns
    are found by name, so one added later changes nothing here; a row with another
    number of fields than the header (cut short by the program's end) is left out."""
    names, rows = None, []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if line.startswith("# "):
                names = fields[1:]
            elif names and len(fields) == len(names):
                rows.append({name: (None if value == "-" else float(value) if name == "seconds"
                                    else int(value))
                             for name, value in zip(names, fields)})
    return rows


def rows_within(rows, started_after, started_before, window_from, window_to):
    """The rows whose whole stretch lies in the window. A row's `seconds` counts from
    linkwatch's start, known only to lie between started_after and started_before, and
    the row covers the time since the row before it (since the start, for the first):
    a row is kept only if it lies in the window wherever in that span the start was."""
    kept, previous = [], 0.0
    for row in rows:
        if started_after + previous >= window_from and started_before + row["seconds"] <= window_to:
            kept.append(row)
        previous = row["seconds"]
    return kept


def summed(rows):
    """The counts summed over the rows, the lowest and highest round trip measured in
    them (None without one) and the number of rows, as a dict."""
    totals = {name: sum(row[name] for row in rows) for name in COUNTS}
    trips = [row for row in rows if row["round_trip_min"] is not None]
    totals["round_trip_min"] = min((row["round_trip_min"] for row in trips), default=None)
    totals["round_trip_max"] = max((row["round_trip_max"] for row in trips), default=None)
    totals["seconds"] = len(rows)
    return totals


def window_line(path, started_after, started_before, window_from, window_to):
    """What `window` prints for the log at path (times in microseconds)."""
    t = [int(value) / 1e6 for value in (started_after, started_before, window_from, window_to)]
    totals = summed(rows_within(read_rows(path), *t))
    trip = "-"
    if totals["round_trip_min"] is not None:
        trip = "%d..%d" % (totals["round_trip_min"], totals["round_trip_max"])
    return " ".join([str(totals[name]) for name in COUNTS] + [trip, str(totals["seconds"])])


def count_cycles(carried):
    """linkwatch's counting (clients/linkwatch/link_counter.h) over one end's cycles:
    `carried` holds, per cycle, the other end's cycle that arrived in it, NOTHING or
    TORN. Returns per cycle the counts of each kind it added, as linkwatch's would."""
    import numpy as np  # here: the ladder's `window` runs where numpy may be missing
    counts = np.zeros((len(carried), 4), np.int64)
    locked, last, last_own, last_intact, unclaimed = False, 0, 0, False, 0
    for own, stamp in enumerate(int(s) for s in carried):
        if stamp < 0:
            if locked:
                counts[own, LATE if stamp == TORN else LOST] += 1
                unclaimed += 1
            last_intact = False
            continue
        if locked and stamp == last:
            counts[own, REPEATED if last_intact else LATE] += 1
            last_intact = True
            continue
        if not locked:
            locked = True
            counts[own, ON_TIME] += 1
        else:
            off = stamp - (last + own - last_own)
            counts[own, ON_TIME if off == 0 else LATE] += 1
            passed_over = stamp - last - 1 - unclaimed
            if -NEIGHBOURHOOD <= off <= NEIGHBOURHOOD and passed_over > 0:
                counts[own, LOST] += passed_over
        last, last_own, last_intact, unclaimed = stamp, own, True, 0
    return counts


def per_second(rows, frame_times, counts, reached, period):
    """linkwatch's rows that lie wholly within a recording, each beside the recording's
    own counts over the same cycles: the recording's cycles' frame times, the counts it
    gives per cycle (count_cycles) and whether an overrun on either server may have
    reached each cycle. A row ends at the cycle whose frame time it names, give or take
    one: what the cycles next to either end count may fall on either side, and is the
    slack. Returns per row a dict: row, recorded (all its cycles), clean (those no
    overrun reached), reached (whether an overrun reached any, or linkwatch's own server
    had one), slack and cycles."""
    import numpy as np
    times = frame_times.astype(np.int64)
    seconds = []
    for before, row in zip(rows, rows[1:]):
        start, end = before["frame_time"], row["frame_time"]
        if start < times[0] or end > times[-1]:
            continue
        span = (times > start) & (times <= end)
        edges = (np.abs(times - start) <= period) | (np.abs(times - end) <= period)
        seconds.append({"row": row, "recorded": counts[span].sum(axis=0),
                        "clean": counts[span & ~reached].sum(axis=0),
                        "reached": bool(np.any(reached[span])) or row["overruns"] > 0,
                        "slack": counts[edges].sum(axis=0), "cycles": int(np.count_nonzero(span))})
    return seconds


def agrees(second, kind):
    """Whether linkwatch's count of `kind` in a second agrees with the recording's: the
    same where no overrun reached the second, and no fewer than the recording shows away
    from the overruns where one did (each overrun spoils cycles that linkwatch counts,
    and that the recording leaves out); either within the slack."""
    said, slack = second["row"][name_of(kind)], int(second["slack"][kind])
    if not second["reached"]:
        return abs(said - int(second["recorded"][kind])) <= slack
    return said + slack >= int(second["clean"][kind])


def name_of(kind):
    return COUNTS[kind]


def main(argv):
    if len(argv) != 7 or argv[1] != "window":
        sys.exit("usage: python3 -m suitetools.linkwatch window LOG STARTED_AFTER "
                 "STARTED_BEFORE FROM TO")
    print(window_line(*argv[2:]))


if __name__ == "__main__":
    main(sys.argv)
