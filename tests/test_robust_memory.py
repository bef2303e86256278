"""Memory over long runs: a stream of comparisons keeps resident memory flat and
reference counts unchanged, and an allocation that cannot be had raises
MemoryError without harming the thread's cache."""

import os
import sys

import pytest
from quillet import _core

ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
# Allocator slack; a leak of one frame or picture per comparison would exceed it
# many times over (at least 3.6 MB per call).
ALLOWED_GROWTH = (256 if ASAN else 16) << 20


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def frames(width, height, count):
    """`count` frames of noise-free gradients that differ from each other a little."""
    row = bytes((x * 255 // max(width - 1, 1)) for x in range(width))
    gradient = b"".join(bytes((v, v, 128)) for v in row)
    base = gradient * height
    return [base[i * 3 :] + base[: i * 3] for i in range(count)]


@pytest.mark.parametrize(
    ("width", "height", "rounds"),
    [(1280, 720, 500), (3840, 2160, 60)],
    ids=["1280x720", "3840x2160"],
)
def test_streaming_keeps_memory_and_references_flat(on_fresh_thread, width, height, rounds):
    stream = frames(width, height, 4)
    picture_size = min(width, 1280) * min(height, 720) * 4

    def run():
        _core.set_ema_alpha(0.3)
        _core.init_frame_cache(width, height)

        def one_round(i):
            left, right = stream[i % 4], stream[(i + 1) % 4]
            _core.cache_frame(0, left, width, height)
            _core.cache_frame(1, right, width, height)
            metrics = _core.compare_cached_frames()
            picture = _core.get_diff_rgba()
            single = _core.compare(left, right, width, height)
            return metrics, picture, single

        for i in range(8):  # warm-up: buffers reach their steady size
            one_round(i)
        references = [sys.getrefcount(f) for f in stream]
        before = resident_bytes()
        for i in range(rounds):
            metrics, picture, single = one_round(i)
            assert len(picture) == picture_size
            assert sys.getrefcount(metrics) == sys.getrefcount(picture) == sys.getrefcount(single) == 2
        return resident_bytes() - before, references, [sys.getrefcount(f) for f in stream]

    growth, references_before, references_after = on_fresh_thread(run)
    assert references_after == references_before
    assert growth < ALLOWED_GROWTH


EXHAUSTION = """
import resource, sys
from quillet import _core

left, right = bytes([10, 20, 30]) * 12, bytes([10, 20, 200]) * 12
expected = _core.compare(left, right, 6, 2)
# Room for this interpreter and small frames, far less than the 8 GiB asked for.
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped + (1 << 30), hard))
for width, height in [(2**31 - 1, 1), (46340, 46340), (1, 2**31 - 1)]:
    try:
        _core.init_frame_cache(width, height)
    except MemoryError:
        print("MemoryError")
    assert _core.compare_cached_frames() == expected  # the frames cached before
    assert _core.compare(left, right, 6, 2) == expected
    assert len(_core.get_diff_rgba()) == 12 * 4
print("compared normally")
"""


@pytest.mark.skipif(ASAN, reason="AddressSanitizer reserves more address space than any limit allows")
def test_allocation_beyond_the_address_space_limit_raises_memory_error(run_python):
    done = run_python(EXHAUSTION)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["MemoryError"] * 3 + ["compared", "normally"]
    assert "panicked" not in done.stderr


ZEROS = (0.0, 0.0, 0.0, 0.0)
OVERFLOW = ("capacity overflow",)


def out_of_bounds(index):
    return (f"index out of bounds: the len is 3 but the index is {index}",)


WRAPPING = [
    # width, height, pixels as the wrapping 32-bit product, then what
    # compare(3 bytes, 3 bytes, width, height) gives: both slots are filled, so
    # positive sizes are reduced to 720 x 720 and sample past the 3 bytes.
    (2**31 - 1, 2**31 - 1, 1, out_of_bounds(3 * 2982616)),
    (65536, 65536, 0, out_of_bounds(3 * 91)),
    (-1, -1, 1, ZEROS),
    (-(2**31), 2, 0, ZEROS),
    (-65536, -65536, 0, ZEROS),
    (46341, 46341, -1, OVERFLOW),
    (65536, 32768, -1, OVERFLOW),
    (-(2**31), -1, -1, OVERFLOW),
    (2**31 - 1, 2, -1, OVERFLOW),
]


@pytest.mark.parametrize(
    ("width", "height", "pixels", "compared"), WRAPPING, ids=[f"{w}x{h}" for w, h, _, _ in WRAPPING]
)
def test_pixel_counts_wrap_without_overflowing(on_fresh_thread, width, height, pixels, compared):
    # Under the sanitizer build, a signed overflow in this arithmetic aborts the run.
    def run():
        outcomes = []
        for call in (
            lambda: _core.init_frame_cache(width, height),
            lambda: _core.compare(b"\x01\x02\x03", b"\x04\x05\x06", width, height),
        ):
            try:
                outcomes.append(call())
            except BaseException as error:  # PanicException
                outcomes.append(error.args)
            outcomes.append(len(_core.get_diff_rgba()))
        return outcomes

    picture = 4 * max(pixels, 0)  # a fresh cache's picture is empty
    initialised = OVERFLOW if pixels < 0 else None
    assert on_fresh_thread(run) == [initialised, picture, compared, picture]
