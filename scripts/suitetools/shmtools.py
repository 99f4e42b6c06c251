"""What wardencheck, wardenpeek and memwarden write, read in one place: Android log
lines, wardencheck's five tests, wardenpeek's status and index, and the verdict on one
run of the two tools."""
import re

from .facts import WARDENCHECK_TESTS

ALLOCATED = re.compile(r"Mem\[ *(\d+)\] == 0x")  # a buffer in wardenpeek status


def log_records(text):
    """Android log lines "TAG P MM-DD HH:MM:SS pid tid message" as (tag, priority,
    message); a line of another form continues the message before it."""
    records = []
    pattern = re.compile(r"(\S+) ([VDIWEF]) \d\d-\d\d \d\d:\d\d:\d\d +\d+ +\d+ (.*)$")
    for line in text.splitlines():
        match = pattern.match(line)
        if match:
            records.append([match.group(1), match.group(2), match.group(3)])
        elif records:
            records[-1][2] += "\n" + line
    return [(tag, priority, message.strip()) for tag, priority, message in records]


def messages_of(text, tag):
    """The messages of one tag's log lines."""
    return [message for t, _, message in log_records(text) if t == tag]


def increments_pass(lines, count):
    """`count` increments, each a value line and its CHANGED line one higher at the same
    base, each starting where the one before ended."""
    value = re.compile(r"WardenCheck base=(0x[0-9a-f]+) Data=0x([0-9a-f]+)( CHANGED)?$")
    matches = [value.match(line) for line in lines]
    if len(lines) != 2 * count or not all(matches):
        return False
    previous = None
    for before, after in zip(matches[0::2], matches[1::2]):
        start, end = int(before.group(2), 16), int(after.group(2), 16)
        if (before.group(3) or not after.group(3) or before.group(1) != after.group(1) or
                end != start + 1 or (previous is not None and start != previous)):
            return False
        previous = end
    return True


def memset_pass(lines):
    """Each dump shows what the result line before it says it should."""
    if len(lines) != 4:
        return False
    pairs = list(zip(lines[0::2], lines[1::2]))
    return all(r.startswith("result : ") and d.startswith("memory dump : ") and
               r[len("result : "):] == d[len("memory dump : "):] for r, d in pairs) and \
        [r for r, _ in pairs] == ["result : 0 0 0 0", "result : -1 -1 -1 -1"]


def wardencheck_results(text):
    """Each of the five tests: "pass", "fail" or "not run", read from its log lines."""
    lines_of, current = {}, None
    for message in messages_of(text, "WardenCheck"):
        heading = re.match(r"\*+test: (\w+)\*+$", message)
        if heading:
            current = heading.group(1)
            lines_of[current] = []
        elif current is not None:
            lines_of[current].append(message)
    judges = {
        "increase_value_once": lambda lines: increments_pass(lines, 1),
        "increase_value_10times": lambda lines: increments_pass(lines, 10),
        "check_allocated": lambda lines: lines == ["pass"],
        "test_set_get_registry_index": lambda lines: lines == ["pass", "pass"],
        "test_memset": memset_pass,
    }
    return [(name, "not run" if name not in lines_of else
             "pass" if judges[name](lines_of[name]) else "fail") for name in WARDENCHECK_TESTS]


def serves(status):
    """Whether wardenpeek status found the service and listed its buffers."""
    return "Mem[" in status and "not available" not in status


def buffer_count(status):
    """How many buffers wardenpeek status lists as allocated, or None without a list."""
    return len(ALLOCATED.findall(status)) if "Mem[" in status else None


def peek_summary(status, index):
    """wardenpeek's status and index output in a few words."""
    if status is None or index is None:
        return "did not run"
    if "not available" in status:
        return "found no service"
    allocated = ALLOCATED.findall(status)
    total = len(re.findall(r"Mem\[ *\d+\] == ", status))
    where = " (Mem[%s])" % ", ".join(reversed(allocated)) if 0 < len(allocated) <= 4 else ""
    number = re.search(r"index \[ *(-?\d+)\]", index)
    registry = number.group(1) if number else "?"
    if number and int(registry) > 256:
        registry += " (no registry)"
    return "%d of %d buffers allocated%s, registry index %s" % (
        len(allocated), total, where, registry)


def judge_run(check, status, index):
    """What is wrong with one run of wardencheck and wardenpeek status and index, in
    words, or None; `check` is None when wardencheck did not end within 20 s."""
    wrong = []
    if check is None:
        wrong.append("wardencheck did not end within 20 s")
    else:
        failed = ["%s %s" % r for r in wardencheck_results(check) if r[1] != "pass"]
        if failed:
            wrong.append("wardencheck: " + ", ".join(failed))
    said = peek_summary(status, index)
    if not re.match(r"\d+ of 257 buffers allocated.*, registry index -?\d+", said):
        wrong.append("wardenpeek: " + said)
    return "; ".join(wrong) or None
