"""Random calls of every module function with random mixes of positional and
keyword arguments of random types. Each call must end in its documented result or
its documented exception with the exact message, and a call rejected while its
arguments are bound or converted must leave the thread's cache as it was.

The expected conversion outcome comes from the interpreter's own C API functions
(called through ctypes), since the module is documented to use exactly those."""

import ctypes
import re
import threading

import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st
from quillet import _core

PARAMETERS = {
    "compare": ("left", "right", "width", "height"),
    "init_frame_cache": ("width", "height"),
    "cache_frame": ("slot", "rgb", "width", "height"),
    "set_config": ("max_width", "max_height", "block_size"),
    "set_ema_alpha": ("alpha",),
    "compare_cached_frames": (),
    "get_diff_rgba": (),
    "clear_frame_cache": (),
}
BYTES_PARAMETERS = {"left", "right", "rgb"}
FLOAT_PARAMETERS = {"alpha"}

_as_long = ctypes.pythonapi.PyLong_AsLong
_as_long.argtypes, _as_long.restype = [ctypes.py_object], ctypes.c_long
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes, _as_double.restype = [ctypes.py_object], ctypes.c_double

OUT_OF_BOUNDS = re.compile(r"index out of bounds: the len is \d+ but the index is \d+")
# Keeps what init_frame_cache and compare may allocate small.
MAX_PIXELS = 1 << 20


def _panic_type():
    caught = []

    def fail():
        try:
            _core.init_frame_cache(-1, 1)
        except BaseException as error:
            caught.append(type(error))

    thread = threading.Thread(target=fail)
    thread.start()
    thread.join()
    return caught[0]


PanicException = _panic_type()


# ---- argument values -------------------------------------------------------


class BytesSubclass(bytes):
    pass


class IntSubclass(int):
    pass


class FloatSubclass(float):
    pass


class TypeErrorSubclass(TypeError):
    pass


class Index:
    """An object whose __index__ returns `result` or raises it (always the
    same exception instance, so that pass-through can be checked by identity)."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"Index({self.result!r})"


class Real:
    """Like Index, for __float__."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"Real({self.result!r})"


def _raised():
    """Exceptions that __index__ or __float__ raise."""
    cause = ValueError("the cause")
    with_cause = TypeError("bad, with a cause")
    with_cause.__cause__ = cause
    return st.sampled_from(
        [
            lambda: TypeError("bad"),
            lambda: with_cause,
            lambda: TypeErrorSubclass("a subclass"),
            lambda: ValueError("not a value"),
            lambda: OverflowError("too big"),
            lambda: ZeroDivisionError("zero"),
            lambda: PanicException("a panic from Python"),
        ]
    ).map(lambda make: make())


INT32_EDGES = [0, 1, -1, 2**31 - 1, -(2**31), 2**31, -(2**31) - 1, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1]
integers = st.one_of(
    st.integers(-4, 40),
    st.sampled_from(INT32_EDGES),
    st.integers(-(2**70), 2**70),
    st.integers(-(2**40), 2**40),
)
floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.sampled_from([0.5, 1.0, -1.0, 0.0]))
frames = st.one_of(st.binary(max_size=40), st.binary(max_size=40).map(BytesSubclass))

any_value = st.one_of(
    integers,
    st.booleans(),
    integers.map(IntSubclass),
    floats,
    floats.map(FloatSubclass),
    st.text(max_size=4),
    frames,
    st.binary(max_size=8).map(bytearray),
    st.binary(max_size=8).map(memoryview),
    st.none(),
    st.one_of(integers, _raised(), st.just("not an int"), st.just(2.5)).map(Index),
    st.one_of(floats, _raised(), st.just("not a float"), st.just(3)).map(Real),
    st.just(object()),
)


def right_kind(parameter):
    if parameter in BYTES_PARAMETERS:
        return frames
    if parameter in FLOAT_PARAMETERS:
        return floats
    return st.one_of(st.integers(-2, 20), st.sampled_from(INT32_EDGES))


