"""The full-size difference picture: its per-pixel rule against an independent NumPy
computation and against the frame cache's picture, its bands, the streaming PNG writer, the
pixel limit and ``quillet compare --diff-full-size``."""

import json
import os
import subprocess
import sys

import pytest
import quillet
from quillet import _core, _direct
from quillet._full_size import FullSizeTooLargeError, full_size_rgba, write_full_size_png
from quillet._png import RgbaPngWriter, write_png_file, write_rgba_png

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")

f32 = np.float32


def reference_picture(left, right):
    """The picture's rule computed in NumPy, binary32 step by step: the left pixel where the
    squared distance is below 2810, otherwise the heat colour with k = 1 / max(M, 1)."""
    distance = ((left.astype(np.int32) - right.astype(np.int32)) ** 2).sum(axis=2)
    k = f32(1.0) / f32(max(int(distance.max()), 1))
    s = np.minimum(np.sqrt(k * distance.astype(f32)), f32(1.0))
    u = s + s
    q = u - f32(1.0)

    def to_byte(x):
        return np.clip(np.trunc(f32(255.0) * x), 0, 255).astype(np.uint8)

    heat = np.stack(
        [
            to_byte(np.maximum(q, f32(0.0))),
            to_byte(f32(1.0) - np.abs(q)),
            to_byte(np.maximum(f32(1.0) - u, f32(0.0))),
        ],
        axis=2,
    )
    colour = np.where((distance >= 2810)[:, :, None], heat, left)
    alpha = np.full(left.shape[:2] + (1,), 255, np.uint8)
    return np.concatenate([colour, alpha], axis=2)


def pair(height, width, seed):
    rng = np.random.default_rng(seed)
    left = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    right = left.copy()
    mask = rng.random((height, width)) < 0.3
    right[mask] = rng.integers(0, 256, (int(mask.sum()), 3), dtype=np.uint8)
    return left, right


def threshold_pair():
    """Pixels with squared distances 2809, 2810, 195075 (the largest possible) and 147."""
    left = np.array([[[0, 53, 0], [53, 1, 0], [255, 255, 255], [7, 7, 7]]], np.uint8)
    right = np.zeros_like(left)
    return left, right


@pytest.mark.parametrize("size", [(1, 1), (5, 7), (33, 19), (64, 200)], ids=str)
def test_full_size_rows_follow_the_picture_rule(size):
    left, right = pair(*size, seed=size[0] * 31 + size[1])
    height, width = size
    picture = full_size_rgba(left, right, width, height)
    assert np.array_equal(
        np.frombuffer(picture, np.uint8).reshape(height, width, 4), reference_picture(left, right)
    )
    # The frame cache draws the same picture when its colour scale is the pair's own.
    _core.compare(left.tobytes(), right.tobytes(), width, height)
    _core.compare(left.tobytes(), right.tobytes(), width, height)
    assert picture == _core.get_diff_rgba()


def test_threshold_and_extremes():
    left, right = threshold_pair()
    picture = np.frombuffer(full_size_rgba(left, right, 4, 1), np.uint8).reshape(4, 4)
    assert picture.tolist() == reference_picture(left, right).reshape(4, 4).tolist()
    # 2809 and 147 keep the left colour; 2810 is blue-green at k = 1/195075; the largest is red.
    assert picture.tolist() == [[0, 53, 0, 255], [0, 61, 193, 255], [255, 0, 0, 255], [7, 7, 7, 255]]


def test_large_frames_get_their_picture_at_full_size():
    height, width = 1500, 900  # compared at 432 x 720
    left = np.full((height, width, 3), 240, np.uint8)
    right = left.copy()
    right[1001, 3:9] = 0  # one thin line, between the sampled rows
    metrics, diff = quillet.compare_with_diff(left, right, full_size=True)
    assert diff.size == (width, height)
    assert metrics == quillet.compare(left, right)  # figures of the reduced comparison
    assert metrics.identical
    changed = np.argwhere((diff.to_array()[:, :, :3] != left).any(axis=2))
    assert changed.min(axis=0).tolist() == [1001, 3]
    assert changed.max(axis=0).tolist() == [1001, 8]
    # Frames that fit are drawn at their size whether or not full size is asked for.
    small = left[:300, :400], right[:300, :400]
    assert quillet.compare_with_diff(*small, full_size=True) == quillet.compare_with_diff(*small)


@pytest.mark.parametrize("band_rows", [1, 2, 3, 13, 17, 40], ids=lambda r: f"bands of {r}")
def test_png_bands_of_every_height_give_the_same_picture(tmp_path, band_rows):
    height, width = 17, 11
    left, right = pair(height, width, seed=band_rows)
    path = tmp_path / "full.png"
    write_full_size_png(path, left, right, width, height, band_rows=band_rows)
    with Image.open(path) as image:
        assert image.mode == "RGBA" and image.size == (width, height)
        decoded = np.asarray(image)
    assert np.array_equal(decoded, reference_picture(left, right))


@pytest.mark.parametrize("size", [(1, 1), (3, 1), (1, 5), (200, 300)], ids=str)
def test_png_writer_output_decodes_to_the_same_pixels(tmp_path, size):
    height, width = size
    rgba = np.random.default_rng(height * width).integers(0, 256, (height, width, 4), np.uint8)
    path = tmp_path / "picture.png"
    write_rgba_png(path, rgba.tobytes(), width, height)
    with Image.open(path) as image:
        image.load()
        assert np.array_equal(np.asarray(image), rgba)


