"""Many threads using their own frame caches at once, and thousands of threads
started and ended: each thread's results must equal those of the same calls made
alone, and the caches of ended threads must be given back."""

import os
import random
import sys
import threading
import time

import pytest
from quillet import _core

THREADS = 16
STEPS = 120
SIZES = [(8, 6), (16, 9), (33, 7), (1281, 2), (2, 721)]  # the last two are reduced


def frame(rng, width, height, base=None, noise=255):
    size = max(width, 0) * max(height, 0) * 3
    if base is None:
        return rng.randbytes(size)
    return bytes(min(255, max(0, b + rng.randint(-noise, noise))) for b in base[:size])


def operations(seed):
    """A reproducible sequence of calls with its own frames, smoothing factors and
    the occasional call that fails (short frames, a negative pixel count)."""
    rng = random.Random(seed)
    width, height = rng.choice(SIZES)
    left = frame(rng, width, height)
    ops = []
    for _ in range(STEPS):
        kind = rng.choice(["cache", "cache", "compare_cached", "compare", "alpha", "picture", "init", "clear", "bad"])
        if kind == "cache":
            right = frame(rng, width, height, left, noise=rng.choice([2, 40, 255]))
            ops.append(("cache_frame", (rng.randint(0, 1), right, width, height)))
        elif kind == "compare_cached":
            ops.append(("compare_cached_frames", ()))
        elif kind == "compare":
            ops.append(("compare", (left, frame(rng, width, height, left, noise=60), width, height)))
        elif kind == "alpha":
            ops.append(("set_ema_alpha", (rng.choice([1.0, 0.5, 0.3, 0.05, float("nan")]),)))
        elif kind == "picture":
            ops.append(("get_diff_rgba", ()))
        elif kind == "init":
            width, height = rng.choice(SIZES)
            left = frame(rng, width, height)
            ops.append(("init_frame_cache", (width, height)))
        elif kind == "clear":
            ops.append(("clear_frame_cache", ()))
        else:
            ops.append(rng.choice([("compare", (left, left[:-1], width, height)), ("init_frame_cache", (-3, 5))]))
    return ops


def run_sequence(ops, between=None):
    """The outcome of every call, as comparable text (NaN included)."""
    outcomes = []
    for name, args in ops:
        try:
            outcomes.append(repr(getattr(_core, name)(*args)))
        except BaseException as error:  # PanicException included
            outcomes.append(f"{type(error).__name__}: {error}")
        if between:
            between()
    return outcomes


def on_new_thread(fn, *args):
    result = []
    thread = threading.Thread(target=lambda: result.append(fn(*args)))
    thread.start()
    thread.join()
    return result[0]


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_threads_match_their_single_thread_runs(fast_switching):
    sequences = [operations(seed) for seed in range(THREADS)]
    alone = [on_new_thread(run_sequence, ops) for ops in sequences]

    start = threading.Barrier(THREADS)
    together = [None] * THREADS
    rngs = [random.Random(1000 + i) for i in range(THREADS)]

    def worker(index):
        start.wait()
        # Give up the interpreter now and then, so the threads' calls interleave.
        rng = rngs[index]
        together[index] = run_sequence(sequences[index], lambda: rng.random() < 0.5 and time.sleep(0))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    for index in range(THREADS):
        assert together[index] == alone[index], f"thread {index}"
    # The sequences really do fail now and then, and really compare frames.
    outcomes = [o for run in alone for o in run]
    assert any(o.startswith("PanicException: index out of bounds") for o in outcomes)
    assert any(o.startswith("PanicException: capacity overflow") for o in outcomes)
    assert any(o.startswith("(") and o != "(0.0, 0.0, 0.0, 0.0)" for o in outcomes)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# What thread ends may leave resident (allocator arenas and caches); a cache that
# outlived its thread would leave about 1.5 MB each, several gigabytes in all.
ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
ALLOWED_GROWTH = (400 if ASAN else 64) << 20


def test_ended_threads_give_their_caches_back():
    width, height = 320, 240
    left = bytes(range(256)) * (width * height * 3 // 256)
    right = bytes(reversed(left))

    pictures = []

    def use_cache(smooth):
        _core.set_ema_alpha(0.5 if smooth else 1.0)
        _core.init_frame_cache(width, height)
        _core.cache_frame(0, left, width, height)
        _core.cache_frame(1, right, width, height)
        _core.compare_cached_frames()
        pictures.append(len(_core.get_diff_rgba()))

    def churn(count):
        for i in range(count):
            thread = threading.Thread(target=use_cache, args=(i % 2 == 0,))
            thread.start()
            thread.join()

    churn(300)
    before = resident_bytes()
    churn(3000)
    assert resident_bytes() - before < ALLOWED_GROWTH
    assert pictures == [width * height * 4] * 3300
