"""End-to-end comparisons through the module: the published figures, heat
colours, smoothing sequence, reduced sizes and the cache rules seen from Python.
Every check runs on a fresh thread, whose cache starts from its defaults."""

import math
import struct

import pytest
from quillet import _core

BLACK = bytes(3)
WHITE = bytes([255, 255, 255])


def f32(value):
    """The binary32 value nearest to `value`, as the core computes it."""
    return struct.unpack("f", struct.pack("f", value))[0]


def rgba(*pixels):
    return b"".join(bytes([*pixel, 255]) for pixel in pixels)


def compare_with_picture(left, right, width, height):
    return _core.compare(left, right, width, height), _core.get_diff_rgba()


def test_identical_frames(on_fresh_thread):
    frame = bytes(range(2 * 3 * 3))  # 3 x 2 pixels
    metrics, picture = on_fresh_thread(compare_with_picture, frame, frame, 3, 2)
    assert metrics == (1.0, 100.0, 0.0, 0.0)
    assert all(type(value) is float for value in metrics)
    assert picture == rgba(*(frame[i : i + 3] for i in range(0, len(frame), 3)))


def test_white_against_black(on_fresh_thread):
    metrics, picture = on_fresh_thread(compare_with_picture, WHITE, BLACK, 1, 1)
    ssim, psnr, mse, max_diff = metrics
    assert ssim == 0.0
    assert psnr == pytest.approx(-4.77121, abs=1e-5)
    assert (mse, max_diff) == (195075.0, 195075.0)
    assert picture == rgba((255, 0, 0))


def test_just_below_threshold_shows_left_colour(on_fresh_thread):
    metrics, picture = on_fresh_thread(compare_with_picture, bytes([53, 0, 0]), BLACK, 1, 1)
    ssim, psnr, mse, max_diff = metrics
    assert ssim == f32(0.95581257)
    assert psnr == f32(psnr)  # a binary32 value widened exactly
    assert psnr == pytest.approx(13.6453, abs=1e-4)
    assert (mse, max_diff) == (2809.0, 2809.0)
    assert picture == rgba((53, 0, 0))


def test_at_threshold_is_changed(on_fresh_thread):
    metrics, picture = on_fresh_thread(compare_with_picture, bytes([53, 1, 0]), BLACK, 1, 1)
    assert metrics[2:] == (2810.0, 2810.0)
    assert picture == rgba((255, 0, 0))


def scaled_colour(previous_left, left):
    """Compares previous_left against black (setting the colour scale), then left."""
    _core.compare(bytes(previous_left), BLACK, 1, 1)
    _core.compare(bytes(left), BLACK, 1, 1)
    return _core.get_diff_rgba()


HEAT = [
    ("scale-10000-d2810", (100, 0, 0), (53, 1, 0), (15, 239, 0)),
    ("full-scale-d2810", (255, 255, 255), (53, 1, 0), (0, 61, 193)),
    ("full-scale-d10000", (255, 255, 255), (100, 0, 0), (0, 115, 139)),
    ("full-scale-d50000", (255, 255, 255), (220, 40, 0), (3, 251, 0)),
    ("full-scale-d100000", (255, 255, 255), (252, 180, 64), (110, 144, 0)),
    ("full-scale-d195075", (255, 255, 255), (255, 255, 255), (255, 0, 0)),
]


@pytest.mark.parametrize(
    ("previous", "left", "colour"), [h[1:] for h in HEAT], ids=[h[0] for h in HEAT]
)
def test_heat_colours(on_fresh_thread, previous, left, colour):
    assert on_fresh_thread(scaled_colour, previous, left) == rgba(colour)


