"""The Python API: inputs (arrays, images, paths, frames), metrics, difference pictures, the
reduced comparison size and the streaming FrameComparer."""

import math
import subprocess
import sys
import textwrap
import threading

import pytest
import quillet
from quillet import _core

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")


def random_rgb(height, width, seed):
    return np.random.default_rng(seed).integers(
        0, 256, (height, width, 3), dtype=np.uint8
    )


def reference_metrics(left, right):
    """ssim, mse and max_diff of two RGB arrays, computed independently in float64."""
    lf, rf = left.astype(np.float64), right.astype(np.float64)
    squared = ((lf - rf) ** 2).sum(axis=2)
    weights = np.array([0.2126, 0.7152, 0.0722])
    luma_gap = np.abs(lf @ weights - rf @ weights)
    return (1.0 - luma_gap / 255.0).mean(), squared.mean(), squared.max()


# Size of the comparison for frames of each size, worked out in binary32 arithmetic.
COMPARED_SIZES = [
    ((1, 1), (1, 1)),
    ((640, 480), (640, 480)),
    ((1280, 720), (1280, 720)),
    ((1281, 720), (1280, 719)),
    ((1280, 721), (1278, 720)),
    ((1366, 768), (1280, 719)),
    ((1920, 1080), (1280, 720)),
    ((3840, 2160), (1280, 720)),
    ((1920, 1200), (1152, 720)),
    ((4096, 2160), (1280, 675)),
    ((1000, 1000), (720, 720)),
    ((5000, 5000), (719, 719)),
    ((720, 1280), (405, 720)),
    ((2000, 1), (1280, 0)),
]


@pytest.mark.parametrize(
    ("size", "expected"),
    COMPARED_SIZES,
    ids=[f"{w}x{h}" for (w, h), _ in COMPARED_SIZES],
)
def test_compared_size_follows_single_precision_reduction(size, expected):
    assert quillet.compared_size(*size) == expected


@pytest.mark.parametrize(
    "size", [(1281, 720), (1280, 721), (1920, 1200), (5000, 5000)], ids=str
)
def test_compared_size_is_the_size_of_the_cores_picture(size):
    width, height = size
    frame = bytes(width * height * 3)
    _core.compare(frame, frame, width, height)
    compared_width, compared_height = quillet.compared_size(width, height)
    assert len(_core.get_diff_rgba()) == compared_width * compared_height * 4


@pytest.mark.parametrize("size", [(0, 5), (5, 0), (-1, 5)], ids=str)
def test_compared_size_rejects_empty_frames(size):
    with pytest.raises(ValueError, match="at least 1"):
        quillet.compared_size(*size)


# --- inputs -------------------------------------------------------------------------------

RGB = random_rgb(4, 5, seed=1)
ARRAY_INPUTS = {
    "rgb": (RGB, RGB),
    "rgba-alpha-dropped": (np.dstack([RGB, np.full((4, 5), 7, np.uint8)]), RGB),
    "grey-2d": (RGB[:, :, 0], np.repeat(RGB[:, :, :1], 3, axis=2)),
    "grey-one-channel": (RGB[:, :, 1:2], np.repeat(RGB[:, :, 1:2], 3, axis=2)),
    "non-contiguous": (
        np.ascontiguousarray(np.transpose(RGB, (1, 0, 2))).transpose(1, 0, 2),
        RGB,
    ),
}


@pytest.mark.parametrize(
    ("array", "as_rgb"), ARRAY_INPUTS.values(), ids=ARRAY_INPUTS.keys()
)
def test_arrays_become_packed_rgb(array, as_rgb):
    frame = quillet.Frame.from_array(array)
    assert (frame.width, frame.height) == (5, 4)
    assert frame.rgb == as_rgb.tobytes()
    np.testing.assert_array_equal(frame.to_array(), as_rgb)


BAD_ARRAYS = {
    "float-beyond-one": (RGB.astype(np.float64), ValueError, r"outside the range \[0, 1\]"),
    "int32": (RGB.astype(np.int32), TypeError, "dtype int32"),
    "two-channels": (RGB[:, :, :2], ValueError, "shape"),
    "one-dimensional": (RGB.ravel(), ValueError, "shape"),
    "four-dimensional": (RGB[np.newaxis], ValueError, "shape"),
    "empty": (RGB[:0], ValueError, "empty"),
}


