"""quillet batch --report: the batch's page and each pair's page after a real run on a local cluster."""

import re

import pytest

pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

from quillet.cli import main  # noqa: E402
from video_clips import moments, picture, write_video  # noqa: E402

pytestmark = pytest.mark.integration


def darker(moment, width, height):
    return picture(moment, width, height) // 2


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
