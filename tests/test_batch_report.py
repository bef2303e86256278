"""quillet batch --report: the batch's page and each pair's page, with the worst frames pictured
by each pair's task, over real runs on local clusters, resumed runs included."""

import base64
import io
import os
import re

import pytest

pytest.importorskip("distributed")
pq = pytest.importorskip("pyarrow.parquet")
Image = pytest.importorskip("PIL.Image")

from quillet._batch import PairPages, run_pair  # noqa: E402
from quillet._manifest import BatchPair  # noqa: E402
from quillet._video import VideoOptions  # noqa: E402
from quillet.batch import Thresholds, run_batch  # noqa: E402
from quillet.cli import main  # noqa: E402
from video_clips import HEIGHT, WIDTH, moments, picture, write_video  # noqa: E402

PICTURES = 3 * 6  # left, right and difference of the 6 worst frames


def darker(moment, width, height):
    return picture(moment, width, height) // 2


def picture_sizes(page):
    """The sizes of the worst frames' pictures in a page, each decoded from its PNG."""
    sizes = []
    for data in re.findall(r'<a class="thumb" href="#"><img src="data:image/png;base64,([^"]+)"', page):
        with Image.open(io.BytesIO(base64.b64decode(data))) as image:
            image.load()
            sizes.append(image.size)
    return sizes


@pytest.mark.integration
def test_batch_report_links_a_page_for_every_pair_that_ran(tmp_path, capsys):
    times = moments(6, 10)
    write_video(tmp_path / "ref.mkv", times, 10)
    write_video(tmp_path / "dark <b>.mkv", times, 10, frame_maker=darker)
    (tmp_path / "broken.mkv").write_bytes(b"not a video at all")
    (tmp_path / "pairs.csv").write_text(
        "left,right,name\nref.mkv,ref.mkv,same\nref.mkv,dark <b>.mkv,dark\nref.mkv,broken.mkv,broken\n"
    )
    results = tmp_path / "results"
    argv = ["batch", str(tmp_path / "pairs.csv"), "--out", str(results), "--workers", "1"]
    status = main([*argv, "--min-psnr", "30", "--report"])
    assert status == 2  # a pair failed
    assert f"report: {results / 'report.html'}" in capsys.readouterr().out
    page = (results / "report.html").read_text(encoding="utf-8")
    rows = re.findall(r'<tr class="(\w+)"><td data-sort="([^"]*)">', page)
    assert sorted(rows) == [("fail", "broken"), ("fail", "dark"), ("pass", "same")]
    assert "dark &lt;b&gt;.mkv" in page
    assert "<b>" not in re.sub(r"<script\b.*?</script>", "", page, flags=re.S)
    assert sorted(p.name for p in (results / "reports").iterdir()) == ["dark.html", "same.html"]
    assert 'href="reports/dark.html"' in page and 'href="reports/broken.html"' not in page
    dark = (results / "reports" / "dark.html").read_text(encoding="utf-8")
    assert dark.count('"frame":') == 6 and "--min-psnr" in dark and "dark &lt;b&gt;.mkv" in dark
    # The pair's own task pictured its worst frames (thumbnails of 64x48 frames are the frames).
    assert picture_sizes(dark) == [(WIDTH, HEIGHT)] * PICTURES
    psnr = pq.read_table(results / "frames" / "dark.parquet").column("psnr").to_pylist()
    worst_first = sorted(range(6), key=lambda frame: (psnr[frame], frame))
    assert re.findall(r"<figcaption>frame (\d+)", dark) == [str(frame) for frame in worst_first]
    same = (results / "reports" / "same.html").read_text(encoding="utf-8")
    assert picture_sizes(same) == [] and "No compared pair differs." in same


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    times = moments(8, 10)
    write_video(folder / "ref.mkv", times, 10)
    write_video(folder / "dark.mkv", times, 10, frame_maker=darker)
    (folder / "pairs.csv").write_text("left,right,name\nref.mkv,dark.mkv,dark\n")
    return folder


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0",
            scheduler_kwargs={"dashboard": False}, host="127.0.0.1",
        ) as cluster,
        distributed.Client(cluster) as connected,
    ):
        yield connected


