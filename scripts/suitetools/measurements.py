"""Measures of the recordings: levels, where the loop and the keys lie in them, the
echo's delay and gain, spectra; and the recorder's stats.txt."""
import os

import numpy as np

from . import wavfile
from .facts import key_played, loop_played


def read_stats(path):
    """The recorder's stats.txt (or stats-idle.txt): "key value" lines as a dict."""
    stats = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.partition(" ")
            stats[key] = value.strip()
    return stats


def seconds_of(stats):
    try:
        return int(stats["frames"]) / int(stats["rate"])
    except (KeyError, ValueError, ZeroDivisionError):
        return None


def dbfs(value):
    return "-inf" if value <= 0 else "%.1f" % (20 * np.log10(value))


def peak_of(x):
    return float(np.max(np.abs(x))) if len(x) else 0.0


def rms_of(x):
    return float(np.sqrt(np.mean(x.astype(np.float64) ** 2))) if len(x) else 0.0


def crest_db(x):
    rms = rms_of(x)
    return 20 * np.log10(peak_of(x) / rms) if rms > 0 else 0.0


def loop_start(recorded, loop_channel):
    """The first frame of `recorded` at which spinreel starts the loop anew (it plays
    value / 32767 x 0.2), or None."""
    played = loop_played(loop_channel)
    probe = min(512, len(played))
    for start in np.flatnonzero(recorded[:max(0, len(recorded) - probe + 1)] == played[0]):
        if np.array_equal(recorded[start:start + probe], played[:probe]):
            return int(start)
    return None


def loop_offset(recorded, played):
    """The position in `played` at which `recorded` starts, if it is `played` looped."""
    probe = min(512, len(recorded))
    steps = np.arange(len(recorded))
    for start in np.flatnonzero(played == recorded[0]):
        if (np.array_equal(played[(start + steps[:probe]) % len(played)], recorded[:probe]) and
                np.array_equal(played[(start + steps) % len(played)], recorded)):
            return int(start)
    return None


def key_plays(keys_dir):
    """What padplayer plays on each key of key1.wav to key3.wav in `keys_dir`, as the
    float values of its output."""
    return [key_played(k, wavfile.read(os.path.join(keys_dir, "key%d.wav" % k))[:, 0])
            for k in (1, 2, 3)]


def whole_plays(recorded, play):
    """Start frames at which `recorded` carries all of `play`."""
    n = len(play)
    candidates = np.flatnonzero(recorded[:max(0, len(recorded) - n + 1)] == play[0])
    return [int(c) for c in candidates if np.array_equal(recorded[c:c + n], play)]


def echo_of(x, y, rate, longest=1.0, block=128):
    """The delay (in samples) and gain of the echo in y = x + gain * y[n - delay]: the lag
    at which y's added part, y - x, best matches y itself, and the gain at that lag, fitted
    over the blocks whose added part is a scaled copy of y a delay earlier.

    A cycle that the server overran can lose or repeat a block of the echo or of the
    recording, and puts the recorded echo out of step with the recorded output for up to
    a delay after it. There the added part is no copy of y, and a fit that took those
    blocks in would pull the gain towards 0 by as much as the overruns broke."""
    added = y.astype(np.float64) - x
    past = y.astype(np.float64)
    size = 1 << int(np.ceil(np.log2(2 * len(y))))
    correlation = np.fft.irfft(np.fft.rfft(added, size) * np.conj(np.fft.rfft(past, size)), size)
    lags = np.arange(int(0.001 * rate), min(int(longest * rate), len(y) // 2))
    delay = int(lags[np.argmax(correlation[lags])])
    count = (len(y) - delay) // block * block
    now = added[delay:delay + count].reshape(-1, block)
    then = past[:count].reshape(-1, block)
    cross, energy = np.sum(now * then, axis=1), np.sum(then * then, axis=1)
    # Intact blocks correlate to within the roundings of single precision (above
    # 0.99999); blocks an overrun broke stay below 0.99.
    intact = (energy > 0) & (cross ** 2 > 0.9999 ** 2 * energy * np.sum(now * now, axis=1))
    gain = float(np.sum(cross[intact]) / np.sum(energy[intact])) if np.any(intact) else 0.0
    return delay, gain


def spectrogram_dbfs(samples, size=2048, hop=512):
    """Short-time spectrum levels in dB relative to a full-scale sine, floored at -120."""
    window = np.hanning(size)
    count = max(1, 1 + (len(samples) - size) // hop)
    padded = np.zeros(size + (count - 1) * hop)
    padded[:len(samples)] = samples[:len(padded)]
    frames = np.lib.stride_tricks.sliding_window_view(padded, size)[::hop] * window
    magnitude = np.abs(np.fft.rfft(frames, axis=1)) * 2 / window.sum()
    return (20 * np.log10(np.maximum(magnitude, 1e-6))).T


def average_spectrum_dbfs(samples, size=4096):
    """The mean power spectrum over Hann windows, in dB relative to a full-scale sine."""
    window = np.hanning(size)
    frames = np.lib.stride_tricks.sliding_window_view(samples.astype(np.float64), size)[::size // 2]
    power = np.mean(np.abs(np.fft.rfft(frames * window, axis=1)) ** 2, axis=0)
    return 10 * np.log10(np.maximum(power * 4 / window.sum() ** 2, 1e-14))


def squarest_window(y, length):
    """The start of the `length`-sample window in which y's peak stands least above its
    RMS level: the nearest the output comes to a square wave."""
    y = y.astype(np.float64)
    best, best_at = np.inf, 0
    for at in range(0, len(y) - length + 1, length // 4):
        window = y[at:at + length]
        rms = rms_of(window)
        if rms > 0 and peak_of(window) / rms < best:
            best, best_at = peak_of(window) / rms, at
    return best_at


def peak_levels(y):
    """The median height of y's crests and of its troughs (local extremes beyond half
    of y's peak)."""
    inner = y[1:-1]
    crests = inner[(inner > y[:-2]) & (inner >= y[2:]) & (inner > 0.5 * np.max(y))]
    troughs = inner[(inner < y[:-2]) & (inner <= y[2:]) & (inner < 0.5 * np.min(y))]
    return (float(np.median(crests)) if len(crests) else 0.0,
            float(np.median(troughs)) if len(troughs) else 0.0)
