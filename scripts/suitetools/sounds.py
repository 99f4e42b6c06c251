"""The sounds the scripts play, each the same on every run: the demo's loop, a short
plucked-string phrase (Karplus-Strong) in 16-bit stereo whose notes lie a little left
or right; padplayer's three keys in 16-bit mono (a kick drum, a snare, a closed hi-hat);
bench-suite's tones and demo --net's click.

    python3 -m suitetools.sounds tone <path> <samples_per_cycle> <frames>
    python3 -m suitetools.sounds click <path> <frames>

tone writes a mono 16-bit sine of 8000 at its peak, a whole number of cycles long;
click a stereo 16-bit silence of <frames> frames with one full-scale sample first.
"""
import math
import os
import random
import struct
import sys

from . import wavfile
from .facts import RATE

# (start in seconds, frequency in Hz, pan from -1 left to 1 right)
PHRASE = [
    (0.00, 196.00, -0.4),  # G3
    (0.35, 246.94, 0.3),   # B3
    (0.70, 293.66, -0.2),  # D4
    (1.05, 392.00, 0.4),   # G4
    (1.60, 329.63, -0.3),  # E4
    (1.95, 293.66, 0.2),   # D4
    (2.30, 246.94, -0.1),  # B3
    (2.65, 196.00, 0.0),   # G3
]
LENGTH = 3.5  # seconds; the last note rings into the loop's end


def pluck(frequency, frames, rng):
    """One string: a noise burst circulating through a two-point average."""
    period = int(round(RATE / frequency))
    line = [rng.uniform(-1.0, 1.0) for _ in range(period)]
    out = []
    decay = 0.996
    for n in range(frames):
        i = n % period
        value = line[i]
        out.append(value)
        line[i] = decay * 0.5 * (value + line[(i + 1) % period])
    return out


def render():
    """The loop's 16-bit stereo frames."""
    rng = random.Random(20240611)
    frames = int(LENGTH * RATE)
    left = [0.0] * frames
    right = [0.0] * frames
    for start, frequency, pan in PHRASE:
        at = int(start * RATE)
        note = pluck(frequency, frames - at, rng)
        gain_left = math.cos((pan + 1) * math.pi / 4)
        gain_right = math.sin((pan + 1) * math.pi / 4)
        for k, v in enumerate(note):
            left[at + k] += v * gain_left
            right[at + k] += v * gain_right
    # A short fade at both ends keeps the loop's seam from clicking.
    fade = int(0.01 * RATE)
    for k in range(fade):
        g = k / fade
        left[k] *= g
        right[k] *= g
        left[-1 - k] *= g
        right[-1 - k] *= g
    peak = max(max(abs(v) for v in left), max(abs(v) for v in right))
    scale = 0.8 * 32767 / peak
    data = bytearray()
    for l, r in zip(left, right):
        data += struct.pack("<hh", int(round(l * scale)), int(round(r * scale)))
    return bytes(data)


def kick(frames):
    """A sine falling from 160 Hz to 50 Hz under a fast decay; it starts at its peak."""
    out, phase = [], 0.0
    for n in range(frames):
        t = n / RATE
        out.append(0.9 * math.cos(phase) * math.exp(-t / 0.07))
        phase += 2 * math.pi * (50 + 110 * math.exp(-t / 0.03)) / RATE
    return out


def snare(frames, rng):
    """Noise over a 190 Hz body, the noise ringing a little longer than the body."""
    return [(0.55 * rng.uniform(-1, 1) * math.exp(-n / RATE / 0.05) +
             0.45 * math.cos(2 * math.pi * 190 * n / RATE) * math.exp(-n / RATE / 0.03))
            for n in range(frames)]


def hat(frames, rng):
    """Noise through a first difference (its energy moves up to the highs), very short."""
    out, previous = [], 0.0
    for n in range(frames):
        noise = rng.uniform(-1, 1)
        out.append(0.45 * (noise - previous) * math.exp(-n / RATE / 0.015))
        previous = noise
    return out


def key_values():
    """The three key samples as 16-bit values, each nonzero at its first frame. padplayer
    plays all of key 1's data but only the first half of key 2's and key 3's, so these
    two end in as many zeros as they have sound: the player plays the sound whole."""
    rng = random.Random(20240612)
    sounds = [kick(int(0.25 * RATE)), snare(int(0.2 * RATE), rng), hat(int(0.08 * RATE), rng)]
    keys = []
    for k, sound in enumerate(sounds):
        values = [int(round(v * 32767)) for v in sound]
        if values[0] == 0:
            values[0] = 1
        keys.append(values + ([0] * len(values) if k > 0 else []))
    return keys


def write_keys(folder):
    for k, values in enumerate(key_values()):
        wavfile.write_pcm16(os.path.join(folder, "key%d.wav" % (k + 1)), 1,
                            struct.pack("<%dh" % len(values), *values))


def tone(path, samples_per_cycle, frames):
    """A mono sine of `samples_per_cycle` samples a cycle, as many whole cycles as fit
    in `frames`."""
    cycle = b"".join(struct.pack("<h", round(8000 * math.sin(2 * math.pi * n / samples_per_cycle)))
                     for n in range(samples_per_cycle))
    wavfile.write_pcm16(path, 1, cycle * (frames // samples_per_cycle))


def click(path, frames):
    """Stereo silence with one full-scale sample at its start."""
    data = bytearray(frames * 4)
    data[0:4] = struct.pack("<hh", 32767, 32767)
    wavfile.write_pcm16(path, 2, bytes(data))


def main(args):
    if len(args) == 4 and args[0] == "tone":
        tone(args[1], int(args[2]), int(args[3]))
    elif len(args) == 3 and args[0] == "click":
        click(args[1], int(args[2]))
    else:
        sys.exit(__doc__.split("\n\n")[1])


if __name__ == "__main__":
    main(sys.argv[1:])
