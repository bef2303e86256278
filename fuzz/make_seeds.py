"""Writes the seed corpus of frame_cache_fuzzer: one file per scenario, encoded
the way the fuzzer reads its input (an operation byte, then its arguments)."""

import pathlib
import struct

INIT, CACHE, COMPARE_CACHED, COMPARE, CLEAR, ALPHA, PICTURE, HELD, KERNELS = range(9)
# Indices into the fuzzer's table of boundary dimensions.
BOUNDARY = {1280: 5, 1281: 6, 720: 7, 721: 8, 1920: 11, 1080: 12, 3840: 14, 2160: 15,
            2000: 18, 0x7FFFFFFF: 24, -(2**31): 25, 65536: 21}
# Indices into the fuzzer's table of special smoothing factors.
ALPHAS = {1.0: 0, 0.5: 1, 0.3: 2, 0.0: 5, -5.0: 6, 5.0: 7, "nan": 16, "inf": 18, "-inf": 19}


def dim(value):
    if -2 <= value <= 31:
        return bytes([0, value + 2])
    return bytes([1, BOUNDARY[value]])


def literal(data):
    return bytes([0]) + struct.pack("<H", len(data)) + bytes(data)


def generated(seed, noise=0):
    return bytes([1]) + struct.pack("<IB", seed, noise)


def shortened(by, seed):
    return bytes([2, by - 1]) + struct.pack("<IB", seed, 0)


def derived(seed, noise):
    return bytes([3]) + struct.pack("<IB", seed, noise)


def slot(index):
    return bytes([0, index + 1])


def alpha(value):
    return bytes([ALPHA, 0, ALPHAS[value]])


def cache(index, width, height, frame):
    return bytes([CACHE]) + slot(index) + dim(width) + dim(height) + frame


def compare(width, height, left, right):
    return bytes([COMPARE]) + dim(width) + dim(height) + left + right


SEEDS = {
    "white_black_pixel": compare(1, 1, literal([255] * 3), literal([0] * 3)) + bytes([PICTURE]),
    "threshold_pixels": cache(0, 1, 1, literal([53, 1, 0])) + cache(1, 1, 1, literal([0, 0, 0]))
    + bytes([COMPARE_CACHED]) + cache(0, 1, 1, literal([53, 0, 0])) + bytes([COMPARE_CACHED, PICTURE]),
    "smoothing_half": alpha(0.5) + bytes([INIT]) + dim(1) + dim(1)
    + cache(0, 1, 1, literal([100, 0, 0])) + cache(1, 1, 1, literal([0, 0, 0])) + bytes([COMPARE_CACHED])
    + cache(0, 1, 1, literal([0, 0, 0])) + bytes([COMPARE_CACHED, COMPARE_CACHED, PICTURE]),
    "short_right_frame": compare(2, 1, literal([9] * 6), literal([9] * 5)) + bytes([COMPARE_CACHED, PICTURE]),
    "short_generated": compare(31, 17, generated(7), shortened(4, 9)),
    "reduced_1281x720": compare(1281, 720, generated(11), derived(3, 20)) + bytes([PICTURE]),
    "reduced_1920x1080_smoothed": alpha(0.3) + cache(0, 1920, 1080, generated(5))
    + cache(1, 1920, 1080, derived(6, 40)) + bytes([COMPARE_CACHED, COMPARE_CACHED, PICTURE]),
    "reduced_short": cache(0, 3840, 2160, literal([1] * 300)) + cache(1, 3840, 2160, literal([2] * 300))
    + bytes([COMPARE_CACHED]),
    "zero_height_reduction": cache(0, 2000, 1, generated(3)) + cache(1, 2000, 1, derived(4, 90))
    + bytes([COMPARE_CACHED, PICTURE]),
    "capacity_overflow": bytes([INIT]) + dim(-1) + dim(5) + bytes([COMPARE_CACHED, PICTURE]),
    "wrapping_init": bytes([INIT]) + dim(0x7FFFFFFF) + dim(0x7FFFFFFF) + bytes([PICTURE, INIT])
    + dim(65536) + dim(65536) + bytes([PICTURE]),
    "odd_slots": cache(2, 1, 1, literal([1, 2, 3])) + cache(-1, 1, 1, literal([1, 2, 3]))
    + bytes([COMPARE_CACHED]),
    "alpha_specials": alpha("nan") + compare(4, 4, generated(1), derived(2, 60)) + alpha("-inf")
    + alpha("inf") + alpha(0.0) + alpha(5.0) + bytes([CLEAR, PICTURE]),
    "stream_smoothed": alpha(0.3) + bytes([INIT]) + dim(31) + dim(29)
    + (cache(0, 31, 29, generated(1)) + cache(1, 31, 29, derived(8, 50)) + bytes([COMPARE_CACHED])) * 3
    + bytes([PICTURE, CLEAR, COMPARE_CACHED]),
    "held_cache": bytes([HELD, 0, HELD, 1, PICTURE]),
    "kernels": bytes([KERNELS]) + struct.pack("<HBIBB", 517, 3, 77, 30, 0) + bytes([2, 1, 0, 1])
    + bytes([1]) + struct.pack("<I", 5000),
}

if __name__ == "__main__":
    out = pathlib.Path(__file__).parent / "corpus" / "frame_cache"
    out.mkdir(parents=True, exist_ok=True)
    for name, data in SEEDS.items():
        (out / name).write_bytes(data)
