"""Standard SSIM: agreement with scikit-image's Gaussian-window SSIM on real photographs (per
channel, the colour mean and luma), the window rule at small sizes, exact edge cases, thread
independence, and the streaming comparer's option."""

from __future__ import annotations

import threading

import numpy as np
import pytest

import quillet
from quillet import _measure
from standard_pictures import jpeg_degraded, luma, photo, photo_pairs

metrics = pytest.importorskip("skimage.metrics")

WANG = {"gaussian_weights": True, "sigma": 1.5, "use_sample_covariance": False, "data_range": 255}
C1 = (0.01 * 255) ** 2


def reference_ssim(left: np.ndarray, right: np.ndarray, **extra) -> float:
    return metrics.structural_similarity(left, right, **WANG, **extra)


@pytest.mark.parametrize(("name", "rows", "columns", "quality"), photo_pairs())
def test_ssim_agrees_with_scikit_image_on_photographs(name, rows, columns, quality):
    reference = photo(name, rows, columns)
    degraded = jpeg_degraded(reference, quality)
    got = quillet.standard_metrics(reference, degraded)
    for channel, value in enumerate((got.ssim_r, got.ssim_g, got.ssim_b)):
        expected = reference_ssim(reference[..., channel], degraded[..., channel])
        assert abs(value - expected) <= 1e-6
    assert abs(got.ssim_rgb - reference_ssim(reference, degraded, channel_axis=-1)) <= 1e-6
    luma_expected = metrics.structural_similarity(luma(reference), luma(degraded), **WANG)
    assert abs(got.ssim_y - luma_expected) <= 1e-6


@pytest.mark.parametrize(
    ("rows", "columns"), [(11, 11), (11, 12), (12, 11), (13, 80), (70, 17), (64, 64)]
)
@pytest.mark.parametrize("seed", [1, 2])
def test_ssim_agrees_with_scikit_image_on_noise_and_flat_areas(rows, columns, seed):
    rng = np.random.default_rng(seed)
    left = np.full((rows, columns, 3), 250, np.uint8)  # flat and bright: cancellation-prone
    left[:, : columns // 2] = rng.integers(0, 256, (rows, columns // 2, 3), dtype=np.uint8)
    right = np.clip(left.astype(np.int16) + rng.integers(-3, 4, left.shape), 0, 255).astype(
        np.uint8
    )
    got = quillet.standard_metrics(left, right)
    for channel, value in enumerate((got.ssim_r, got.ssim_g, got.ssim_b)):
        assert abs(value - reference_ssim(left[..., channel], right[..., channel])) <= 1e-6


@pytest.mark.parametrize(("rows", "columns"), [(1, 1), (10, 11), (11, 10), (10, 200), (200, 5)])
def test_frames_smaller_than_the_window_are_refused_like_scikit_image(rows, columns):
    left = np.zeros((rows, columns, 3), np.uint8)
    with pytest.raises(ValueError, match="at least 11x11"):
        quillet.standard_metrics(left, left)
    with pytest.raises(ValueError, match="at least 11 x 11"):
        _measure.ssim(left, left, columns, rows)
    with pytest.raises(ValueError):
        reference_ssim(left[..., 0], left[..., 0])


def test_identical_frames_give_exactly_one():
    picture = photo("astronaut", 64, 48)
    got = quillet.standard_metrics(picture, picture.copy())
    assert (got.ssim_rgb, got.ssim_r, got.ssim_g, got.ssim_b, got.ssim_y) == (1.0,) * 5


def test_black_against_white():
    black = np.zeros((20, 30, 3), np.uint8)
    white = np.full((20, 30, 3), 255, np.uint8)
    got = quillet.standard_metrics(black, white)
    flat = C1 / (255.0**2 + C1)  # no variance anywhere: only the luminance term is left
    for value in (got.ssim_rgb, got.ssim_r, got.ssim_g, got.ssim_b, got.ssim_y):
        assert value == pytest.approx(flat, rel=1e-9)
    assert abs(got.ssim_r - reference_ssim(black[..., 0], white[..., 0])) <= 1e-12


@pytest.mark.parametrize(("row", "column"), [(0, 0), (5, 5), (15, 20), (29, 39)])
def test_one_changed_pixel(row, column):
    left = photo("coffee", 30, 40)
    right = left.copy()
    right[row, column] = 255 - right[row, column]
    got = quillet.standard_metrics(left, right)
    for channel, value in enumerate((got.ssim_r, got.ssim_g, got.ssim_b)):
        assert abs(value - reference_ssim(left[..., channel], right[..., channel])) <= 1e-6
    assert got.ssim_rgb < 1.0


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
def test_results_do_not_depend_on_the_thread_count(threads):
    left = photo("astronaut", 512, 512)
    right = jpeg_degraded(left, 30)
    assert _measure.ssim(left, right, 512, 512, threads=threads) == _measure.ssim(
        left, right, 512, 512, threads=1
    )


@pytest.mark.parametrize("threads", [-1, 1025])
def test_thread_count_out_of_range_is_refused(threads):
    frame = bytes(3 * 11 * 11)
    with pytest.raises(ValueError, match="threads"):
        _measure.ssim(frame, frame, 11, 11, threads=threads)


def test_concurrent_calls_from_python_threads_agree():
    pairs = [(photo(name, 120, 160), None) for name in ("astronaut", "coffee", "chelsea")]
    pairs = [(left, jpeg_degraded(left, 30)) for left, _ in pairs]
    expected = [quillet.standard_metrics(left, right) for left, right in pairs]
    results: dict[int, list] = {}

    def work(index: int) -> None:
        left, right = pairs[index % 3]
        results[index] = [quillet.standard_metrics(left, right) for _ in range(5)]

    workers = [threading.Thread(target=work, args=(index,)) for index in range(6)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for index in range(6):
        assert results[index] == [expected[index % 3]] * 5


def test_frame_comparer_adds_the_standard_figures_per_pair():
    lefts = [photo(name, 60, 80) for name in ("astronaut", "coffee")]
    rights = [jpeg_degraded(left, 30) for left in lefts]
    with quillet.FrameComparer(ema_alpha=0.5, standard=True) as comparer:
        assert comparer.last_standard is None
        for left, right in zip(lefts, rights):
            comparer.compare(left, right)
            assert comparer.last_standard == quillet.standard_metrics(left, right)
        small = np.zeros((8, 8, 3), np.uint8)
        with pytest.raises(ValueError, match="11x11"):
            comparer.compare(small, small)
        assert comparer.pairs_compared == 2
    with quillet.FrameComparer() as plain:
        plain.compare(lefts[0], rights[0])
        assert plain.last_standard is None


def test_kernel_name_is_a_kernel_of_the_comparison():
    assert quillet.kernel_name() in {"avx512", "avx2", "neon", "scalar"}


@pytest.mark.parametrize(
    ("value", "expected"),
    [("scalar", "scalar"), ("bogus", "RuntimeError QUILLET_KERNEL=bogus is not a kernel name")],
)
def test_kernel_name_follows_quillet_kernel(run_python, monkeypatch, value, expected):
    monkeypatch.setenv("QUILLET_KERNEL", value)
    done = run_python(
        """
        import quillet
        try:
            print(quillet.kernel_name())
        except RuntimeError as error:
            print("RuntimeError", error)
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().startswith(expected)


def test_import_quillet_stays_light(run_python):
    done = run_python("import sys, quillet; print('numpy' in sys.modules, 'PIL' in sys.modules)")
    assert done.stdout.split() == ["False", "False"], done.stderr
