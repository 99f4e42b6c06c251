"""The suite's settings as the scripts run it, in one place."""

RATE = 44100  # Hz, every server and every sound
FULL_SCALE = 32767.0  # what a 16-bit value is divided by to play it

# The nine programs, in the order the reports list them; the first six make the chain
# that scripts/demo --net runs on the device.
PROGRAMS = ["spinreel", "fuzzpedal", "tapdelay", "returnmix", "padplayer", "passthru",
            "memwarden", "wardenpeek", "wardencheck"]
CHAIN = PROGRAMS[:6]
SERVICE = "com.velmora.android.kel.IAndroidShm"

# tapdelay's arguments in scripts/demo, demo-net and soak.
DELAY_MS, FEEDBACK = 250, 40

LOOP_GAIN = 0.2  # spinreel plays its file at this level
KEY_GAIN = 0.3  # padplayer plays its keys at this level

# The network demo: the studio's period and the device's -l (cycles of latency).
NET_PERIOD, NET_LATENCY = 128, 2

WARDENCHECK_TESTS = ["increase_value_once", "increase_value_10times", "check_allocated",
                     "test_set_get_registry_index", "test_memset"]


def delay_samples(delay_ms):
    """tapdelay's delay in samples for a delay in milliseconds."""
    return int(round(delay_ms * RATE / 1000))


def key_played(k, values):
    """What padplayer plays for key `k` (1 to 3) with the file's 16-bit `values`, as its
    float output: key 1 all of the values, keys 2 and 3 the first half."""
    import numpy as np
    count = len(values) if k == 1 else len(values) // 2
    return ((values[:count].astype(np.float64) / FULL_SCALE) * KEY_GAIN).astype(np.float32)


def loop_played(values):
    """What spinreel plays for one channel's 16-bit `values`: its mix in double precision,
    stored as float, over silent inputs."""
    import numpy as np
    return ((values.astype(np.float64) / FULL_SCALE) * LOOP_GAIN).astype(np.float32)