def test_smoothing_sequence_with_alpha_half(on_fresh_thread):
    def run():
        _core.set_ema_alpha(0.5)
        _core.init_frame_cache(1, 1)
        steps = []
        for left in (bytes([100, 0, 0]), BLACK, BLACK):
            _core.cache_frame(0, left, 1, 1)
            _core.cache_frame(1, BLACK, 1, 1)
            steps.append((_core.compare_cached_frames(), _core.get_diff_rgba()))
        return steps

    (first, first_picture), (second, second_picture), (third, third_picture) = on_fresh_thread(run)
    assert first[2:] == (10000.0, 10000.0)
    assert first_picture == rgba((255, 0, 0))
    assert second == (1.0, 100.0, 0.0, 5000.0)
    assert second_picture == rgba((105, 149, 0))
    assert third == (1.0, 100.0, 0.0, 2500.0)
    assert third_picture == rgba((0, 0, 0))


def test_smoothing_never_carries_across_compare_calls(on_fresh_thread):
    pairs = [(bytes([100, 0, 0]), BLACK), (BLACK, BLACK), (bytes([220, 40, 0]), BLACK)]

    def run(alpha):
        _core.set_ema_alpha(alpha)
        return [compare_with_picture(left, right, 1, 1) for left, right in pairs]

    smoothed = on_fresh_thread(run, 0.5)
    assert smoothed == on_fresh_thread(run, 1.0)
    assert smoothed[1][0] == (1.0, 100.0, 0.0, 0.0)


@pytest.mark.parametrize(
    ("alpha", "same_as"),
    [(0.0, 0.01), (-5, 0.01), (-math.inf, 0.01), (5.0, 1.0), (math.inf, 1.0), (math.nan, 1.0)],
    ids=["zero", "minus-five", "minus-inf", "five", "plus-inf", "nan-is-off"],
)
def test_alpha_is_clamped(on_fresh_thread, alpha, same_as):
    def run(value):
        _core.set_ema_alpha(value)
        _core.init_frame_cache(1, 1)
        _core.cache_frame(1, BLACK, 1, 1)
        results = []
        for left in (bytes([100, 0, 0]), BLACK):
            _core.cache_frame(0, left, 1, 1)
            results.append(_core.compare_cached_frames())
        return results

    assert on_fresh_thread(run, alpha) == on_fresh_thread(run, same_as)


def test_frames_with_no_pixels_after_reduction(on_fresh_thread):
    # 2000 x 1 is compared at 1280 x 0.
    frame = bytes(2000 * 3)
    metrics, picture = on_fresh_thread(compare_with_picture, frame, frame, 2000, 1)
    ssim, psnr, mse, max_diff = metrics
    assert math.isnan(ssim) and math.isnan(mse)
    assert (psnr, max_diff) == (100.0, 0.0)
    assert picture == b""


def short_right_frame():
    left = bytes([10, 20, 30, 1, 2, 3])
    with pytest.raises(BaseException) as info:
        _core.compare(left, left[:5], 2, 1)
    return info.value, _core.get_diff_rgba(), _core.compare_cached_frames()


def test_short_frame_panics_keeping_the_pixels_before_it(on_fresh_thread):
    error, picture, after = on_fresh_thread(short_right_frame)
    assert type(error).__name__ == "PanicException"
    assert error.args == ("index out of bounds: the len is 5 but the index is 5",)
    assert picture == rgba((10, 20, 30)) + bytes(4)
    assert after == (0.0, 0.0, 0.0, 0.0)  # both slots were emptied


@pytest.mark.parametrize(
    ("width", "height", "compared_width", "compared_height"),
    [
        (1280, 720, 1280, 720),
        (1281, 720, 1280, 719),
        (1280, 721, 1278, 720),
        (1366, 768, 1280, 719),
        (1920, 1080, 1280, 720),
        (3840, 2160, 1280, 720),
        (1920, 1200, 1152, 720),
        (4096, 2160, 1280, 675),
        (1000, 1000, 720, 720),
        (720, 1280, 405, 720),
    ],
    ids=lambda value: str(value),
)
def test_picture_size_after_reduction(
    on_fresh_thread, width, height, compared_width, compared_height
):
    frame = bytes(width * height * 3)
    metrics, picture = on_fresh_thread(compare_with_picture, frame, frame, width, height)
    assert metrics == (1.0, 100.0, 0.0, 0.0)
    assert len(picture) == compared_width * compared_height * 4


