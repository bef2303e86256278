"""quillet video --report: the report written from a real comparison of two short videos."""

import re

import numpy as np
import pytest
from quillet.cli import main
from video_clips import moments, picture, write_sequence, write_video

HOSTILE_FOLDER = "<img src=x onerror=alert(1)>"
FRAMES = 12


def damaged(moment, width, height):
    """The scene with a block of noise whose size grows with the frame's tick."""
    array = picture(moment, width, height).copy()
    tick = int(moment * 100)
    rng = np.random.default_rng(tick)
    side = 4 + 3 * (tick % 7)
    array[:side, :side] = rng.integers(0, 256, (side, side, 3), dtype=np.uint8)
    return array


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips") / HOSTILE_FOLDER
    folder.mkdir()
    times = moments(FRAMES, 10)
    left = write_video(folder / "left.mkv", times, 10)
    right = write_video(folder / "right.mkv", times, 10, frame_maker=damaged)
    return left, right


def chart_rows(page):
    spec = re.search(r'class="chart-spec"[^>]*>(.*?)</script>', page, flags=re.S).group(1)
    return spec.count('"frame":')


@pytest.mark.parametrize("full_frames", [False, True], ids=["thumbnails", "full-frames"])
def test_video_report_from_a_real_comparison(clips, tmp_path, capsys, full_frames):
    left, right = clips
    report = tmp_path / "report.html"
    argv = ["video", str(left), str(right), "--min-psnr", "30", "--report", str(report)]
    status = main(argv + (["--report-full-frames"] if full_frames else []))
    out = capsys.readouterr().out
    assert status == (1 if "outside the thresholds" in out else 0)
    page = report.read_text(encoding="utf-8")
    assert HOSTILE_FOLDER not in page
    assert "&lt;img src=x onerror=alert(1)&gt;/left.mkv" in page
    assert chart_rows(page) == FRAMES
    assert page.count('<a class="thumb"') == 3 * 6
    assert page.count("<template><img") == (3 * 6 if full_frames else 0)
    assert "--report" in page and "quillet video" in page
    assert [p.name for p in tmp_path.iterdir()] == ["report.html"]


def test_report_of_an_identical_pair_has_no_differing_worst_frames(clips, tmp_path):
    left, _ = clips
    report = tmp_path / "same.html"
    assert main(["video", str(left), str(left), "--report", str(report)]) == 0
    page = report.read_text(encoding="utf-8")
    assert "identical" in page and chart_rows(page) == FRAMES
    assert '<a class="thumb"' not in page and "No compared pair differs" in page


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--report-full-frames"], "--report-full-frames needs --report"),
        (["--report", "{left}"], "input"),
    ],
    ids=["full-frames-alone", "report-over-input"],
)
def test_report_options_checked_before_any_work(clips, capsys, extra, message):
    left, right = clips
    before = left.read_bytes()
    argv = ["video", str(left), str(right), *(a.format(left=left) for a in extra)]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert message in err and len(err.strip().splitlines()) == 1
    assert left.read_bytes() == before


def test_missing_report_library_stops_before_comparing(clips, tmp_path, capsys, monkeypatch):
    import sys

    left, right = clips
    monkeypatch.setitem(sys.modules, "vl_convert", None)
    assert main(["video", str(left), str(right), "--report", str(tmp_path / "r.html")]) == 2
    captured = capsys.readouterr()
    assert "quillet[report]" in captured.err and captured.out == ""
    assert not (tmp_path / "r.html").exists()


def test_report_of_image_sequences_is_on_frame_index(tmp_path):
    arrays = [picture(m) for m in moments(5, 10)]
    left = write_sequence(tmp_path / "a", arrays)
    right = write_sequence(tmp_path / "b", [damaged(m, 64, 48) for m in moments(5, 10)])
    report = tmp_path / "seq.html"
    main(["video", str(left), str(right), "--report", str(report)])
    page = report.read_text(encoding="utf-8")
    assert '"field":"time"' not in page and chart_rows(page) == 5
    assert page.count('<a class="thumb"') == 3 * 5


def test_report_charts_the_standard_figures_when_computed(clips, tmp_path):
    left, right = clips
    report = tmp_path / "standard.html"
    main(["video", str(left), str(right), "--standard", "--report", str(report)])
    page = report.read_text(encoding="utf-8")
    names = re.findall(r'"name":"points_(\w+)_\d+"', page)
    assert names == ["ssim", "psnr", "mse", "max_diff", "psnr_rgb", "psnr_r", "psnr_g", "psnr_b",
                     "ssim_rgb", "ssim_r", "ssim_g", "ssim_b", "ssim_y"]
