"""Timing shared by the Python benchmarks: medians of wall-clock times after warm-up calls."""

from __future__ import annotations

import statistics
import time
from collections.abc import Callable


def median_ms(body: Callable[[], object], runs: int, warmup: int = 1) -> float:
    """The median of `runs` timed calls of `body`, in milliseconds, after `warmup` untimed ones."""
    for _ in range(warmup):
        body()
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        body()
        times.append((time.perf_counter() - start) * 1000.0)
    return statistics.median(times)
