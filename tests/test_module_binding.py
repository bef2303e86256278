"""Argument binding and conversion: every message, the order in which arguments
are checked, and what reaches the core."""

import sys

import pytest
from quillet import _core

FRAME = bytes([53, 0, 0])  # one pixel, compared against black: mse 2809
BLACK = bytes(3)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


BINDING_ERRORS = [
    (
        "compare-no-arguments",
        lambda: _core.compare(),
        "compare() missing 4 required positional arguments: 'left', 'right', 'width', and 'height'",
    ),
    (
        "compare-two-missing",
        lambda: _core.compare(b"", b""),
        "compare() missing 2 required positional arguments: 'width' and 'height'",
    ),
    (
        "compare-three-missing-after-keyword",
        lambda: _core.compare(b"", height=1),
        "compare() missing 2 required positional arguments: 'right' and 'width'",
    ),
    (
        "cache-frame-one-missing",
        lambda: _core.cache_frame(0, b"", 1),
        "cache_frame() missing 1 required positional argument: 'height'",
    ),
    (
        "cache-frame-keyword-only-rgb",
        lambda: _core.cache_frame(rgb=b""),
        "cache_frame() missing 3 required positional arguments: 'slot', 'width', and 'height'",
    ),
    (
        "init-one-missing",
        lambda: _core.init_frame_cache(height=1),
        "init_frame_cache() missing 1 required positional argument: 'width'",
    ),
    (
        "too-many-one-parameter",
        lambda: _core.set_ema_alpha(0.5, 0.6),
        "set_ema_alpha() takes 1 positional arguments but 2 were given",
    ),
    (
        "too-many-keyword-never-examined",
        lambda: _core.set_config(1, 2, 3, 4, bogus=5),
        "set_config() takes 3 positional arguments but 4 were given",
    ),
    (
        "too-many-five",
        lambda: _core.compare(1, 2, 3, 4, 5),
        "compare() takes 4 positional arguments but 5 were given",
    ),
    (
        "multiple-values-positional-then-keyword",
        lambda: _core.init_frame_cache(1, width=2),
        "init_frame_cache() got multiple values for argument 'width'",
    ),
    (
        "unexpected-before-missing",
        lambda: _core.init_frame_cache(width=1, depth=2),
        "init_frame_cache() got an unexpected keyword argument 'depth'",
    ),
    (
        "keyword-case-matters",
        lambda: _core.init_frame_cache(Width=1, height=2),
        "init_frame_cache() got an unexpected keyword argument 'Width'",
    ),
    (
        "first-bad-keyword-wins",
        lambda: _core.init_frame_cache(1, zeta=2, width=3),
        "init_frame_cache() got an unexpected keyword argument 'zeta'",
    ),
    (
        "duplicate-before-unknown",
        lambda: _core.init_frame_cache(1, width=3, zeta=2),
        "init_frame_cache() got multiple values for argument 'width'",
    ),
    (
        "unreadable-keyword-name",
        lambda: _core.init_frame_cache(1, **{"\udc80": 2}),
        "init_frame_cache() got an unexpected keyword argument '\udc80'",
    ),
]


@pytest.mark.parametrize(
    ("call", "message"), [c[1:] for c in BINDING_ERRORS], ids=[c[0] for c in BINDING_ERRORS]
)
def test_binding_error_messages(call, message):
    error = raised(call)
    assert type(error) is TypeError
    assert error.args == (message,)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class SubTypeError(TypeError):
    pass


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


class Bytes(bytes):
    pass


