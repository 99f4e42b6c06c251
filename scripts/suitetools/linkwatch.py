"""linkwatch's log, and its way of counting cycles applied to what a recording carried,
so that the two can be set side by side (scripts/demo --net)."""
import numpy as np

ON_TIME, LATE, LOST, REPEATED = range(4)
KINDS = ("on time", "late", "lost", "repeated")
# What a studio cycle carried, where no cycle of the other end was found in it.
NOTHING, TORN = -1, -2
NEIGHBOURHOOD = 2  # how far from the expected cycle a neighbour's may lie


def read_rows(path):
    """The rows of a linkwatch log as dicts keyed by its header's names; a round trip
    that was not measured is None."""
    rows, names = [], []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if line.startswith("#"):
                names = fields[1:]
            elif fields:
                rows.append({name: (None if value == "-" else float(value) if name == "seconds"
                                    else int(value))
                             for name, value in zip(names, fields)})
    return rows


def count_cycles(carried):
    """linkwatch's counting (clients/linkwatch/link_counter.h) over one end's cycles:
    `carried` holds, per cycle, the other end's cycle that arrived in it, NOTHING or
    TORN. Returns per cycle the counts of each kind it added, as linkwatch's would."""
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
    return ("on_time", "late", "lost", "repeated")[kind]