UNKNOWN_KEYWORDS = ["depth", "Width", "", "widths", "\udcff", "wídth", "left ", "_"]


@st.composite
def calls(draw):
    """A function name, positional arguments and keyword arguments (in order)."""
    name = draw(st.sampled_from(sorted(PARAMETERS)))
    parameters = PARAMETERS[name]
    # Mostly values of the right kind, so that calls get past conversion often.
    values = {p: draw(right_kind(p) if draw(st.integers(0, 5)) else any_value) for p in parameters}
    positional = draw(st.integers(0, len(parameters)))
    args = [values[p] for p in parameters[:positional]]
    keywords = [(p, values[p]) for p in draw(st.permutations(parameters[positional:]))]
    changes = draw(st.sampled_from([0, 0, 0, 1, 1, 2]))
    for change in draw(st.lists(st.sampled_from(["drop", "extra", "twice", "unknown"]), min_size=changes, max_size=changes)):
        if change == "drop" and (args or keywords):
            if keywords and draw(st.booleans()):
                keywords.pop(draw(st.integers(0, len(keywords) - 1)))
            elif args:
                args.pop()
        elif change == "extra":
            args.append(draw(any_value))
        elif change == "twice" and parameters:
            keywords.insert(
                draw(st.integers(0, len(keywords))), (draw(st.sampled_from(parameters)), draw(any_value))
            )
        elif change == "unknown":
            keywords.insert(
                draw(st.integers(0, len(keywords))), (draw(st.sampled_from(UNKNOWN_KEYWORDS)), draw(any_value))
            )
    kwargs = {}
    for key, value in keywords:  # a repeated key keeps its first position
        kwargs.setdefault(key, value)
    return name, args, kwargs


# ---- the documented outcome ------------------------------------------------------


class Rejected:
    """The exception a call must raise before any operation runs."""

    def __init__(self, kind, message=None, same=None, cause=None, pattern=None):
        self.kind, self.message, self.same, self.cause = kind, message, same, cause
        self.pattern = pattern  # for the interpreter's own messages


def parameter_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(name, args, kwargs):
    parameters = PARAMETERS[name]
    display = f"{name}()"
    count = len(parameters)
    if len(args) > count:
        verb = "was" if len(args) == 1 else "were"
        return Rejected(TypeError, f"{display} takes {count} positional arguments but {len(args)} {verb} given")
    bound = dict(zip(parameters, args))
    for key, value in kwargs.items():
        if key not in parameters:
            return Rejected(TypeError, f"{display} got an unexpected keyword argument '{key}'")
        if key in bound:
            return Rejected(TypeError, f"{display} got multiple values for argument '{key}'")
        bound[key] = value
    missing = [p for p in parameters if p not in bound]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        return Rejected(
            TypeError, f"{display} missing {len(missing)} required positional {noun}: {parameter_list(missing)}"
        )
    return bound


def conversion_error(parameter, value, error):
    if type(error) is TypeError:
        return Rejected(TypeError, f"argument '{parameter}': {error}", cause=error.__cause__)
    if isinstance(error, PanicException):
        return Rejected(PanicException, str(error))
    if error is getattr(value, "result", None):  # raised by the argument itself: passed on as is
        return Rejected(type(error), same=error)
    return Rejected(type(error), str(error))  # the interpreter's own, such as OverflowError


def convert(parameter, value):
    """The native value, or how its conversion fails."""
    if parameter in BYTES_PARAMETERS:
        if isinstance(value, bytes):
            return value
        return Rejected(
            TypeError, f"argument '{parameter}': '{type(value).__qualname__}' object cannot be converted to 'PyBytes'"
        )
    try:
        native = _as_double(value) if parameter in FLOAT_PARAMETERS else _as_long(value)
    except BaseException as error:  # whatever the interpreter raises, PanicException included
        return conversion_error(parameter, value, error)
    if parameter not in FLOAT_PARAMETERS and not -(2**31) <= native < 2**31:
        return Rejected(OverflowError, "out of range integral type conversion attempted")
    return native