@pytest.mark.parametrize(
    ("array", "error", "message"), BAD_ARRAYS.values(), ids=BAD_ARRAYS.keys()
)
def test_unusable_arrays_are_refused_clearly(array, error, message):
    with pytest.raises(error, match=message):
        quillet.compare(array, array)


def _as_kind(array, kind, tmp_path, name):
    if kind == "array":
        return array
    if kind == "image":
        return Image.fromarray(array)
    if kind == "frame":
        return quillet.Frame(array.tobytes(), array.shape[1], array.shape[0])
    path = tmp_path / f"{name}.png"
    Image.fromarray(array).save(path)
    return str(path) if kind == "str-path" else path


@pytest.mark.parametrize(
    "kind", ["array", "image", "frame", "str-path", "pathlib-path"]
)
def test_every_input_kind_gives_the_same_metrics(kind, tmp_path):
    left, right = random_rgb(6, 7, seed=2), random_rgb(6, 7, seed=3)
    expected = quillet.compare(left, right)
    got = quillet.compare(
        _as_kind(left, kind, tmp_path, "l"), _as_kind(right, kind, tmp_path, "r")
    )
    assert got == expected


def test_pillow_images_of_other_modes_are_converted():
    rgb = random_rgb(3, 4, seed=4)
    rgba_image = Image.fromarray(np.dstack([rgb, np.zeros((3, 4), np.uint8)]), "RGBA")
    grey_image = Image.fromarray(rgb[:, :, 0], "L")
    assert quillet.compare(rgba_image, rgb).identical
    assert quillet.compare(grey_image, np.repeat(rgb[:, :, :1], 3, axis=2)).identical


@pytest.mark.parametrize(
    "value", [b"\0\0\0", [[1, 2, 3]], 42, None], ids=["bytes", "list", "int", "none"]
)
def test_other_inputs_are_refused_with_type_error(value):
    with pytest.raises(TypeError, match="Frame|expected"):
        quillet.compare(value, value)


def test_missing_and_unreadable_files_raise_os_errors(tmp_path):
    rgb = random_rgb(2, 2, seed=5)
    with pytest.raises(FileNotFoundError):
        quillet.compare(tmp_path / "missing.png", rgb)
    junk = tmp_path / "junk.png"
    junk.write_text("not an image")
    with pytest.raises(OSError, match="identify"):
        quillet.compare(junk, rgb)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ((b"\0" * 11, 2, 2), "needs 12 bytes, got 11"),
        ((b"", 0, 1), "width must be at least 1"),
        (("abc", 1, 1), "must be bytes"),
    ],
    ids=["short", "zero-width", "str"],
)
def test_frame_checks_its_bytes_and_size(arguments, message):
    with pytest.raises((ValueError, TypeError), match=message):
        quillet.Frame(*arguments)


# --- metrics ------------------------------------------------------------------------------


def test_identical_and_opposite_frames_give_the_extreme_figures():
    rgb = random_rgb(9, 11, seed=6)
    assert quillet.compare(rgb, rgb.copy()) == quillet.Metrics(1.0, 100.0, 0.0, 0.0)
    white, black = np.full((1, 1, 3), 255, np.uint8), np.zeros((1, 1, 3), np.uint8)
    ssim, psnr, mse, max_diff = quillet.compare(white, black)
    assert (ssim, mse, max_diff) == (0.0, 195075.0, float(quillet.MAX_SQUARED_DISTANCE))
    assert psnr == pytest.approx(10 * math.log10(1 / 3), abs=1e-5)


@pytest.mark.parametrize("seed", [7, 8])
def test_metrics_agree_with_an_independent_computation(seed):
    left = random_rgb(30, 40, seed=seed)
    right = np.clip(
        left.astype(int) + np.random.default_rng(seed).integers(-40, 41, left.shape),
        0,
        255,
    )
    right = right.astype(np.uint8)
    metrics = quillet.compare(left, right)
    ssim, mse, max_diff = reference_metrics(left, right)
    assert metrics.ssim == pytest.approx(ssim, rel=1e-5)
    assert metrics.mse == pytest.approx(mse, rel=1e-5)
    assert metrics.psnr == pytest.approx(10 * math.log10(65025 / mse), rel=1e-5)
    assert metrics.max_diff == max_diff


def test_size_mismatch_names_both_sizes():
    with pytest.raises(ValueError, match="left is 4x3, right is 3x4"):
        quillet.compare(random_rgb(3, 4, seed=0), random_rgb(4, 3, seed=0))


