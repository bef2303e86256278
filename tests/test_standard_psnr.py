"""Standard PSNR: agreement with scikit-image and a float64 NumPy computation on real
photographs, exact edge cases, every tail length, and bad input."""

from __future__ import annotations

import math
import sys

import numpy as np
import pytest

import quillet
from quillet import _measure
from standard_pictures import jpeg_degraded, photo, photo_pairs

metrics = pytest.importorskip("skimage.metrics")


def numpy_psnr(left: np.ndarray, right: np.ndarray) -> float:
    mse = np.mean((left.astype(np.float64) - right.astype(np.float64)) ** 2)
    return math.inf if mse == 0 else 10.0 * math.log10(255.0**2 / mse)


@pytest.mark.parametrize(("name", "rows", "columns", "quality"), photo_pairs())
def test_psnr_agrees_with_scikit_image_and_numpy_on_photographs(name, rows, columns, quality):
    reference = photo(name, rows, columns)
    degraded = jpeg_degraded(reference, quality)
    got = quillet.standard_metrics(reference, degraded)
    expected_rgb = metrics.peak_signal_noise_ratio(reference, degraded, data_range=255)
    assert got.psnr_rgb == pytest.approx(expected_rgb, rel=1e-9, abs=0)
    assert got.psnr_rgb == pytest.approx(numpy_psnr(reference, degraded), rel=1e-9, abs=0)
    for channel, value in enumerate((got.psnr_r, got.psnr_g, got.psnr_b)):
        expected = metrics.peak_signal_noise_ratio(
            reference[..., channel], degraded[..., channel], data_range=255
        )
        assert value == pytest.approx(expected, rel=1e-9, abs=0)


# Pixel counts around the 64-pixel blocks of the vector loops, and a frame that is one pixel.
@pytest.mark.parametrize("pixels", [1, 2, 3, 31, 63, 64, 65, 127, 128, 129, 191, 200, 64 * 9 + 17])
def test_psnr_on_every_tail_matches_numpy(pixels):
    rng = np.random.default_rng(pixels)
    left = rng.integers(0, 256, (1, pixels, 3), dtype=np.uint8)
    right = rng.integers(0, 256, (1, pixels, 3), dtype=np.uint8)
    rgb, r, g, b = _measure.psnr(left, right, pixels, 1)
    assert rgb == pytest.approx(numpy_psnr(left, right), rel=1e-12)
    for channel, value in enumerate((r, g, b)):
        assert value == pytest.approx(numpy_psnr(left[..., channel], right[..., channel]), rel=1e-12)


# Frames split by rows over threads: exact sums give the same figures for every split,
# including more threads than rows.
@pytest.mark.parametrize("threads", [2, 3, 7, 1024])
@pytest.mark.parametrize(("width", "height"), [(512, 384), (37, 5)])
def test_results_do_not_depend_on_the_thread_count(threads, width, height):
    left = photo("astronaut", height, width)
    right = jpeg_degraded(left, 30)
    got = _measure.psnr(left, right, width, height, threads=threads)
    assert got == _measure.psnr(left, right, width, height, threads=1)
    assert got[0] == pytest.approx(numpy_psnr(left, right), rel=1e-12)


@pytest.mark.parametrize("threads", [-1, 1025])
def test_thread_count_out_of_range_is_refused(threads):
    frame = bytes(3)
    with pytest.raises(ValueError, match="threads must be 0"):
        _measure.psnr(frame, frame, 1, 1, threads=threads)


def test_identical_frames_give_infinity():
    picture = photo("coffee", 40, 30)
    got = quillet.standard_metrics(picture, picture.copy())
    assert (got.psnr_rgb, got.psnr_r, got.psnr_g, got.psnr_b) == (math.inf,) * 4


def test_black_against_white_is_zero_db():
    black = np.zeros((16, 20, 3), np.uint8)
    white = np.full((16, 20, 3), 255, np.uint8)
    got = quillet.standard_metrics(black, white)
    assert (got.psnr_rgb, got.psnr_r, got.psnr_g, got.psnr_b) == (0.0,) * 4


