"""The demo across the network (scripts/demo --net): the round trip of the studio's
click, where the device's recordings lie in the studio's copies of them, and the
overruns of both servers placed on the studio's recording."""
import os

import numpy as np

from . import wavfile
from .cycles import Overruns
from .facts import NET_PERIOD as PERIOD
from .linkwatch import NOTHING, TORN


def round_trips(click, returned):
    """For every click the studio played, where it was and the distance to the first
    sample of its copy that came back."""
    played = np.flatnonzero(click != 0)
    back = np.flatnonzero(returned != 0)
    lags = []
    for at in played:
        later = back[back >= at]
        if len(later):
            lags.append((int(at), int(later[0] - at)))
    return lags


def device_offset(studio, device):
    """Where the device's recordings lie in the studio's copies of them (dicts of equal
    keys): studio[n] == device[n - offset] on every channel, found from a sounding
    cycle in the middle that occurs once (spinreel's loop repeats, padplayer's keys
    come when they are typed)."""
    names = sorted(device)
    first = device["spinreel-output1"]
    for start in range(len(first) // 2 // PERIOD * PERIOD, len(first) - PERIOD, PERIOD):
        block = first[start:start + PERIOD]
        if not np.any(block):
            continue
        hits = [i for i in np.flatnonzero(studio["spinreel-output1"] == block[0])
                if (i - start) % PERIOD == 0 and
                all(np.array_equal(studio[n][i:i + PERIOD], device[n][start:start + PERIOD])
                    for n in names)]
        if len(hits) == 1:
            return hits[0] - start
    return None


def crossing(studio, device, offset):
    """Follows the studio's recordings cycle by cycle against the device's own
    recordings of the same ports (dicts of equal keys), from `offset` on (a lost or
    repeated cycle on either server moves it, by more than a cycle or two when several
    go at once). Returns, per cycle of the studio's recording, the device's cycle that
    it carries (-1 where unknown), whether every channel arrived as the device
    played it, and what it carried as linkwatch would see it: the device's cycle where
    every channel arrived whole, else TORN where it sounded and NOTHING where it did not
    (and where it is unknown)."""
    names = sorted(studio)
    cycles = len(studio[names[0]]) // PERIOD
    length = min(len(device[name]) for name in names)
    carries, intact = np.full(cycles, -1, np.int64), np.zeros(cycles, bool)
    carried = np.full(cycles, NOTHING, np.int64)

    def same(k, d):
        first = k * PERIOD - d
        return 0 <= first <= length - PERIOD and all(
            np.array_equal(studio[n][k * PERIOD:(k + 1) * PERIOD], device[n][first:first + PERIOD])
            for n in names)

    def sounding(k):
        return any(np.any(studio[n][k * PERIOD:(k + 1) * PERIOD]) for n in names)

    for k in range(cycles):
        near = [d for d in (offset + step * PERIOD for step in (0, -1, 1, -2, 2)) if same(k, d)]
        if not near and sounding(k):
            # Lost: a sounding cycle found once within 64 cycles either way.
            far = [d for d in (offset + step * PERIOD for step in range(-64, 65)) if same(k, d)]
            near = far if len(far) == 1 else []
        if near:
            offset, intact[k] = near[0], True
        if 0 <= k * PERIOD - offset <= length - PERIOD:
            carries[k] = (k * PERIOD - offset) // PERIOD
            carried[k] = carries[k] if intact[k] else TORN if sounding(k) else NOTHING
    return carries, intact, carried


def both_servers(results, tracks):
    """The studio's overrun map of its recording, with the device's overruns placed on
    it and every cycle that did not arrive as the device played it; those cycles; and
    what each cycle carried as linkwatch would see it (see crossing; None when the
    device's recording could not be placed); and the cycles an overrun on either
    server may have reached, as the recorders flagged them (None likewise)."""
    frames = len(tracks["spinreel-output1"])
    overruns = Overruns(results, frames)
    device_dir = os.path.join(results, "device")
    device_tracks = {name[:-4]: wavfile.read(os.path.join(device_dir, name))
                     for name in os.listdir(device_dir) if name.endswith(".wav")}
    on_device = Overruns(device_dir, len(device_tracks["spinreel-output1"]))
    offset = device_offset({n: tracks[n] for n in device_tracks}, device_tracks)
    cycles = frames // PERIOD
    late, carried, reached = np.ones(cycles, bool), None, None
    if offset is None:
        overruns.touched[:] = True  # nothing of the device's overruns can be placed
    else:
        carries, intact, carried = crossing({n: tracks[n] for n in device_tracks}, device_tracks, offset)
        late = ~intact
        # Touched on either server or late on the network. Each studio cycle is
        # mapped to the device's cycle it carries, so what lies between two samples
        # is the device's: a cycle lost or repeated there, or a step of the mapping,
        # makes their leads differ (the device's lead and the mapping's step, as one
        # number: both must agree).
        known = carries >= 0
        device_cycle = np.maximum(carries, 0)
        device_touched = on_device.touched[::PERIOD][device_cycle]
        device_lead = on_device.lead[::PERIOD][device_cycle].astype(np.int64)
        step = (device_cycle - np.arange(cycles)) * PERIOD
        spoiled = ~known | device_touched | late
        reached = overruns.touched[::PERIOD][:cycles] | (known & device_touched)
        # Widened by two cycles on both sides, as each recorder widens the touched
        # cycles it flags in cycles.txt: a step on top of those flags, since the
        # device's flags and the late cycles are placed on the studio's recording here.
        for k in (1, 2):
            spoiled[k:] |= spoiled[:-k].copy()
            spoiled[:-k] |= spoiled[k:].copy()
        # Samples past the last whole cycle count as spoiled: nothing is known of them.
        tail = frames - cycles * PERIOD
        overruns.touched |= np.concatenate([np.repeat(spoiled, PERIOD), np.ones(tail, bool)])
        both = device_lead * 2 ** 24 + (step - step.min())
        lead = np.concatenate([np.repeat(np.where(known, both, -1), PERIOD), np.full(tail, -1)])
        overruns.lead = lead
    return overruns, late, carried, reached