def test_png_writer_refuses_wrong_row_counts_and_leaves_no_file(tmp_path):
    path = tmp_path / "picture.png"
    scanline = bytes(1 + 4 * 3)

    def too_few(writer):
        writer.write_rows(scanline)

    with pytest.raises(ValueError, match="has 2 rows, 1 were written"):
        write_png_file(path, 3, 2, too_few)

    def too_many(writer):
        writer.write_rows(scanline * 3)

    with pytest.raises(ValueError, match="more than the picture's 2 rows"):
        write_png_file(path, 3, 2, too_many)

    def partial_row(writer):
        writer.write_rows(scanline[:-1])

    with pytest.raises(ValueError, match="not whole scanlines"):
        write_png_file(path, 3, 2, partial_row)
    assert os.listdir(tmp_path) == []


def test_a_failed_write_keeps_the_earlier_file(tmp_path):
    path = tmp_path / "picture.png"
    path.write_bytes(b"earlier")

    def failing(writer):
        raise RuntimeError("stopped")

    with pytest.raises(RuntimeError):
        write_png_file(path, 1, 1, failing)
    assert path.read_bytes() == b"earlier"
    assert os.listdir(tmp_path) == ["picture.png"]


def test_rows_outside_the_frame_or_a_short_band_are_refused():
    left, right = pair(4, 3, seed=0)
    band = bytearray(2 * 4 * 3)
    with pytest.raises(ValueError, match="not within a frame of 4 rows"):
        _direct.full_size_rows(left, right, 3, 4, 1.0, 3, 2, band)
    with pytest.raises(ValueError, match="out: 2 rows need 26 bytes"):
        _direct.full_size_rows(left, right, 3, 4, 1.0, 0, 2, band, scanlines=True)
    with pytest.raises(BufferError):
        _direct.full_size_rows(left, right, 3, 4, 1.0, 0, 2, bytes(24))


def test_a_full_size_picture_over_the_pixel_limit_is_refused_up_front():
    left = np.zeros((800, 1300, 3), np.uint8)
    with pytest.raises(FullSizeTooLargeError, match="1300x800 = 1040000 pixels, over the limit of 1000000"):
        quillet.compare_with_diff(left, left, full_size=True, max_pixels=1_000_000)
    assert quillet.compare_with_diff(left, left, full_size=True, max_pixels=1_040_000).diff.size == (1300, 800)


def run_quillet(*arguments):
    return subprocess.run(
        [sys.executable, "-m", "quillet", "compare", *map(str, arguments)],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_cli_writes_the_full_size_picture(tmp_path):
    height, width = 1100, 700  # compared at 458 x 719
    left = np.random.default_rng(2).integers(0, 256, (height, width, 3), dtype=np.uint8)
    right = left.copy()
    right[555, 100:200] = 255 - right[555, 100:200]
    Image.fromarray(left).save(tmp_path / "a.png")
    Image.fromarray(right).save(tmp_path / "b.png")
    full = tmp_path / "full.png"
    result = run_quillet(tmp_path / "a.png", tmp_path / "b.png", "--diff", full, "--diff-full-size")
    assert result.returncode == 1, result.stderr
    assert f"difference picture ({width}x{height}, full size)" in result.stdout
    assert "figures from the comparison at 458x719" in result.stdout
    with Image.open(full) as image:
        assert np.array_equal(np.asarray(image), reference_picture(left, right))
    reduced = tmp_path / "reduced.png"
    assert run_quillet(tmp_path / "a.png", tmp_path / "b.png", "--diff", reduced).returncode == 1
    with Image.open(reduced) as image:
        assert image.size == (458, 719)
        assert image.tobytes() == quillet.compare_with_diff(left, right).diff.rgba


def test_cli_full_size_picture_with_standard_figures_and_json(tmp_path):
    height, width = 800, 1400
    left = np.random.default_rng(3).integers(0, 256, (height, width, 3), dtype=np.uint8)
    right = left.copy()
    right[400:404, 10:600] = 0
    Image.fromarray(left).save(tmp_path / "a.png")
    Image.fromarray(right).save(tmp_path / "b.png")
    out = tmp_path / "d.png"
    result = run_quillet(
        tmp_path / "a.png", tmp_path / "b.png", "--diff", out, "--diff-full-size", "--standard", "--json"
    )
    assert result.returncode == 1, result.stderr
    report = json.loads(result.stdout)
    assert report["diff_full_size"] is True
    assert (report["compared_width"], report["compared_height"]) == quillet.compared_size(width, height)
    # The standard figures come from the full images, the four from the reduced ones.
    assert report["psnr_rgb"] == pytest.approx(quillet.standard_metrics(left, right).psnr_rgb)
    assert report["mse"] == quillet.compare(left, right).mse
    with Image.open(out) as image:
        assert image.size == (width, height)


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--diff-full-size"], "--diff-full-size needs --diff"),
        (["--diff", "d.jpg", "--diff-full-size"], "writes PNG files only"),
    ],
    ids=["no picture", "not png"],
)
def test_cli_refuses_full_size_without_a_png_picture(tmp_path, arguments, message):
    image = np.zeros((4, 4, 3), np.uint8)
    Image.fromarray(image).save(tmp_path / "a.png")
    result = run_quillet(tmp_path / "a.png", tmp_path / "a.png", *arguments)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    assert message in result.stderr and len(result.stderr.strip().splitlines()) == 1