STRICT, LOOSE = Thresholds(min_psnr=30.0), Thresholds(min_psnr=5.0)
# Runs one after the other on the same results (report?, thresholds, force), and what the last
# one leaves: whether the pair was kept from before, whether its page shows pictures, and
# whether that page is the very file the run before left.
RUN_SEQUENCES = {
    "same run again": ([(True, STRICT, False), (True, STRICT, False)], True, True, True),
    "forced": ([(True, STRICT, False), (True, STRICT, True)], False, True, False),
    "other thresholds": ([(True, STRICT, False), (True, LOOSE, False)], True, False, False),
    "thresholds back again": (
        [(True, STRICT, False), (True, LOOSE, False), (True, STRICT, False)], True, False, False
    ),
    "first run without report": ([(False, STRICT, False), (True, STRICT, False)], True, False, None),
    "then forced": ([(False, STRICT, False), (True, STRICT, True)], False, True, None),
}


@pytest.mark.integration
@pytest.mark.parametrize("sequence", list(RUN_SEQUENCES), ids=list(RUN_SEQUENCES))
def test_resumed_runs_keep_rewrite_or_rebuild_the_pairs_page(clips, client, tmp_path, sequence):
    runs, resumed, pictured, same_file = RUN_SEQUENCES[sequence]
    results = tmp_path / "results"
    page = results / "reports" / "dark.html"
    before = None
    for report, thresholds, force in runs:
        before = os.stat(page).st_ino if page.exists() else None
        table = run_batch(
            clips / "pairs.csv", results, thresholds=thresholds, client=client, force=force,
            report=report,
        )
    assert table.column("resumed").to_pylist() == [resumed]
    text = page.read_text(encoding="utf-8")
    # The page shows the last run's bound, whoever wrote it.
    assert f"≥ {thresholds.min_psnr:g}</td>" in text
    assert picture_sizes(text) == ([(WIDTH, HEIGHT)] * PICTURES if pictured else [])
    if not pictured:
        assert "No pictures:" in text and "--report --force" in text
    if same_file is not None:
        assert (os.stat(page).st_ino == before) == same_file
    assert 'href="reports/dark.html"' in (results / "report.html").read_text(encoding="utf-8")
    assert [path.name for path in results.rglob("*") if ".partial" in path.name] == []


@pytest.mark.integration
def test_a_page_that_cannot_be_written_fails_the_pair_and_keeps_no_frames(clips, tmp_path):
    results = tmp_path / "results"
    (results / "frames").mkdir(parents=True)
    (results / "reports" / "dark.html").mkdir(parents=True)  # a folder where the page goes
    pair = BatchPair(str(clips / "ref.mkv"), str(clips / "dark.mkv"), "dark")
    row = run_pair(pair, ("a", "b"), VideoOptions(), str(results / "frames"), pages=PairPages(STRICT))
    assert "dark.html" in row["error"]
    assert os.listdir(results / "frames") == []
    assert os.listdir(results / "reports") == ["dark.html"]


@pytest.mark.integration
def test_a_pair_that_now_fails_loses_its_earlier_page(clips, client, tmp_path):
    work = tmp_path / "work"
    work.mkdir()
    (work / "dark.mkv").write_bytes((clips / "dark.mkv").read_bytes())
    (work / "pairs.csv").write_text(f"left,right,name\n{clips / 'ref.mkv'},dark.mkv,dark\n")
    results = tmp_path / "results"
    run_batch(work / "pairs.csv", results, thresholds=STRICT, client=client, report=True)
    assert (results / "reports" / "dark.html").exists()
    (work / "dark.mkv").write_bytes(b"no longer a video")
    table = run_batch(work / "pairs.csv", results, thresholds=STRICT, client=client, report=True)
    assert table.column("verdict").to_pylist() == ["error"]
    assert os.listdir(results / "reports") == []
    assert 'href="reports/dark.html"' not in (results / "report.html").read_text(encoding="utf-8")
