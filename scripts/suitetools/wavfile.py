"""The canonical WAV files of the suite, with a 44-byte header: the 16-bit files that the
scripts write (the loop, the keys, tones, the click) and the recorder's mono 32-bit
float files. The writers of 16-bit files need only the standard library (the scripts run
them with whatever python3 is first on PATH); the readers need numpy."""
import struct
import wave

from .facts import RATE


def header_of(path):
    """The first 44 bytes and (audio format, channels, rate, bits) read from them."""
    with open(path, "rb") as f:
        header = f.read(44)
    audio_format, channels, rate = struct.unpack_from("<HHI", header, 20)
    return header, (audio_format, channels, rate, struct.unpack_from("<H", header, 34)[0])


def read(path):
    """Samples of a canonical WAV at the suite's rate: 16-bit as int16 per channel,
    32-bit float as float32."""
    import numpy as np
    header, (audio_format, channels, rate, bits) = header_of(path)
    assert header[36:40] == b"data" and rate == RATE, path + ": unexpected header"
    if audio_format == 1 and bits == 16:
        return np.fromfile(path, dtype="<i2", offset=44).reshape(-1, channels)
    assert audio_format == 3 and bits == 32 and channels == 1, path + ": unexpected format"
    return np.fromfile(path, dtype="<f4", offset=44)


def read_float(path):
    """A recording: (rate, mono 32-bit float samples), at whatever rate it has."""
    import numpy as np
    with open(path, "rb") as f:
        riff = f.read(44)
    if len(riff) < 44 or riff[0:4] != b"RIFF" or riff[8:12] != b"WAVE":
        raise ValueError(path + ": not a WAV file")
    _, (audio_format, channels, rate, bits) = header_of(path)
    if audio_format != 3 or channels != 1 or bits != 32:
        raise ValueError(path + ": not mono 32-bit float")
    return rate, np.fromfile(path, dtype="<f4", offset=44)


def write_pcm16(path, channels, data):
    """16-bit frames (bytes, channels interleaved) at the suite's rate."""
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(data)


def write_float_as(path, template, samples):
    """`samples` as 32-bit float under the header of the float file `template`, which
    has as many samples."""
    import numpy as np
    with open(template, "rb") as f, open(path, "wb") as out:
        out.write(f.read(44) + np.asarray(samples).astype("<f4").tobytes())
