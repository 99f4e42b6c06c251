#!/usr/bin/env python3
"""Writes the demo's sounds: the loop, a short plucked-string phrase (Karplus-Strong),
16-bit stereo at 44.1 kHz with the canonical 44-byte header, and, given a folder, the
three key samples that padplayer plays, 16-bit mono: key1.wav a kick drum, key2.wav a
snare, key3.wav a closed hi-hat.

    demo_loop.py <loop.wav> [<key_folder>]

Every sound is the same on every run (the noise comes from seeded generators). Each
note of the phrase is placed a little left or right, so the two channels differ.
"""
import math
import os
import random
import struct
import sys
import wave

RATE = 44100
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


def write_wav(path, channels, data):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(data)


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: demo_loop.py <loop.wav> [<key_folder>]")
    write_wav(sys.argv[1], 2, render())
    if len(sys.argv) == 3:
        for k, values in enumerate(key_values()):
            write_wav(os.path.join(sys.argv[2], "key%d.wav" % (k + 1)), 1,
                      struct.pack("<%dh" % len(values), *values))


if __name__ == "__main__":
    main()