def test_a_frame_that_reduces_to_nothing_is_refused():
    strip = np.zeros((1, 2000, 3), np.uint8)
    with pytest.raises(ValueError, match="1280x0"):
        quillet.compare(strip, strip)


@pytest.mark.parametrize(
    ("thresholds", "expected"),
    [
        ({"min_psnr": 30.0, "max_mse": 65.025}, True),
        ({"min_psnr": 30.0001}, False),
        ({"max_mse": 65.0}, False),
        ({"min_ssim": 0.9, "max_diff": 99.0}, False),
    ],
    ids=["on-the-bounds", "psnr-above", "mse-below", "one-of-two-missed"],
)
def test_within_checks_every_threshold_given(thresholds, expected):
    metrics = quillet.Metrics(ssim=0.95, psnr=30.0, mse=65.025, max_diff=100.0)
    assert metrics.within(**thresholds) is expected


# --- difference pictures ------------------------------------------------------------------


def test_difference_picture_keeps_agreeing_pixels_and_paints_the_largest_red():
    left = np.full((2, 3, 3), 100, np.uint8)
    right = left.copy()
    right[0, 0] = (160, 100, 100)  # squared distance 3600: changed
    right[1, 2] = (255, 255, 255)  # the largest
    right[1, 0] = (110, 100, 100)  # 100: below the change threshold
    metrics, picture = quillet.compare_with_diff(left, right)
    assert metrics.max_diff == 3 * 155**2
    pixels = picture.to_array()
    assert pixels.shape == (2, 3, 4)
    assert tuple(pixels[1, 2]) == (255, 0, 0, 255)
    assert tuple(pixels[1, 0]) == (100, 100, 100, 255)
    assert tuple(pixels[0, 1]) == (100, 100, 100, 255)
    assert tuple(pixels[0, 0]) not in {(255, 0, 0, 255), (100, 100, 100, 255)}


def test_difference_picture_does_not_depend_on_earlier_comparisons():
    left, right = random_rgb(8, 8, seed=9), random_rgb(8, 8, seed=10)
    _, first = quillet.compare_with_diff(left, right)
    quillet.compare(np.zeros((8, 8, 3), np.uint8), np.full((8, 8, 3), 255, np.uint8))
    _, second = quillet.compare_with_diff(left, right)
    assert first == second


def test_difference_picture_of_large_frames_has_the_reduced_size(tmp_path):
    left = np.zeros((1080, 1920, 3), np.uint8)
    right = left.copy()
    right[540:, 960:] = 255  # the bottom-right quarter differs
    metrics, picture = quillet.compare_with_diff(left, right)
    assert picture.size == (1280, 720)
    image = picture.to_image()
    assert (image.mode, image.size) == ("RGBA", (1280, 720))
    assert image.getpixel((0, 0)) == (0, 0, 0, 255)
    assert image.getpixel((1279, 719)) == (255, 0, 0, 255)
    changed = picture.to_array()[:, :, :3].any(axis=2)
    assert changed.sum() == 640 * 360
    assert changed[360:, 640:].all()
    # The core sums in single precision, which drifts by a fraction of a percent here.
    assert metrics.mse == pytest.approx(195075 / 4, rel=1e-2)
    picture.save(tmp_path / "diff.png")
    with Image.open(tmp_path / "diff.png") as saved:
        assert saved.tobytes() == picture.rgba


# --- FrameComparer ------------------------------------------------------------------------


def grey(value, size=1):
    return np.full((size, size, 3), value, np.uint8)


def red(value):
    return np.array([[[value, 0, 0]]], np.uint8)


def test_comparer_without_smoothing_matches_one_off_comparisons():
    pairs = [
        (random_rgb(6, 6, seed=s), random_rgb(6, 6, seed=s + 50)) for s in range(3)
    ]
    with quillet.FrameComparer() as comparer:
        streamed = list(comparer.compare_pairs(pairs))
    assert streamed == [quillet.compare(left, right) for left, right in pairs]


def test_comparer_smooths_the_difference_over_frames():
    with quillet.FrameComparer(ema_alpha=0.5) as comparer:
        first = comparer.compare(red(100), grey(0))
        second = comparer.compare(grey(0), grey(0))
        second_picture = comparer.diff_picture()
        third = comparer.compare(grey(0), grey(0))
    assert first.max_diff == 10000.0
    assert second == quillet.Metrics(1.0, 100.0, 0.0, 5000.0)
    assert second_picture.rgba == bytes([105, 149, 0, 255])
    assert third.max_diff == 2500.0


