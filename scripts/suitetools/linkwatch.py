"""linkwatch's log (linkwatch receive --log FILE): its rows, read by the column names of
its header line, and their figures summed over a window of wall-clock time, as
scripts/bench-suite --net's latency ladder reports them.

    python3 -m suitetools.linkwatch window LOG STARTED_AFTER STARTED_BEFORE FROM TO

prints "ON_TIME LATE LOST REPEATED MIN..MAX SECONDS" for the rows that lie wholly in
the window FROM..TO: the sums of the counts, the lowest and highest round trip in
frames ("-" when no row measured one) and the number of rows. Every time is in whole
microseconds of the wall clock (bash's EPOCHREALTIME without its point); linkwatch
started between STARTED_AFTER and STARTED_BEFORE."""
import sys

COUNTS = ["on_time", "late", "lost", "repeated"]


def read_rows(path):
    """The log's rows as dicts of the header's column names to their text. Columns are
    found by name, so one added later changes nothing here; a row with another number
    of fields than the header (cut short by the program's end) is left out."""
    names, rows = None, []
    with open(path) as f:
        for line in f:
            fields = line.split()
            if line.startswith("# "):
                names = fields[1:]
            elif names and len(fields) == len(names):
                rows.append(dict(zip(names, fields)))
    return rows


def rows_within(rows, started_after, started_before, window_from, window_to):
    """The rows whose whole stretch lies in the window. A row's `seconds` counts from
    linkwatch's start, known only to lie between started_after and started_before, and
    the row covers the time since the row before it (since the start, for the first):
    a row is kept only if it lies in the window wherever in that span the start was."""
    kept, previous = [], 0.0
    for row in rows:
        seconds = float(row["seconds"])
        if started_after + previous >= window_from and started_before + seconds <= window_to:
            kept.append(row)
        previous = seconds
    return kept


def summed(rows):
    """The counts summed over the rows, the lowest and highest round trip measured in
    them (None without one) and the number of rows, as a dict."""
    totals = {name: sum(int(row[name]) for row in rows) for name in COUNTS}
    trips = [row for row in rows if row["round_trip_min"] != "-"]
    totals["round_trip_min"] = min((int(row["round_trip_min"]) for row in trips), default=None)
    totals["round_trip_max"] = max((int(row["round_trip_max"]) for row in trips), default=None)
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


def main(argv):
    if len(argv) != 7 or argv[1] != "window":
        sys.exit("usage: python3 -m suitetools.linkwatch window LOG STARTED_AFTER "
                 "STARTED_BEFORE FROM TO")
    print(window_line(*argv[2:]))


if __name__ == "__main__":
    main(sys.argv)