@pytest.mark.parametrize("channel", [0, 1, 2])
def test_one_changed_pixel_affects_only_its_channel(channel):
    left = photo("chelsea", 24, 32)
    right = left.copy()
    right[7, 9, channel] ^= 0x10  # a difference of exactly 16
    got = quillet.standard_metrics(left, right)
    per_channel = (got.psnr_r, got.psnr_g, got.psnr_b)
    expected = 10.0 * math.log10(255.0**2 / (256.0 / (24 * 32)))
    assert per_channel[channel] == pytest.approx(expected, rel=1e-12)
    assert all(per_channel[c] == math.inf for c in range(3) if c != channel)
    assert got.psnr_rgb == pytest.approx(expected + 10.0 * math.log10(3.0), rel=1e-12)


def test_every_input_kind_gives_the_same_figures(tmp_path):
    image = pytest.importorskip("PIL.Image")
    left = photo("astronaut", 40, 50)
    right = jpeg_degraded(left, 30)
    expected = quillet.standard_metrics(left, right)
    path = tmp_path / "right.png"
    image.fromarray(right).save(path)
    frame = quillet.Frame(left.tobytes(), 50, 40)
    assert quillet.standard_metrics(frame, path) == expected
    assert quillet.standard_metrics(image.fromarray(left), str(path)) == expected
    # A strided view is copied into packed bytes first.
    wide = np.zeros((40, 100, 3), np.uint8)
    wide[:, ::2] = left
    assert quillet.standard_metrics(wide[:, ::2], right) == expected


@pytest.mark.parametrize(
    ("left", "right", "width", "height", "error", "words"),
    [
        (b"\0" * 12, b"\0" * 12, 2, 2, None, None),
        (b"\0" * 12, b"\0" * 11, 2, 2, ValueError, "right holds 11 bytes"),
        (b"\0" * 13, b"\0" * 12, 2, 2, ValueError, "left holds 13 bytes"),
        (b"\0" * 12, b"\0" * 12, 0, 2, ValueError, "at least 1"),
        (b"\0" * 12, b"\0" * 12, 2, -1, ValueError, "at least 1"),
        ([0] * 12, b"\0" * 12, 2, 2, TypeError, "bytes-like"),
        (b"\0" * 12, "x" * 12, 2, 2, TypeError, "bytes-like"),
        (np.zeros(6, np.uint16), b"\0" * 12, 2, 2, TypeError, "items of 2 bytes"),
        (b"\0" * 12, b"\0" * 12, 2**62, 2**62, ValueError, "too large"),
    ],
    ids=["valid", "short right", "long left", "zero width", "negative height", "list",
         "str", "uint16 array", "huge size"],
)
def test_native_psnr_checks_its_arguments(left, right, width, height, error, words):
    if error is None:
        assert _measure.psnr(left, right, width, height) == (math.inf,) * 4
        return
    with pytest.raises(error, match=words):
        _measure.psnr(left, right, width, height)


def test_native_psnr_refuses_non_contiguous_buffers():
    strided = np.zeros((2, 4, 3), np.uint8)[:, ::2]
    with pytest.raises((BufferError, ValueError, TypeError)):
        _measure.psnr(strided, bytes(12), 2, 2)


@pytest.mark.parametrize(
    ("left_shape", "right_shape"), [((20, 20, 3), (20, 21, 3)), ((20, 20, 3), (21, 20, 3))]
)
def test_sizes_that_differ_are_refused(left_shape, right_shape):
    with pytest.raises(ValueError, match="differ in size"):
        quillet.standard_metrics(np.zeros(left_shape, np.uint8), np.zeros(right_shape, np.uint8))


def test_buffers_are_read_in_place_and_left_unchanged():
    left = bytearray(photo("coffee", 20, 20).tobytes())
    right = memoryview(bytes(jpeg_degraded(photo("coffee", 20, 20), 30).tobytes()))
    before = bytes(left)
    first = _measure.psnr(left, right, 20, 20)
    assert _measure.psnr(left, right, 20, 20) == first
    assert bytes(left) == before


@pytest.mark.parametrize(
    ("function", "height"),
    [(_measure.psnr, 20), (_measure.ssim, 20), (_measure.psnr, 21), (_measure.ssim, 21)],
    ids=["psnr", "ssim", "psnr wrong size", "ssim wrong size"],
)
def test_buffers_are_released_on_every_path(function, height):
    left = bytearray(20 * 20 * 3)
    right = np.zeros((20, 20, 3), np.uint8)
    references = sys.getrefcount(left), sys.getrefcount(right)
    for _ in range(200):
        try:
            function(left, right, 20, height)
        except ValueError:
            assert height != 20
    assert (sys.getrefcount(left), sys.getrefcount(right)) == references
    left.extend(b"\0")  # raises BufferError while an export is still held