def test_comparer_reset_forgets_the_history():
    with quillet.FrameComparer(ema_alpha=0.5) as comparer:
        comparer.compare(red(100), grey(0))
        comparer.reset()
        assert comparer.compare(grey(0), grey(0)).max_diff == 0.0


def test_one_off_comparisons_in_between_leave_the_comparer_alone():
    with quillet.FrameComparer(ema_alpha=0.5) as comparer:
        comparer.compare(red(100), grey(0))
        quillet.compare(grey(3), grey(3))
        quillet.compare_with_diff(grey(200, size=2), grey(0, size=2))
        # The history and the colour scale of the comparer's own first pair hold.
        assert comparer.compare(grey(0), grey(0)).max_diff == 5000.0
        assert comparer.diff_picture().rgba == bytes([105, 149, 0, 255])


def test_changing_the_factor_applies_to_the_next_pair():
    with quillet.FrameComparer(ema_alpha=0.5) as comparer:
        comparer.compare(red(100), grey(0))
        comparer.ema_alpha = 0.25
        assert comparer.compare(grey(0), grey(0)).max_diff == 7500.0
        # Another size starts afresh.
        assert comparer.compare(grey(0, size=2), grey(0, size=2)).max_diff == 0.0
        assert comparer.diff_picture().size == (2, 2)


@pytest.mark.parametrize("alpha", [0.0, -0.5, 1.5, float("nan")], ids=str)
def test_comparer_refuses_factors_outside_the_unit_interval(alpha):
    with pytest.raises(ValueError, match="ema_alpha"):
        quillet.FrameComparer(ema_alpha=alpha)


def test_comparer_refuses_another_thread():
    comparer = quillet.FrameComparer()
    comparer.compare(grey(1), grey(2))
    errors = []

    def use_elsewhere():
        for call in (
            lambda: comparer.compare(grey(1), grey(1)),
            comparer.diff_picture,
            comparer.close,
        ):
            try:
                call()
            except quillet.WrongThreadError as error:
                errors.append(error)

    thread = threading.Thread(target=use_elsewhere, name="worker")
    thread.start()
    thread.join()
    assert len(errors) == 3
    assert "'worker'" in str(errors[0]) and "per thread" in str(errors[0])
    comparer.close()


def test_comparers_on_two_threads_keep_their_own_frames():
    results = {}

    def stream(name, value):
        with quillet.FrameComparer(ema_alpha=0.5) as comparer:
            comparer.compare(red(value), grey(0))
            barrier.wait()
            results[name] = comparer.compare(grey(0), grey(0)).max_diff

    barrier = threading.Barrier(2)
    threads = [
        threading.Thread(target=stream, args=(n, v)) for n, v in (("a", 100), ("b", 20))
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == {"a": 5000.0, "b": 200.0}


def test_closed_comparer_refuses_work_and_needs_a_pair_for_a_picture():
    comparer = quillet.FrameComparer()
    with pytest.raises(RuntimeError, match="no pair"):
        comparer.diff_picture()
    comparer.close()
    comparer.close()
    assert comparer.closed
    with pytest.raises(RuntimeError, match="closed"):
        comparer.compare(grey(0), grey(0))


def test_compare_pairs_is_lazy():
    seen = []

    def pairs():
        for value in range(3):
            seen.append(value)
            yield grey(value), grey(0)

    with quillet.FrameComparer() as comparer:
        iterator = comparer.compare_pairs(pairs())
        next(iterator)
        assert seen == [0]
        assert [metrics.mse for metrics in iterator] == [3.0, 12.0]
        assert comparer.pairs_compared == 3


# --- optional libraries -------------------------------------------------------------------


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_import_needs_neither_numpy_nor_pillow():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None  # makes "import numpy" fail
        sys.modules["PIL"] = None
        import quillet
        frame = quillet.Frame(bytes([9, 9, 9, 0, 0, 0]), 2, 1)
        print(quillet.compare(frame, frame).identical)
        for call in (frame.to_array, frame.to_image):
            try:
                call()
            except ImportError as error:
                print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "True"
    assert "NumPy" in lines[1] and "pip install 'quillet[numpy]'" in lines[1]
    assert "Pillow" in lines[2] and "pip install 'quillet[image]'" in lines[2]