TYPE_ERRORS = [
    (
        "bytearray-for-rgb",
        lambda: _core.cache_frame(0, bytearray(3), 1, 1),
        "argument 'rgb': 'bytearray' object cannot be converted to 'PyBytes'",
    ),
    (
        "none-for-left",
        lambda: _core.compare(None, b"", 1, 1),
        "argument 'left': 'NoneType' object cannot be converted to 'PyBytes'",
    ),
    (
        "memoryview-for-right",
        lambda: _core.compare(b"", memoryview(b""), 1, 1),
        "argument 'right': 'memoryview' object cannot be converted to 'PyBytes'",
    ),
    (
        "str-for-rgb",
        lambda: _core.cache_frame(0, "abc", 1, 1),
        "argument 'rgb': 'str' object cannot be converted to 'PyBytes'",
    ),
    (
        "qualified-type-name",
        lambda: _core.compare(Index(1), b"", 1, 1),
        "argument 'left': 'Index' object cannot be converted to 'PyBytes'",
    ),
    (
        "first-failing-parameter-only",
        lambda: _core.compare(1, 2, "a", "b"),
        "argument 'left': 'int' object cannot be converted to 'PyBytes'",
    ),
    (
        "float-for-width",
        lambda: _core.init_frame_cache(1.0, 1),
        "argument 'width': 'float' object cannot be interpreted as an integer",
    ),
    (
        "str-for-slot",
        lambda: _core.cache_frame("0", b"", 1, 1),
        "argument 'slot': 'str' object cannot be interpreted as an integer",
    ),
    (
        "float-for-block-size",
        lambda: _core.set_config(1, 2, 3.5),
        "argument 'block_size': 'float' object cannot be interpreted as an integer",
    ),
    (
        "index-raises-type-error",
        lambda: _core.init_frame_cache(Index(TypeError("bad")), 1),
        "argument 'width': bad",
    ),
    (
        "str-for-alpha",
        lambda: _core.set_ema_alpha("x"),
        "argument 'alpha': must be real number, not str",
    ),
]


@pytest.mark.parametrize(
    ("call", "message"), [c[1:] for c in TYPE_ERRORS], ids=[c[0] for c in TYPE_ERRORS]
)
def test_conversion_type_errors_name_the_argument(call, message):
    error = raised(call)
    assert type(error) is TypeError
    assert error.args == (message,)
    assert error.__cause__ is None
    assert error.__suppress_context__ is True


def test_rewrapped_type_error_does_not_chain_the_original():
    original = TypeError("bad")
    error = raised(lambda: _core.init_frame_cache(Index(original), 1))
    assert error is not original
    assert error.__cause__ is None
    assert error.__context__ is not original


def test_rewrapped_type_error_keeps_the_cause():
    cause = KeyError("root")
    original = TypeError("bad")
    original.__cause__ = cause
    error = raised(lambda: _core.set_config(1, Index(original), 3))
    assert error.args == ("argument 'max_height': bad",)
    assert error.__cause__ is cause
    assert error.__suppress_context__ is True


def test_unprintable_type_error_is_reported_as_unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    error = raised(lambda: _core.init_frame_cache(1, Index(TypeError(BadStr()))))
    assert type(error) is TypeError
    assert error.args == ("argument 'height': <unprintable TypeError object>",)
    assert len(seen) == 1
    assert seen[0].exc_type is RuntimeError


PASSED_THROUGH = [
    ("value-error", lambda: ValueError("v")),
    ("type-error-subclass", lambda: SubTypeError("sub")),
    ("overflow-error", lambda: OverflowError("o")),
]


@pytest.mark.parametrize("make", [p[1] for p in PASSED_THROUGH], ids=[p[0] for p in PASSED_THROUGH])
def test_other_errors_from_index_pass_through_unchanged(make):
    original = make()
    error = raised(lambda: _core.init_frame_cache(Index(original), 1))
    assert error is original
    assert error.args == original.args


def test_error_from_float_passes_through_unchanged():
    class Floaty:
        def __float__(self):
            raise ValueError("no float")

    error = raised(lambda: _core.set_ema_alpha(Floaty()))
    assert type(error) is ValueError and error.args == ("no float",)


@pytest.mark.parametrize(
    ("value", "message"),
    [
        (2147483648, "out of range integral type conversion attempted"),
        (-2147483649, "out of range integral type conversion attempted"),
        (2**63, "Python int too large to convert to C long"),
        (2**64, "Python int too large to convert to C long"),
    ],
    ids=["int32-max-plus-1", "int32-min-minus-1", "2**63", "2**64"],
)
def test_integers_outside_32_bits_overflow_without_naming_the_argument(value, message):
    error = raised(lambda: _core.init_frame_cache(value, 1))
    assert type(error) is OverflowError
    assert error.args == (message,)


def test_float_too_large_overflows_without_naming_the_argument():
    error = raised(lambda: _core.set_ema_alpha(10**400))
    assert type(error) is OverflowError
    assert "alpha" not in str(error)


@pytest.mark.parametrize(
    "width",
    [2147483647, -2147483648, 0],
    ids=["int32-max", "int32-min", "zero"],
)
def test_integers_at_the_32_bit_limits_convert(on_fresh_thread, width):
    # width x 0 pixels: converts and sizes the picture for nothing.
    def run():
        _core.init_frame_cache(width, 0)
        return _core.get_diff_rgba()

    assert on_fresh_thread(run) == b""


