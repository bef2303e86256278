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
