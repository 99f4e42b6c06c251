"""The recorder's cycles.txt: each recorded cycle's frame time and whether an overrun may
have reached it. The recorder writes that verdict (the rule of
clients/recording/overrun_map.h, widened by two cycles, with its notice lag); this reads
it and never derives it again."""
import os

import numpy as np


def read_cycles(results):
    """The period, each recorded cycle's frame time, and whether the recorder judged that
    an overrun may have reached it."""
    period, cycles, touched = 0, [], []
    with open(os.path.join(results, "cycles.txt")) as f:
        for key, *values in (line.split() for line in f):
            if key == "period":
                period = int(values[0])
            elif key == "cycle":
                cycles.append(int(values[0]))
                touched.append(values[1] == "1")
    return period, np.array(cycles, np.uint32), np.array(touched, bool)


class Overruns:
    """Per recorded sample: whether an overrun may have reached its cycle, and how far
    the server's frame time had run ahead of the recording by then (where that differs
    between two samples, cycles were lost or repeated between them)."""

    def __init__(self, results, frames):
        period, cycles, touched = read_cycles(results)
        lead = (cycles - cycles[:1] - period * np.arange(len(cycles), dtype=np.uint32))
        # Samples past the recorded cycles count as touched: nothing is known of them.
        short = max(0, frames - len(cycles) * period)
        self.touched = np.concatenate([np.repeat(touched, period), np.ones(short, bool)])[:frames]
        self.lead = np.concatenate([np.repeat(lead.astype(np.int32), period),
                                    np.full(short, -1, np.int32)])[:frames]
        self.left_out, self.cycles = int(np.count_nonzero(touched)), len(cycles)

    def repeats(self, lag):
        """For n >= lag: samples n - lag to n all untouched, with no cycle lost or repeated
        between them. (Both ends untouched is not enough: in a touched cycle one client
        can miss its block where another does not, and a cycle skipped next to one run
        twice leaves the leads equal though their courses have parted.)"""
        touched_so_far = np.concatenate([[0], np.cumsum(self.touched)])
        clean = touched_so_far[lag + 1:] == touched_so_far[:-lag - 1]
        return clean & (self.lead[lag:] == self.lead[:-lag])


def settled(touched, memory, start=0):
    """Untouched samples from `start` on and more than `memory` samples after every
    touched one: where a processor that forgets a spoiled block within `memory`
    samples is back on its undisturbed course."""
    index = np.arange(len(touched))
    last = np.maximum.accumulate(np.where(touched, index, -memory - 1))
    return ~touched & (index - last > memory) & (index >= start)


def stretches(mask):
    """The [first, end) stretches where `mask` holds."""
    edges = np.flatnonzero(np.diff(np.concatenate([[0], mask.astype(np.int8), [0]])))
    return list(zip(edges[0::2], edges[1::2]))