def test_reduction_samples_source_pixels(on_fresh_thread):
    # Pixel (x, y) is (x % 256, y % 256, 7); 1920 x 1080 samples columns and rows
    # trunc(i * 1.5): 0, 1, 3, 4, 6, ...
    width, height = 1920, 1080
    frame = bytearray(width * height * 3)
    frame[0::3] = bytes(x % 256 for x in range(width)) * height
    frame[1::3] = b"".join(bytes([y % 256]) * width for y in range(height))
    frame[2::3] = bytes([7]) * (width * height)

    picture = on_fresh_thread(compare_with_picture, bytes(frame), bytes(frame), width, height)[1]
    expected = bytearray(1280 * 720 * 4)
    expected[0::4] = bytes(int(x * 1.5) % 256 for x in range(1280)) * 720
    expected[1::4] = b"".join(bytes([int(y * 1.5) % 256]) * 1280 for y in range(720))
    expected[2::4] = bytes([7]) * (1280 * 720)
    expected[3::4] = bytes([255]) * (1280 * 720)
    assert picture == bytes(expected)


CACHE_STATES = [
    ("fresh-thread", lambda: None, (0.0, 0.0, 0.0, 0.0), b""),
    ("init-2x3", lambda: _core.init_frame_cache(2, 3), (0.0, 0.0, 0.0, 0.0), bytes(24)),
    ("compare-0x10", lambda: _core.compare(b"", b"", 0, 10), (0.0, 0.0, 0.0, 0.0), b""),
    ("compare-0x0", lambda: _core.compare(b"", b"", 0, 0), (0.0, 0.0, 0.0, 0.0), b""),
    (
        "empty-left-slot",
        lambda: (_core.cache_frame(0, b"", 1, 1), _core.cache_frame(1, WHITE, 1, 1)),
        (0.0, 0.0, 0.0, 0.0),
        b"",
    ),
    (
        "negative-height",
        lambda: (_core.cache_frame(0, WHITE, 1, -1), _core.cache_frame(1, WHITE, 1, 1)),
        (0.0, 0.0, 0.0, 0.0),
        b"",
    ),
    (
        "bool-slot-is-one",
        lambda: (_core.cache_frame(False, WHITE, 1, 1), _core.cache_frame(True, BLACK, 1, 1)),
        (0.0, f32(-4.77121), 195075.0, 195075.0),
        rgba((255, 0, 0)),
    ),
]


@pytest.mark.parametrize(
    ("setup", "metrics", "picture"), [c[1:] for c in CACHE_STATES], ids=[c[0] for c in CACHE_STATES]
)
def test_cache_states_seen_from_python(on_fresh_thread, setup, metrics, picture):
    def run():
        setup()
        compared = _core.compare_cached_frames()
        return compared, _core.get_diff_rgba()

    compared, got_picture = on_fresh_thread(run)
    assert all(type(value) is float for value in compared)
    assert compared == pytest.approx(metrics, abs=1e-5)
    assert got_picture == picture


@pytest.mark.parametrize("slot", [-1, 2, 2**31 - 1, -(2**31)], ids=str)
def test_slots_other_than_zero_and_one_are_ignored(on_fresh_thread, slot):
    def run():
        _core.cache_frame(0, bytes([53, 0, 0]), 1, 1)
        _core.cache_frame(1, BLACK, 1, 1)
        assert _core.cache_frame(slot, WHITE, 1, 1) is None
        return _core.compare_cached_frames()

    assert on_fresh_thread(run)[2:] == (2809.0, 2809.0)


def test_set_config_changes_no_result(on_fresh_thread):
    frame = bytes(1920 * 1080 * 3)

    def run():
        _core.set_config(-1, -1, -1)
        return compare_with_picture(frame, frame, 1920, 1080)

    metrics, picture = on_fresh_thread(run)
    assert metrics == (1.0, 100.0, 0.0, 0.0)
    assert len(picture) == 1280 * 720 * 4
