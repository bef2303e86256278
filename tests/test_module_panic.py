"""Internal failures: PanicException, the report on standard error, panics that
come back out of Python code, and memory that cannot be had."""

import re
import sys

import pytest
from quillet import _core

REPORT = re.compile(
    r"\nthread '<unnamed>' \((?P<id>\d+)\) panicked at "
    r"(?P<file>[^\n:]+):(?P<line>\d+):(?P<column>\d+):\n(?P<message>[^\n]*)\n"
)

linux_only = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="reads /proc and limits address space"
)


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


def test_panic_exception_type_properties():
    error = panic_of(lambda: _core.init_frame_cache(-1, 5))
    kind = type(error)
    assert kind.__module__ == "pyo3_runtime"
    assert kind.__name__ == "PanicException"
    assert kind.__qualname__ == "PanicException"
    assert kind.__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert error.args == ("capacity overflow",)
    assert str(error) == "capacity overflow"
    assert kind.__doc__.startswith("\n")
    assert kind.__doc__.endswith(
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    assert "panics" in kind.__doc__.splitlines()[1]


def test_panic_exception_type_is_created_once():
    first = panic_of(lambda: _core.init_frame_cache(-1, 5))
    second = panic_of(lambda: _core.compare(bytes(6), bytes(5), 2, 1))
    assert type(first) is type(second)


def test_panic_is_not_caught_by_except_exception():
    with pytest.raises(BaseException):
        try:
            _core.init_frame_cache(-3, 7)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")


PANICS = [
    ("negative-pixel-count", lambda: _core.init_frame_cache(-1, 5), "capacity overflow"),
    (
        "right-frame-short",
        lambda: _core.compare(bytes(6), bytes(5), 2, 1),
        "index out of bounds: the len is 5 but the index is 5",
    ),
    (
        "both-frames-short",
        lambda: _core.compare(bytes(4), bytes(4), 2, 1),
        "index out of bounds: the len is 4 but the index is 4",
    ),
    (
        "reduced-frame-short",
        lambda: _core.compare(bytes(1281 * 3), bytes(1281 * 3), 1281, 720),
        "index out of bounds: the len is 3843 but the index is 3843",
    ),
]


@pytest.mark.parametrize(("call", "message"), [p[1:] for p in PANICS], ids=[p[0] for p in PANICS])
def test_core_failures_raise_panic_and_leave_the_module_usable(on_fresh_thread, call, message):
    def run():
        error = panic_of(call)
        return error, _core.compare(bytes(3), bytes(3), 1, 1)

    error, after = on_fresh_thread(run)
    assert error.args == (message,)
    assert after == (1.0, 100.0, 0.0, 0.0)


def test_report_on_standard_error(run_python):
    result = run_python(
        """
        import threading
        from quillet import _core
        print(threading.get_native_id())
        try:
            _core.init_frame_cache(-1, 5)
        except BaseException as error:
            print(repr(error.args))
        """
    )
    assert result.returncode == 0, result.stderr
    thread_id, args = result.stdout.splitlines()
    assert args == "('capacity overflow',)"
    reports = list(REPORT.finditer(result.stderr))
    assert len(reports) == 1, result.stderr
    report = reports[0]
    assert result.stderr.startswith(report.group(0))
    assert report.group("id") == thread_id
    assert report.group("message") == "capacity overflow"
    assert report.group("file").endswith(".cc")
    assert int(report.group("line")) > 0 and int(report.group("column")) > 0


RESUME = """
    from quillet import _core
    try:
        _core.init_frame_cache(-1, 5)
    except BaseException as error:
        Panic = type(error)

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    class Index:
        def __init__(self, error):
            self.error = error
        def __index__(self):
            raise self.error

    raised = Panic({argument})
    try:
        _core.{call}
    except BaseException as error:
        print(type(error) is Panic, error is raised, repr(error.args))
    print(_core.compare(bytes(3), bytes(3), 1, 1))
"""


@pytest.mark.parametrize(
    ("argument", "call", "message"),
    [
        ("'from python'", "init_frame_cache(1, Index(raised))", "from python"),
        (
            "Unprintable()",
            "cache_frame(Index(raised), b'', 1, 1)",
            "Unwrapped panic from Python code",
        ),
    ],
    ids=["message-kept", "unprintable-message"],
)
def test_panic_from_python_code_is_raised_again(run_python, argument, call, message):
    result = run_python(RESUME.format(argument=argument, call=call))
    assert result.returncode == 0, result.stderr
    outcome, after = result.stdout.splitlines()
    assert outcome == f"True False ('{message}',)"
    assert after == "(1.0, 100.0, 0.0, 0.0)"
    # One report for the first panic only; the resumed one prints the Python
    # exception with its traceback instead.
    assert len(REPORT.findall(result.stderr)) == 1
    tail = result.stderr.split("Python stack trace below:\n", 1)
    assert len(tail) == 2, result.stderr
    assert "PanicException" in tail[0].splitlines()[-1]
    assert tail[1].startswith("Traceback (most recent call last):\n")
    assert "__index__" in tail[1]
    assert "pyo3_runtime.PanicException" in tail[1]


LIMITED = """
    import re, resource
    from quillet import _core

    def limit_address_space(extra):
        status = open("/proc/self/status").read()
        in_use = int(re.search(r"VmSize:\\s+(\\d+) kB", status).group(1)) * 1024
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + extra, hard))
        return hard

    {body}
"""


@linux_only
def test_allocation_failure_in_core_raises_memory_error(run_python):
    body = """
    _core.init_frame_cache(2, 3)
    hard = limit_address_space(256 << 20)
    try:
        _core.init_frame_cache(20000, 20000)  # 1.6 GB of picture
    except MemoryError as error:
        print("MemoryError", error.args)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(len(_core.get_diff_rgba()))
    print(_core.compare(bytes([53, 0, 0]), bytes(3), 1, 1)[2])
    """
    result = run_python(LIMITED.format(body=body))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError ()", "24", "2809.0"]
    assert "panicked" not in result.stderr


@linux_only
def test_result_that_cannot_be_built_is_a_panic(run_python):
    body = """
    _core.init_frame_cache(4000, 10000)  # 160 MB picture
    hard = limit_address_space(64 << 20)
    try:
        _core.get_diff_rgba()
    except BaseException as error:
        print(type(error).__name__, error.args)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print(len(_core.get_diff_rgba()))
    """
    result = run_python(LIMITED.format(body=body))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PanicException ('Python API call failed',)",
        str(4000 * 10000 * 4),
    ]
    # The interpreter's own error comes first, then the report.
    memory_error = result.stderr.find("MemoryError")
    reports = list(REPORT.finditer(result.stderr))
    assert memory_error >= 0, result.stderr
    assert len(reports) == 1 and reports[0].group("message") == "Python API call failed"
    assert memory_error < reports[0].start()
