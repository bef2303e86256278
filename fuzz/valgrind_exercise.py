"""A short tour of quillet._core for valgrind memcheck: every function, the
failure paths, smoothing, reduced frames and threads that end (freeing their
caches). Run it as tools/run_tests.sh does:

    PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=none --error-exitcode=99 --num-callers=40 \
        --log-file=valgrind.log python fuzz/valgrind_exercise.py
    python fuzz/valgrind_exercise.py --check valgrind.log

The interpreter itself leaves blocks behind at exit, so the check fails only on
definite leaks whose allocation passes through the module; any invalid read,
write or free, anywhere, already fails valgrind's exit status.
"""

import re
import sys
import threading

if __name__ == "__main__" and sys.argv[1:2] == ["--check"]:
    log = open(sys.argv[2]).read()
    records = re.split(r"\n(?===\d+== \S.* lost in loss record)", log)

    def allocated_by_module(record):
        # The module's frame comes before any frame of the interpreter running
        # Python code: blocks that code (an import, say) allocates are its own.
        for line in record.splitlines():
            if "_core.cpython" in line or "quillet::" in line:
                return True
            if "_PyEval_EvalFrameDefault" in line:
                return False
        return False

    ours = [r for r in records if "definitely lost in loss record" in r and allocated_by_module(r)]
    print("\n".join(ours) or "no definite leaks from the module")
    sys.exit(1 if ours else 0)

from quillet import _core  # noqa: E402

PanicException = None


def expect_failure(call, *args, **kwargs):
    global PanicException
    try:
        call(*args, **kwargs)
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ == "PanicException":
            PanicException = type(error)
        return error
    raise AssertionError(f"{call.__name__} did not fail")


def frames(width, height, shift):
    left = bytes((x * 7 + y * 3) % 256 for y in range(height) for x in range(width * 3))
    right = left[shift:] + left[:shift]
    return left, right


def tour(width, height):
    left, right = frames(width, height, 5)
    _core.compare(left, right, width, height)
    _core.set_ema_alpha(0.3)
    _core.init_frame_cache(width, height)
    for _ in range(3):
        _core.cache_frame(0, left, width, height)
        _core.cache_frame(1, right, width, height)
        _core.compare_cached_frames()
        _core.get_diff_rgba()
    _core.set_ema_alpha(float("nan"))
    _core.compare_cached_frames()
    expect_failure(_core.compare, left, right[: len(right) // 2], width, height)  # short right frame
    try:
        _core.compare_cached_frames()  # full size: both slots were emptied; reduced: fails again
    except BaseException:
        pass
    expect_failure(_core.init_frame_cache, -1, 5)
    _core.clear_frame_cache()
    _core.set_ema_alpha(1.0)


def binding_errors():
    expect_failure(_core.compare)
    expect_failure(_core.cache_frame, 0, bytearray(3), 1, 1)
    expect_failure(_core.init_frame_cache, 1, width=2)
    expect_failure(_core.init_frame_cache, 2**31, 1)
    expect_failure(_core.set_ema_alpha, "x")
    expect_failure(_core.get_diff_rgba, 1)

    class Index:
        def __index__(self):
            raise TypeError("bad")

    expect_failure(_core.init_frame_cache, Index(), 1)

    class Panicking:
        def __index__(self):
            raise PanicException("from Python")

    expect_failure(_core.init_frame_cache, Panicking(), 1)
    _core.set_config(1, 2, 3)
    _core.set_config(-1, -1, -1)


tour(16, 9)
binding_errors()
tour(1282, 3)  # reduced to 1280 x 2
for _ in range(4):
    thread = threading.Thread(target=tour, args=(20, 10))
    thread.start()
    thread.join()
_core.compare(*frames(1281, 720, 9), 1281, 720)  # the largest picture, reduced
print("tour done")
