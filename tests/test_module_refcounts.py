"""References: arguments are borrowed and never kept, results are new objects
owned by the caller, and failing calls release what they took."""

import sys

import pytest
from quillet import _core

CALLS = 2000


def fresh_int(value):
    # Built at run time so it is neither a cached small int nor a constant.
    return int(str(value))


def test_arguments_are_not_kept(on_fresh_thread):
    left, right = bytes(300 * 3), bytes([1]) * (300 * 3)
    width, height = fresh_int(300), fresh_int(1)
    alpha = float("0.75")
    watched = (left, right, width, height, alpha)

    def run():
        before = [sys.getrefcount(obj) for obj in watched]
        for _ in range(CALLS):
            _core.compare(left, right, width, height)
            _core.compare(left=left, right=right, width=width, height=height)
            _core.cache_frame(1, rgb=right, width=width, height=height)
            _core.set_ema_alpha(alpha)
        return before, [sys.getrefcount(obj) for obj in watched]

    before, after = on_fresh_thread(run)
    assert after == before


FAILING = [
    ("bytes-conversion", lambda arg: _core.compare(arg, b"", 1, 1)),
    ("int-conversion", lambda arg: _core.init_frame_cache(1, arg)),
    ("float-conversion", lambda arg: _core.set_ema_alpha(arg)),
    ("too-many", lambda arg: _core.set_ema_alpha(arg, arg)),
    ("unexpected-keyword", lambda arg: _core.init_frame_cache(width=arg, depth=arg)),
    ("multiple-values", lambda arg: _core.init_frame_cache(arg, width=arg)),
]


@pytest.mark.parametrize("call", [f[1] for f in FAILING], ids=[f[0] for f in FAILING])
def test_failing_calls_release_their_arguments(call):
    argument = bytearray(b"xyz")
    before = sys.getrefcount(argument)
    for _ in range(CALLS):
        with pytest.raises(TypeError):
            call(argument)
    assert sys.getrefcount(argument) == before


def test_rewrapped_errors_are_released():
    class Index:
        def __index__(self):
            raise TypeError("bad")

    argument = Index()
    before = sys.getrefcount(argument)
    for _ in range(CALLS):
        with pytest.raises(TypeError):
            _core.init_frame_cache(argument, 1)
    assert sys.getrefcount(argument) == before


def test_results_are_new_objects_owned_by_the_caller(on_fresh_thread):
    def run():
        _core.compare(bytes([53, 0, 0]), bytes(3), 1, 1)
        metrics = _core.compare_cached_frames()
        first, second = _core.get_diff_rgba(), _core.get_diff_rgba()
        return (
            sys.getrefcount(metrics),
            [sys.getrefcount(metrics[i]) for i in range(4)],
            sys.getrefcount(first),
            first is second,
        )

    tuple_refs, item_refs, bytes_refs, same = on_fresh_thread(run)
    # One reference held by the name (or the tuple), one lent to getrefcount.
    assert tuple_refs == 2
    assert item_refs == [2, 2, 2, 2]
    assert bytes_refs == 2
    assert not same
