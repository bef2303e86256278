"""quillet compare --standard: the standard figures printed and in JSON, their thresholds and
the exit statuses they give, and the one-line refusal of images too small for the SSIM window."""

from __future__ import annotations

import csv
import io
import json
import subprocess
import sys

import pytest

import quillet

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")


def run_quillet(*arguments):
    return subprocess.run(
        [sys.executable, "-m", "quillet", *map(str, arguments)],
        check=False,
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.fixture
def pair(tmp_path):
    rng = np.random.default_rng(4)
    left = rng.integers(0, 256, (30, 40, 3), dtype=np.uint8)
    right = np.clip(left.astype(np.int16) + rng.integers(-6, 7, left.shape), 0, 255).astype(np.uint8)
    paths = tmp_path / "left.png", tmp_path / "right.png"
    Image.fromarray(left).save(paths[0])
    Image.fromarray(right).save(paths[1])
    return paths, quillet.standard_metrics(left, right)


def test_json_holds_every_standard_figure(pair):
    (left, right), expected = pair
    result = run_quillet("compare", left, right, "--standard", "--json")
    assert result.returncode == 1, result.stderr
    report = json.loads(result.stdout)
    for name, value in expected._asdict().items():
        assert report[name] == value


def test_identical_images_write_infinite_psnr_as_null(pair):
    (left, _), _ = pair
    result = run_quillet("compare", left, left, "--standard", "--json")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert [report[name] for name in ("psnr_rgb", "psnr_r", "psnr_g", "psnr_b")] == [None] * 4
    assert report["ssim_rgb"] == 1.0 and report["ssim_y"] == 1.0


def test_text_report_prints_every_standard_figure(pair):
    (left, right), expected = pair
    result = run_quillet("compare", left, right, "--standard")
    lines = {line.split()[0]: line.split()[1] for line in result.stdout.splitlines()[1:] if line.startswith("  ")}
    assert float(lines["psnr_rgb"]) == pytest.approx(expected.psnr_rgb, abs=0.005)
    assert float(lines["ssim_y"]) == pytest.approx(expected.ssim_y, abs=5e-7)
    assert set(expected._fields) <= set(lines)


def test_without_the_option_no_standard_figure_is_computed(pair):
    (left, right), _ = pair
    report = json.loads(run_quillet("compare", left, right, "--json").stdout)
    assert "psnr_rgb" not in report and "ssim_rgb" not in report


@pytest.mark.parametrize(
    ("option", "offset", "status"),
    [
        ("--min-psnr-rgb", -0.01, 0),
        ("--min-psnr-rgb", +0.01, 1),
        ("--min-ssim-rgb", -1e-4, 0),
        ("--min-ssim-rgb", +1e-4, 1),
    ],
    ids=["psnr met", "psnr missed", "ssim met", "ssim missed"],
)
def test_standard_thresholds_decide_the_exit_status(pair, option, offset, status):
    (left, right), expected = pair
    figure = option.removeprefix("--min-").replace("-", "_")
    bound = getattr(expected, figure) + offset
    result = run_quillet("compare", left, right, option, f"{bound:.10f}", "--json")
    assert result.returncode == status, result.stderr
    report = json.loads(result.stdout)
    assert report[figure] == getattr(expected, figure)  # the threshold implies the figures
    assert report["passed"] is (status == 0)
    if status:
        assert report["failed"] == [line for line in report["failed"] if option in line]
        assert len(report["failed"]) == 1


def test_thresholds_on_both_kinds_of_figures_all_count(pair):
    (left, right), _ = pair
    result = run_quillet("compare", left, right, "--min-psnr", "0", "--min-ssim-rgb", "0.9999")
    assert result.returncode == 1
    assert "ssim_rgb" in result.stdout and "(--min-ssim-rgb)" in result.stdout


@pytest.mark.parametrize("arguments", [["--standard"], ["--min-psnr-rgb", "20"]])
def test_images_smaller_than_the_window_are_one_line_errors(tmp_path, arguments):
    small = tmp_path / "small.png"
    Image.fromarray(np.zeros((10, 40, 3), np.uint8)).save(small)
    result = run_quillet("compare", small, small, *arguments)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and "11x11" in lines[0]


@pytest.mark.parametrize("value", ["nan", "inf", "abc"])
def test_standard_thresholds_must_be_finite_numbers(pair, value):
    (left, right), _ = pair
    result = run_quillet("compare", left, right, "--min-ssim-rgb", value)
    assert result.returncode == 2 and "Traceback" not in result.stderr


@pytest.fixture
def sequences(tmp_path):
    """Two folders of three frames: the same first frame, then a changed square."""
    rng = np.random.default_rng(9)
    left_folder, right_folder = tmp_path / "left", tmp_path / "right"
    left_folder.mkdir()
    right_folder.mkdir()
    pairs = []
    for index in range(3):
        left = rng.integers(0, 256, (24, 30, 3), dtype=np.uint8)
        right = left.copy()
        if index:
            right[4:10, 6:12] ^= 0x30
        Image.fromarray(left).save(left_folder / f"f{index}.png")
        Image.fromarray(right).save(right_folder / f"f{index}.png")
        pairs.append(quillet.standard_metrics(left, right))
    return left_folder, right_folder, pairs


def test_video_table_has_the_standard_columns(sequences):
    left, right, expected = sequences
    result = run_quillet("video", left, right, "--standard", "--csv", "-")
    assert result.returncode == 1, result.stderr
    rows = list(csv.DictReader(io.StringIO(result.stdout)))
    assert len(rows) == 3
    for row, figures in zip(rows, expected):
        for name, value in figures._asdict().items():
            assert float(row[name]) == value  # CSV writes inf as "inf"


@pytest.mark.parametrize(("bound", "status"), [(0.5, 0), (0.99999, 1)])
def test_video_standard_threshold_on_every_pair(sequences, bound, status):
    left, right, _ = sequences
    result = run_quillet("video", left, right, "--min-ssim-rgb", bound)
    assert result.returncode == status, result.stderr
    assert "ssim_rgb" in result.stdout + result.stderr
