"""Multi-scale SSIM: agreement with a float64 NumPy implementation written here (a direct 2-D
window at every scale) on real photographs and noise, exact edge cases, and bad input."""

from __future__ import annotations

import numpy as np
import pytest

import quillet
from quillet import _measure
from standard_pictures import jpeg_degraded, luma, photo

EXPONENTS = (0.0448, 0.2856, 0.3001, 0.2363, 0.1333)
C1, C2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2


def gaussian_window() -> np.ndarray:
    offsets = np.arange(-5, 6, dtype=np.float64)
    g = np.exp(-(offsets**2) / (2 * 1.5**2))
    g /= g.sum()
    return np.outer(g, g)


def scale_terms(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    """Mean contrast-structure and mean SSIM over the positions where the whole window fits."""
    window = gaussian_window()

    def filtered(plane: np.ndarray) -> np.ndarray:
        views = np.lib.stride_tricks.sliding_window_view(plane, (11, 11))
        return np.einsum("ijkl,kl->ij", views, window)

    mx, my = filtered(x), filtered(y)
    vx = filtered(x * x) - mx * mx
    vy = filtered(y * y) - my * my
    cov = filtered(x * y) - mx * my
    cs = (2 * cov + C2) / (vx + vy + C2)
    lum = (2 * mx * my + C1) / (mx * mx + my * my + C1)
    return float(cs.mean()), float((lum * cs).mean())


def halved(plane: np.ndarray) -> np.ndarray:
    rows, columns = plane.shape[0] // 2 * 2, plane.shape[1] // 2 * 2
    p = plane[:rows, :columns]
    return (p[0::2, 0::2] + p[0::2, 1::2] + p[1::2, 0::2] + p[1::2, 1::2]) / 4


def numpy_ms_ssim(x: np.ndarray, y: np.ndarray) -> float:
    x, y = x.astype(np.float64), y.astype(np.float64)
    value = 1.0
    for level, exponent in enumerate(EXPONENTS):
        cs, ssim = scale_terms(x, y)
        term = ssim if level == len(EXPONENTS) - 1 else cs
        value *= max(term, 0.0) ** exponent
        x, y = halved(x), halved(y)
    return value


def expect_agreement(left: np.ndarray, right: np.ndarray) -> None:
    got = quillet.ms_ssim(left, right)
    channels = [numpy_ms_ssim(left[..., c], right[..., c]) for c in range(3)]
    for value, expected in zip((got.r, got.g, got.b), channels):
        assert abs(value - expected) <= 1e-9
    assert abs(got.rgb - sum(channels) / 3) <= 1e-9
    assert abs(got.y - numpy_ms_ssim(luma(left), luma(right))) <= 1e-9


# Whole photographs and crops whose sides are odd at several scales.
@pytest.mark.parametrize(
    ("name", "rows", "columns", "quality"),
    [("astronaut", 512, 512, 30), ("coffee", 400, 600, 70), ("chelsea", 300, 451, 30),
     ("astronaut", 177, 353, 50), ("coffee", 176, 176, 30)],
)
def test_ms_ssim_agrees_with_numpy_on_photographs(name, rows, columns, quality):
    reference = photo(name, rows, columns)
    expect_agreement(reference, jpeg_degraded(reference, quality))


# Noise against a shifted copy drives the contrast-structure means towards and below zero.
@pytest.mark.parametrize("shift", [0, 1, 5])
def test_ms_ssim_agrees_with_numpy_on_noise(shift):
    rng = np.random.default_rng(shift)
    left = rng.integers(0, 256, (190, 211, 3), dtype=np.uint8)
    right = np.ascontiguousarray(np.roll(left, shift, axis=1))
    if shift == 0:
        right = np.clip(left.astype(np.int16) + rng.integers(-20, 21, left.shape), 0, 255)
        right = right.astype(np.uint8)
    expect_agreement(left, right)


def test_identical_frames_give_exactly_one():
    picture = photo("chelsea", 300, 451)
    assert quillet.ms_ssim(picture, picture.copy()) == (1.0, 1.0, 1.0, 1.0, 1.0)


def test_results_do_not_depend_on_the_thread_count():
    left = photo("astronaut", 256, 300)
    right = jpeg_degraded(left, 40)
    one = _measure.ms_ssim(left, right, 300, 256, threads=1)
    for threads in (2, 4, 1024):
        assert _measure.ms_ssim(left, right, 300, 256, threads=threads) == one


@pytest.mark.parametrize(("rows", "columns"), [(175, 176), (176, 175), (11, 11)])
def test_frames_below_176_are_refused(rows, columns):
    frame = np.zeros((rows, columns, 3), np.uint8)
    with pytest.raises(ValueError, match="at least 176x176"):
        quillet.ms_ssim(frame, frame)
    with pytest.raises(ValueError, match="at least 176 x 176"):
        _measure.ms_ssim(frame, frame, columns, rows)


def test_sizes_that_differ_are_refused():
    with pytest.raises(ValueError, match="differ in size"):
        quillet.ms_ssim(np.zeros((200, 200, 3), np.uint8), np.zeros((200, 201, 3), np.uint8))
