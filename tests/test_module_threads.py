"""Each thread has its own frame cache: calls interleaved across threads see
only their own frames, picture and smoothing factor."""

import threading

from quillet import _core

BLACK = bytes(3)


def test_interleaved_threads_get_their_own_results():
    frames = {"near": bytes([53, 0, 0]), "far": bytes([255, 255, 255])}
    barrier = threading.Barrier(len(frames))
    results = {}

    def worker(name):
        steps = [
            lambda: _core.init_frame_cache(1, 1),
            lambda: _core.cache_frame(0, frames[name], 1, 1),
            lambda: _core.cache_frame(1, BLACK, 1, 1),
            lambda: results.__setitem__(name, _core.compare_cached_frames()),
            lambda: results.__setitem__(name + "-picture", _core.get_diff_rgba()),
        ]
        for step in steps:
            barrier.wait()  # every step runs on both threads before the next one
            step()

    threads = [threading.Thread(target=worker, args=(name,)) for name in frames]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert results["near"][2:] == (2809.0, 2809.0)
    assert results["near-picture"] == bytes([53, 0, 0, 255])
    assert results["far"][2:] == (195075.0, 195075.0)
    assert results["far-picture"] == bytes([255, 0, 0, 255])


def test_frames_cached_on_one_thread_are_invisible_on_another(on_fresh_thread):
    def cache_here():
        _core.cache_frame(0, bytes([53, 0, 0]), 1, 1)
        _core.cache_frame(1, BLACK, 1, 1)
        return on_fresh_thread(lambda: (_core.compare_cached_frames(), _core.get_diff_rgba()))

    assert on_fresh_thread(cache_here) == ((0.0, 0.0, 0.0, 0.0), b"")


def test_smoothing_factor_is_per_thread(on_fresh_thread):
    def smoothed_max_diff():
        _core.init_frame_cache(1, 1)
        _core.cache_frame(1, BLACK, 1, 1)
        _core.cache_frame(0, bytes([100, 0, 0]), 1, 1)
        _core.compare_cached_frames()
        _core.cache_frame(0, BLACK, 1, 1)
        return _core.compare_cached_frames()[3]

    def set_here_then_check_elsewhere():
        _core.set_ema_alpha(0.5)
        return smoothed_max_diff(), on_fresh_thread(smoothed_max_diff)

    assert on_fresh_thread(set_here_then_check_elsewhere) == (5000.0, 0.0)
