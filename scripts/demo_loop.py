#!/usr/bin/env python3
"""Writes the demo's sounds: the loop, a short plucked-string phrase (Karplus-Strong),
16-bit stereo at 44.1 kHz with the canonical 44-byte header, and, given a folder, the
three key samples that padplayer plays, 16-bit mono: key1.wav a kick drum, key2.wav a
snare, key3.wav a closed hi-hat.

    demo_loop.py <loop.wav> [<key_folder>]

Every sound is the same on every run (the noise comes from seeded generators). Each
note of the phrase is placed a little left or right, so the two channels differ.
"""
import sys

from suitetools import sounds, wavfile


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: demo_loop.py <loop.wav> [<key_folder>]")
    wavfile.write_pcm16(sys.argv[1], 2, sounds.render())
    if len(sys.argv) == 3:
        sounds.write_keys(sys.argv[2])


if __name__ == "__main__":
    main()
