#!/usr/bin/env python3
"""Writes the demo's loop: a short plucked-string phrase (Karplus-Strong), 16-bit
stereo at 44.1 kHz with the canonical 44-byte header.

    demo_loop.py <out.wav>

The phrase is the same on every run (the noise bursts come from a seeded generator).
Each note is placed a little left or right, so the two channels differ.
"""
import math
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


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: demo_loop.py <out.wav>")
    with wave.open(sys.argv[1], "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(render())


if __name__ == "__main__":
    main()
