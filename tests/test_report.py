"""HTML reports without a browser: what is drawn, statistics, escaping, size and atomic writes."""

import base64
import io
import math
import os
import random
import re
import sys
from types import SimpleNamespace

import pytest
from PIL import Image
from quillet import Frame, Metrics
from quillet._api import DiffPicture
from quillet._report import (
    BatchPair,
    figure_stats,
    render_batch_report,
    render_video_report,
    write_video_report,
)
from quillet._report_batch import (
    PAGE_STAMP_KEY,
    write_batch_pages,
    write_compared_pair_page,
)
from quillet._report_charts import drawn_indices, video_rows
from quillet._report_pictures import THUMBNAIL_WIDTH, WorstFrames, png_bytes
from quillet._report_video import VideoReportCollector
from quillet._thresholds import Thresholds
from report_samples import (
    HOSTILE_NAME,
    sample_batch_report,
    sample_figures,
    sample_frame,
    sample_video_report,
    write_sample_batch_results,
)


def _series(kind, count):
    rng = random.Random(count)
    if kind == "noise":
        return [rng.random() for _ in range(count)]
    if kind == "spike":
        values = [1.0] * count
        if count:
            values[count // 3] = -50.0
            values[2 * count // 3] = 80.0
        return values
    if kind == "with_infinite":
        return [math.inf if i % 7 == 0 else rng.random() for i in range(count)]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind", ["noise", "spike", "with_infinite"])
@pytest.mark.parametrize("count, max_points", [(0, 10), (9, 10), (10, 10), (11, 10), (1001, 100), (10_000, 1000)])
def test_drawn_points_keep_every_bucket_extreme(kind, count, max_points):
    values = _series(kind, count)
    drawn = drawn_indices(values, max_points)
    finite = [i for i in range(count) if math.isfinite(values[i])]
    assert len(drawn) <= max_points
    assert drawn == sorted(set(drawn))
    assert all(math.isfinite(values[i]) for i in drawn)
    if count <= max_points:
        assert drawn == finite
        return
    buckets = max_points // 2
    for bucket in range(buckets):
        members = [i for i in finite if bucket * count // buckets <= i < (bucket + 1) * count // buckets]
        kept = [values[i] for i in drawn if i in members]
        assert min(kept) == min(values[i] for i in members)
        assert max(kept) == max(values[i] for i in members)


def test_drawn_points_need_room_for_a_bucket():
    with pytest.raises(ValueError, match="at least 2"):
        drawn_indices([1.0, 2.0, 3.0], 1)


def test_chart_rows_mark_which_charts_draw_them():
    figures = {"a": _series("spike", 5000), "b": _series("noise", 5000)}
    rows, counts = video_rows(list(range(5000)), [None] * 5000, figures, max_points=200)
    for bit, name in enumerate(figures):
        assert sum(1 for row in rows if row["drawn"] & (1 << bit)) == counts[name]
        assert counts[name] == len(drawn_indices(figures[name], 200))
    assert all("time" not in row for row in rows)


@pytest.mark.parametrize(
    "figure, values, expected",
    [
        ("psnr", [30.0, 20.0, 40.0, 20.0], (27.5, 20.0, 40.0, 11)),  # lowest is worst; first one wins
        ("mse", [3.0, 9.0, 1.0, 9.0], (5.5, 1.0, 9.0, 11)),  # highest is worst
        ("ssim", [0.5, math.nan, 1.0, 0.25], (0.5833333333333334, 0.25, 1.0, 13)),  # NaN left out
        ("psnr_rgb", [math.inf, 10.0, math.inf, 30.0], (math.inf, 10.0, math.inf, 11)),
    ],
)
def test_figure_stats_cover_every_frame(figure, values, expected):
    stats = figure_stats(figure, [10, 11, 12, 13], values)
    assert (stats.mean, stats.minimum, stats.maximum, stats.worst_frame) == pytest.approx(expected)


def test_figure_stats_of_nothing_known():
    stats = figure_stats("psnr", [0, 1], [math.nan, math.nan])
    assert math.isnan(stats.mean) and stats.worst_frame is None


def _outside_scripts(page):
    # The text of the page less its <script> elements (the chart libraries contain markup strings).
    return re.sub(r"<script\b.*?</script>", "", page, flags=re.S)


def test_video_report_escapes_every_text_it_shows():
    page = render_video_report(sample_video_report(50))
    body = _outside_scripts(page)
    assert "alert(1)" in body
    for hostile in (HOSTILE_NAME, "<b>bold</b>", "<img src=x onerror=alert(2)>", "'<a>'"):
        assert hostile not in page
    assert "&lt;script&gt;alert(1)&lt;/script&gt;.mp4" in body
    assert "&lt;img src=x onerror=alert(2)&gt;" in body
    # Nothing in the embedded chart data can close its script element.
    for data in re.findall(r'<script type="application/json"[^>]*>(.*?)</script>', page, flags=re.S):
        assert "<" not in data


def test_batch_report_escapes_names_messages_and_links():
    report = sample_batch_report()
    report.pairs.append(BatchPair("x", "l", "r", {}, "error", False, "<script>alert(3)</script>", "javascript:alert(4)"))
    page = render_batch_report(report)
    assert "<script>alert(3)" not in page and HOSTILE_NAME not in page
    assert 'href="javascript:' not in page
    assert 'href="javascript%3Aalert%284%29"' in page
    assert "&lt;i&gt;clips&lt;/i&gt;" in page
    assert page.count("<tr class=") == len(report.pairs)


@pytest.mark.parametrize("count", [100, 10_000, 50_000])
def test_report_size_stays_bounded_however_long_the_video(count):
    small = len(render_video_report(sample_video_report(100)).encode())
    size = len(render_video_report(sample_video_report(count)).encode())
    # Four charts draw at most 1000 points each: the data cannot grow past about that.
    assert size - small < 4 * 1000 * 120


def test_full_size_frames_only_when_asked():
    thumbnails_only = render_video_report(sample_video_report(30))
    with_full = render_video_report(sample_video_report(30, full_size=True))
    assert "<template>" not in thumbnails_only
    assert with_full.count("<template><img") == 3 * 6
    assert thumbnails_only.count('<a class="thumb"') == 3 * 6


def test_report_on_frame_index_when_times_are_unknown():
    page = render_video_report(sample_video_report(20, times=False, worst=False))
    assert '"field":"frame"' in page and '"field":"time"' not in page


def test_write_replaces_the_file_whole(tmp_path):
    target = tmp_path / "report.html"
    write_video_report(target, sample_video_report(10, worst=False))
    assert target.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    assert sorted(os.listdir(tmp_path)) == ["report.html"]
    assert target.stat().st_mode & 0o777 == 0o666 & ~_umask()


def test_failed_write_leaves_the_old_report_and_no_temporary(tmp_path, monkeypatch):
    target = tmp_path / "report.html"
    target.write_text("old")

    def fail_to_rename(source, destination):
        raise OSError("disk full")

    monkeypatch.setattr(os, "replace", fail_to_rename)
    with pytest.raises(OSError, match="disk full.*report.html|report.html.*disk full"):
        write_video_report(target, sample_video_report(10, worst=False))
    assert target.read_text() == "old"
    assert os.listdir(tmp_path) == ["report.html"]


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


@pytest.mark.parametrize(
    "picture, size",
    [
        (sample_frame(40, 30, 5), (40, 30)),
        (sample_frame(1000, 10, 5), (THUMBNAIL_WIDTH, 3)),
        (DiffPicture(bytes(range(256)) * 25, 40, 40), (40, 40)),
    ],
    ids=["small-frame", "wide-frame", "difference"],
)
def test_png_thumbnails_keep_pixels_or_shrink_to_width(picture, size):
    image = Image.open(io.BytesIO(png_bytes(picture, THUMBNAIL_WIDTH)))
    assert image.size == size and image.mode == "RGB"
    if size == (picture.width, picture.height):
        expected = picture.rgb if isinstance(picture, Frame) else bytes(
            b for i, b in enumerate(picture.rgba) if i % 4 != 3
        )
        assert image.tobytes() == expected


@pytest.mark.parametrize("keep", [0, 1, 6, 50])
def test_worst_frames_keep_the_lowest_scores_earliest_first(keep):
    rng = random.Random(keep)
    scores = [float(rng.randint(0, 20)) for _ in range(200)] + [math.nan]
    collector = WorstFrames(keep)
    made = []

    def make(frame):
        made.append(frame)
        return frame  # any object stands for the pictures

    for frame, score in enumerate(scores):
        collector.offer(score, lambda frame=frame: make(frame))
    expected = sorted((i for i in range(len(scores)) if not math.isnan(scores[i])), key=lambda i: (scores[i], i))
    assert collector.worst_first() == expected[:keep]
    # Pictures are made only for frames that entered the set at the time they came.
    assert len(made) < len(scores) or keep >= len(scores)
    assert set(expected[:keep]) <= set(made)


def test_worst_frames_count_must_not_be_negative():
    with pytest.raises(ValueError):
        WorstFrames(-1)


def test_missing_chart_library_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "altair", None)
    with pytest.raises(ImportError, match=r"quillet\[report\]"):
        render_video_report(sample_video_report(5, worst=False))


class _Record:
    """A compared pair as the comparison engine hands it to its on_record callback."""

    def __init__(self, frame, psnr):
        self.frame = frame
        self.left_time = frame / 10
        self.metrics = Metrics(1 - (40 - psnr) / 100, psnr, 65025 / 10 ** (psnr / 10), 100.0)
        self.identical = False

    def figures(self):
        return dict(self.metrics._asdict())


class _View:
    def __init__(self, shade):
        self.left = sample_frame(16, 8, shade)
        self.right = sample_frame(16, 8, shade + 1)
        self.diffs = 0

    def diff(self):
        self.diffs += 1
        return DiffPicture(bytes(16 * 8 * 4), 16, 8)


def test_collector_keeps_all_figures_and_the_worst_pictures():
    psnr = [40.0 - (i * 37 % 23) for i in range(60)]
    collector = VideoReportCollector(Thresholds(min_psnr=25.0), worst_count=3)
    views = []
    for frame, value in enumerate(psnr):
        views.append(_View(frame))
        collector.on_record(_Record(frame, value), views[-1])
    summary = SimpleNamespace(left_name="a<b", right_name="c", width=16, height=8, compared=60)
    report = collector.report(summary, None, verdict="outside", passed=False)
    assert list(report.figures["psnr"]) == psnr and list(report.frames) == list(range(60))
    assert report.thresholds == {"psnr": 25.0}
    failing = [f for f, v in enumerate(psnr) if v < 25.0]
    assert collector.failing_frames == len(failing)
    assert report.failures[0].startswith(f"frame {failing[0]}: psnr ")
    worst = sorted(range(60), key=lambda f: (psnr[f], f))[:3]
    assert [w.frame for w in report.worst] == worst
    # A difference picture is drawn only for frames that entered the worst set when they came.
    assert sum(view.diffs for view in views) < 60
    assert all(w.left_full is None for w in report.worst)
    assert ("frame size", "16x8") in report.summary


def test_batch_pages_link_a_page_per_pair_built_from_its_frames(tmp_path):
    pytest.importorskip("pyarrow")
    rows = write_sample_batch_results(tmp_path, frames=90)
    page = write_batch_pages(tmp_path, rows, Thresholds(min_psnr=30.0))
    assert page == str(tmp_path / "report.html")
    text = (tmp_path / "report.html").read_text(encoding="utf-8")
    assert sorted(os.listdir(tmp_path / "reports")) == sorted(f"{row['name']}.html" for row in rows[:-1])
    assert 'href="reports/a%20%3Cb%3E%20%26%20%27c%27.html"' in text
    assert "L/x.mp4: cannot decode frame 3" in text and "<b>" not in _outside_scripts(text)
    pair_page = (tmp_path / "reports" / "clip1.html").read_text(encoding="utf-8")
    # Every frame of the pair is in the page's charts, and its missed bounds are listed per frame.
    assert pair_page.count('"frame":') == 90
    failing = sum(1 for value in sample_figures(90, 6)["psnr"] if value < 30)
    assert pair_page.count("(--min-psnr)</li>") == min(failing, 20) + 1
    # Results kept from a run without pictures: the page says how to get them.
    assert "No pictures:" in pair_page and "--report --force" in pair_page
    assert "data:image/png" not in pair_page
    assert "thresholds on every frame: psnr ≥ 30" in text


def _picture_sizes(page):
    """The sizes of the worst frames' pictures in a page, each decoded from its PNG."""
    sizes = []
    for data in re.findall(r'<a class="thumb" href="#"><img src="data:image/png;base64,([^"]+)"', page):
        with Image.open(io.BytesIO(base64.b64decode(data))) as image:
            image.load()
            sizes.append(image.size)
    return sizes


def _compared_pair_page(results, row, thresholds):
    """What a batch task does for its pair: collect while comparing, write the page, and keep
    the page's stamp in the pair's frames file."""
    import pyarrow.parquet as pq

    collector = VideoReportCollector(thresholds)
    for frame, value in enumerate(sample_figures(row["compared"], 6)["psnr"]):
        collector.on_record(_Record(frame, value), _View(frame))
    stamp = write_compared_pair_page(str(results), row, collector, thresholds, None)
    frames_file = results / row["frames_file"]
    table = pq.read_table(frames_file)
    pq.write_table(table.replace_schema_metadata({PAGE_STAMP_KEY: stamp}), frames_file)


def _edit_page(page):
    page.write_text(page.read_text(encoding="utf-8").replace("<h1>", "<h1>edited "), encoding="utf-8")


# What happens to a page written while its pair was compared, before the batch's pages are
# written; and whether that page (with its pictures) is kept.
_PAGE_CHANGES = {
    "nothing": (None, Thresholds(min_psnr=30.0), True),
    "other thresholds now": (None, Thresholds(min_psnr=20.0), False),
    "bounds added now": (None, Thresholds(min_psnr=30.0, min_ssim=0.5), False),
    "page edited": (_edit_page, Thresholds(min_psnr=30.0), False),
    "page removed": (os.unlink, Thresholds(min_psnr=30.0), False),
}


@pytest.mark.parametrize("change", list(_PAGE_CHANGES), ids=list(_PAGE_CHANGES))
def test_batch_pages_keep_the_page_written_with_pictures_only_while_it_holds(tmp_path, change):
    pytest.importorskip("pyarrow")
    alter, thresholds, kept = _PAGE_CHANGES[change]
    rows = write_sample_batch_results(tmp_path, count=2, frames=40)
    compared = rows[1]  # "clip1"; the other pair ran without pictures
    _compared_pair_page(tmp_path, compared, Thresholds(min_psnr=30.0))
    page = tmp_path / "reports" / "clip1.html"
    written = page.read_bytes()
    assert len(_picture_sizes(written.decode())) == 18
    if alter is not None:
        alter(page)
    write_batch_pages(tmp_path, rows, thresholds)
    text = page.read_text(encoding="utf-8")
    # The page always shows the bounds of this run, and the pictures only when kept.
    bound = f"≥ {thresholds.min_psnr:g}</td>"
    assert bound in text
    if kept:
        assert page.read_bytes() == written
    else:
        assert "edited" not in text and _picture_sizes(text) == []
        assert "No pictures:" in text
    assert 'href="reports/clip1.html"' in (tmp_path / "report.html").read_text(encoding="utf-8")
    other = (tmp_path / "reports" / "a <b> & 'c'.html").read_text(encoding="utf-8")
    assert _picture_sizes(other) == [] and "No pictures:" in other


def test_compared_pair_page_shows_the_row_verdict_and_worst_frames(tmp_path):
    pytest.importorskip("pyarrow")
    rows = write_sample_batch_results(tmp_path, count=2, frames=30)
    _compared_pair_page(tmp_path, rows[1], Thresholds(min_psnr=30.0))
    page = (tmp_path / "reports" / "clip1.html").read_text(encoding="utf-8")
    assert _picture_sizes(page) == [(16, 8)] * 18
    psnr = sample_figures(30, 6)["psnr"]
    worst = sorted(range(30), key=lambda f: (psnr[f], f))[:6]
    captions = re.findall(r"<figcaption>frame (\d+) at", page)
    assert [int(frame) for frame in captions] == worst
    assert '<span class="verdict fail">different</span>' in page
    assert "<li>psnr 24.2 &lt; 30 (--min-psnr)</li>" in page
    assert [name for name in os.listdir(tmp_path / "reports") if ".partial" in name] == []


def test_chart_script_is_bundled_once_then_read_from_the_cache(tmp_path, monkeypatch):
    import vl_convert
    from quillet._report_charts import vega_script

    bundled = []
    real_bundle = vl_convert.javascript_bundle

    def counting_bundle(**kwargs):
        bundled.append(kwargs)
        return real_bundle(**kwargs)

    monkeypatch.setattr(vl_convert, "javascript_bundle", counting_bundle)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    first = vega_script()
    assert vega_script() == first and len(bundled) == 1
    cached = list((tmp_path / "cache" / "quillet").iterdir())
    assert len(cached) == 1 and cached[0].read_text(encoding="utf-8") == first
    # A cache folder that cannot be made only costs the bundling.
    (tmp_path / "blocked").write_text("a file, not a folder")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "blocked"))
    assert vega_script() == first and len(bundled) == 2