def expected_rejection(name, args, kwargs):
    """The Rejected outcome of binding and conversion, or the converted values."""
    if not PARAMETERS[name]:
        if args or kwargs:  # the interpreter's own check, keywords first
            pattern = "takes no keyword arguments" if kwargs else rf"takes no arguments \({len(args)} given\)"
            return Rejected(TypeError, pattern=re.compile(rf"(quillet\._core\.)?{name}\(\) {pattern}"))
        return {}
    bound = bind(name, args, kwargs)
    if isinstance(bound, Rejected):
        return bound
    converted = {}
    for parameter in PARAMETERS[name]:
        converted[parameter] = convert(parameter, bound[parameter])
        if isinstance(converted[parameter], Rejected):
            return converted[parameter]
    return converted


def pixel_count(width, height):
    """width x height as the wrapping signed 32-bit product."""
    product = (width * height) & 0xFFFFFFFF
    return product - (1 << 32) if product >= 1 << 31 else product


def check_result(name, values, outcome):
    """A call that got past conversion returned or raised what its function can."""
    if name in ("compare", "init_frame_cache") and pixel_count(values["width"], values["height"]) < 0:
        assert isinstance(outcome, PanicException) and outcome.args == ("capacity overflow",)
        return
    if isinstance(outcome, BaseException):
        assert name == "compare", outcome
        assert type(outcome) is PanicException and OUT_OF_BOUNDS.fullmatch(str(outcome)), outcome
        return
    if name in ("compare", "compare_cached_frames"):
        assert type(outcome) is tuple and len(outcome) == 4
        assert all(type(metric) is float for metric in outcome)
    elif name == "get_diff_rgba":
        assert type(outcome) is bytes and len(outcome) % 4 == 0
    else:
        assert outcome is None


# ---- the thread's cache before and after -----------------------------------------

LEFT = bytes(range(36))
RIGHT = bytes(7 * i % 256 for i in range(36))


def prepare_cache():
    """A cache with both slots, a picture, a smoothing history and a colour scale."""
    _core.clear_frame_cache()
    _core.set_ema_alpha(0.5)
    _core.init_frame_cache(4, 3)
    _core.cache_frame(0, LEFT, 4, 3)
    _core.cache_frame(1, RIGHT, 4, 3)
    _core.compare_cached_frames()


def observed_cache():
    """The picture, then the result of comparing again (which reads every field
    that a comparison depends on)."""
    return _core.get_diff_rgba(), repr(_core.compare_cached_frames())


@pytest.fixture(scope="module")
def untouched_cache():
    prepare_cache()
    state = observed_cache()
    yield state
    _core.clear_frame_cache()
    _core.set_ema_alpha(1.0)


@settings(
    max_examples=400,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(call=calls())
def test_every_call_ends_as_documented(call, untouched_cache):
    name, args, kwargs = call
    expected = expected_rejection(name, args, kwargs)
    if not isinstance(expected, Rejected) and name in ("compare", "init_frame_cache"):
        assume(pixel_count(expected["width"], expected["height"]) <= MAX_PIXELS)

    prepare_cache()
    try:
        outcome = getattr(_core, name)(*args, **kwargs)
    except BaseException as error:  # PanicException derives from BaseException only
        outcome = error

    event(f"{name}: {type(expected.kind() if isinstance(expected, Rejected) else outcome).__name__}")
    if not isinstance(expected, Rejected):
        check_result(name, expected, outcome)
        return
    if expected.same is not None:
        assert outcome is expected.same
    else:
        assert type(outcome) is expected.kind, repr(outcome)
        if expected.pattern is not None:
            assert expected.pattern.fullmatch(str(outcome)), str(outcome)
        else:
            assert outcome.args == (expected.message,)
    if expected.kind is TypeError and expected.message and expected.message.startswith("argument '"):
        assert outcome.__cause__ is expected.cause
    assert observed_cache() == untouched_cache