@pytest.mark.parametrize(
    ("width", "height"),
    [(Index(2), 3), (True, 3), (2, Index(3))],
    ids=["index-object", "bool", "index-height"],
)
def test_integer_like_objects_convert_to_their_value(on_fresh_thread, width, height):
    def run():
        _core.init_frame_cache(width, height)
        return _core.get_diff_rgba()

    expected_width = 1 if width is True else 2
    assert on_fresh_thread(run) == bytes(expected_width * 3 * 4)


def test_bytes_subclass_is_accepted(on_fresh_thread):
    assert on_fresh_thread(_core.compare, Bytes(FRAME), BLACK, 1, 1)[2] == 2809.0


BINDINGS = [
    ("positional", (FRAME, BLACK, 1, 1), {}),
    ("keywords", (), {"left": FRAME, "right": BLACK, "width": 1, "height": 1}),
    ("keywords-reversed", (), {"height": 1, "width": 1, "right": BLACK, "left": FRAME}),
    ("mixed", (FRAME, BLACK), {"height": 1, "width": 1}),
]


@pytest.mark.parametrize(
    ("args", "kwargs"), [b[1:] for b in BINDINGS], ids=[b[0] for b in BINDINGS]
)
def test_keywords_bind_like_positions(on_fresh_thread, args, kwargs):
    def run():
        metrics = _core.compare(*args, **kwargs)
        return metrics, _core.get_diff_rgba()

    metrics, picture = on_fresh_thread(run)
    assert metrics[1:] == pytest.approx((13.6453, 2809.0, 2809.0), rel=1e-5)
    assert picture == bytes([53, 0, 0, 255])


FAILING_CALLS = [
    ("left-not-bytes", lambda: _core.compare("abc", b"", 1, 1), TypeError),
    ("width-float", lambda: _core.compare(b"", b"", 1.5, 1), TypeError),
    ("height-too-large", lambda: _core.compare(FRAME, FRAME, 1, 2**31), OverflowError),
    ("rgb-bytearray", lambda: _core.cache_frame(0, bytearray(3), 1, 1), TypeError),
    ("init-index-raises", lambda: _core.init_frame_cache(Index(ValueError()), 1), ValueError),
    ("init-missing", lambda: _core.init_frame_cache(0), TypeError),
    ("alpha-str", lambda: _core.set_ema_alpha("0.5"), TypeError),
    ("noargs-positional", lambda: _core.compare_cached_frames(1), TypeError),
    ("noargs-keyword", lambda: _core.clear_frame_cache(x=1), TypeError),
    ("get-diff-positional", lambda: _core.get_diff_rgba(0), TypeError),
]


@pytest.mark.parametrize(
    ("call", "error"), [f[1:] for f in FAILING_CALLS], ids=[f[0] for f in FAILING_CALLS]
)
def test_rejected_call_changes_no_state(on_fresh_thread, call, error):
    def run():
        _core.set_ema_alpha(0.5)
        _core.init_frame_cache(1, 1)
        _core.cache_frame(0, bytes([100, 0, 0]), 1, 1)
        _core.cache_frame(1, BLACK, 1, 1)
        _core.compare_cached_frames()  # smoothing history: 10000
        _core.cache_frame(0, FRAME, 1, 1)
        before = _core.get_diff_rgba()
        with pytest.raises(error):
            call()
        return before, _core.get_diff_rgba(), _core.compare_cached_frames()

    before, after, metrics = on_fresh_thread(run)
    assert after == before == bytes([255, 0, 0, 255])
    # Slots kept (mse of FRAME against black), history and factor kept:
    # 0.5 * 10000 + 0.5 * 2809.
    assert metrics[2:] == (2809.0, 6404.5)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: _core.compare_cached_frames(1), "takes no arguments (1 given)"),
        (lambda: _core.clear_frame_cache(x=1), "takes no keyword arguments"),
        (lambda: _core.get_diff_rgba(None), "takes no arguments (1 given)"),
    ],
    ids=["compare-cached-positional", "clear-keyword", "get-diff-positional"],
)
def test_functions_without_parameters_reject_arguments(call, message):
    error = raised(call)
    assert type(error) is TypeError
    assert str(error).endswith(message)


@pytest.mark.parametrize(
    "alpha",
    [-1.0, -1, Index(-1)],
    ids=["float-minus-one", "int-minus-one", "index-minus-one"],
)
def test_alpha_of_minus_one_is_a_value_not_an_error(alpha):
    assert _core.set_ema_alpha(alpha) is None
    _core.set_ema_alpha(1.0)
