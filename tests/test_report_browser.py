"""HTML reports opened from file:// in headless Chromium through Selenium and chromedriver."""

import dataclasses
import json
import os
import shutil
import time

import numpy as np
import pytest
from quillet._report import write_batch_report, write_video_report
from quillet._report_batch import write_batch_pages
from quillet._report_charts import drawn_indices
from report_samples import (
    HOSTILE_NAME,
    sample_batch_report,
    sample_figures,
    sample_video_report,
    write_sample_batch_results,
)

pytestmark = pytest.mark.integration

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
CHROMEDRIVER = shutil.which("chromedriver")


def start_browser():
    """Headless Chromium with its console and network logs, driven by Debian's chromedriver."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    # Never let Selenium Manager look for (and download) a driver or a browser.
    os.environ["SE_OFFLINE"] = "true"
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1200,900", "--no-first-run", "--disable-background-networking"):
        options.add_argument(argument)
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


@pytest.fixture(scope="module")
def browser():
    if CHROMIUM is None or CHROMEDRIVER is None:
        pytest.skip("Chromium and chromedriver are not installed (Debian: chromium chromium-driver)")
    driver = start_browser()
    yield driver
    driver.quit()


def open_report(driver, path, timeout=60):
    """Load the page, wait until its charts are drawn, and return the seconds it took."""
    driver.get_log("browser")  # drop what earlier pages logged
    driver.get_log("performance")
    start = time.perf_counter()
    driver.get(path.as_uri())
    while True:
        state = driver.execute_script("return document.documentElement.dataset.charts || null")
        if state is not None:
            break
        assert time.perf_counter() - start < timeout, "the charts were never drawn"
        time.sleep(0.02)
    assert state == "ready", driver.get_log("browser")
    return time.perf_counter() - start


def console_errors(driver):
    return [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def requested_urls(driver):
    urls = []
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        if message["method"] == "Network.requestWillBeSent":
            urls.append(message["params"]["request"]["url"])
    return urls


# Counts the items of every named mark in a chart's scene graph.
MARK_COUNTS = """
const counts = {};
function walk(node) {
  if (!node) return;
  if (node.marktype && node.name) counts[node.name] = (node.items || []).length;
  for (const child of node.items || []) walk(child);
}
walk(window.quilletViews[arguments[0]].scenegraph().root);
return counts;
"""


def drawn_points(driver, chart, figure):
    counts = driver.execute_script(MARK_COUNTS, chart)
    # Vega-Lite suffixes a layer's name with its place in the page: points_<figure>_<n>_marks.
    names = [name for name in counts if name.startswith(f"points_{figure}_") and
             name[len(f"points_{figure}_"):-len("_marks")].isdigit()]
    assert len(names) == 1, counts
    return counts[names[0]]


@pytest.mark.parametrize("count", [100, 10_000])
def test_video_report_loads_offline_and_draws_every_frame_or_bucket(browser, tmp_path, count):
    report = sample_video_report(count)
    path = tmp_path / "report.html"
    write_video_report(path, report)
    open_report(browser, path)

    assert console_errors(browser) == []
    foreign = [url for url in requested_urls(browser) if not url.startswith(("file:", "data:"))]
    assert foreign == []
    for figure, values in report.figures.items():
        expected = len(drawn_indices(values)) if count > 1000 else count
        assert drawn_points(browser, "charts", figure) == expected
    # Shown as text, never run.
    assert HOSTILE_NAME in browser.find_element("css selector", "h1").text
    assert browser.execute_script("return document.querySelectorAll('h1 script').length") == 0


def test_worst_frame_pictures_load_and_open_full_size(browser, tmp_path):
    path = tmp_path / "report.html"
    write_video_report(path, sample_video_report(60, full_size=True))
    open_report(browser, path)
    widths = browser.execute_script(
        "return Array.from(document.querySelectorAll('.worst img')).map(i => i.complete ? i.naturalWidth : 0)"
    )
    assert len(widths) == 18 and all(width > 0 for width in widths)
    browser.find_element("css selector", ".worst a.thumb").click()
    opened = browser.execute_async_script(
        "const done = arguments[0]; const d = document.getElementById('enlarged');"
        "const i = d.querySelector('img');"
        "i.decode().then(() => done([d.open, i.naturalWidth]), () => done([d.open, 0]));"
    )
    # The sample pictures are 96 pixels wide at full size (thumbnails would be too).
    assert opened == [True, 96]
    assert console_errors(browser) == []


def table_column(driver, column):
    return driver.execute_script(
        "return Array.from(document.querySelectorAll('table.pairs tbody tr'))"
        ".map(r => r.cells[arguments[0]].dataset.sort ?? r.cells[arguments[0]].textContent)",
        column,
    )


@pytest.mark.parametrize("header", ["psnr_mean", "pair", "verdict"])
def test_batch_table_sorts_when_a_header_is_clicked(browser, tmp_path, header):
    report = sample_batch_report()
    path = tmp_path / "batch.html"
    write_batch_report(path, report)
    open_report(browser, path)
    headers = browser.find_elements("css selector", "table.pairs thead th")
    column = [h.text for h in headers].index(header)

    def key(text):
        try:
            return (0, float(text))
        except ValueError:
            return (1, text.lower())

    headers[column].click()
    ascending = table_column(browser, column)
    assert [key(t) for t in ascending] == sorted(key(t) for t in ascending)
    assert headers[column].get_attribute("aria-sort") == "ascending"
    headers[column].click()
    descending = table_column(browser, column)
    assert [key(t) for t in descending] == sorted((key(t) for t in descending), reverse=True)
    assert console_errors(browser) == []
    assert [url for url in requested_urls(browser) if not url.startswith(("file:", "data:"))] == []


def test_batch_table_fits_the_page_with_long_locations(browser, tmp_path):
    # Real manifests hold absolute paths and URLs; the verdict column must stay on the page.
    sample = sample_batch_report(count=4)
    pairs = [
        dataclasses.replace(
            pair,
            left=f"/srv/media/renders/2026/episode-{number:02d}/reference/shot-{number:03d}-final.mp4",
            right=f"https://media.example/encodes/2026/episode-{number:02d}/crf28/shot-{number:03d}.mp4",
        )
        for number, pair in enumerate(sample.pairs)
    ]
    columns = ["psnr_mean", "psnr_min", "ssim_mean", "ssim_min", "mse_max", "max_diff_max"]
    report = dataclasses.replace(sample, pairs=pairs, columns=columns)
    path = tmp_path / "batch.html"
    write_batch_report(path, report)
    open_report(browser, path)
    overflow = browser.execute_script(
        "const body = document.body.getBoundingClientRect();"
        "const box = document.querySelector('table.pairs').parentElement.getBoundingClientRect();"
        "return [box.right - body.right, document.documentElement.scrollWidth - window.innerWidth];"
    )
    assert overflow[0] <= 0 and overflow[1] <= 0, overflow
    # Whatever does not fit scrolls inside the table's box: scrolled to its end, the verdicts show.
    hidden = browser.execute_script(
        "const box = document.querySelector('table.pairs').parentElement;"
        "box.scrollLeft = box.scrollWidth;"
        "const cell = document.querySelector('table.pairs td.verdict-cell').getBoundingClientRect();"
        "return cell.right - box.getBoundingClientRect().right;"
    )
    assert hidden <= 0, hidden


def test_batch_page_draws_its_distribution_and_links_each_pair(browser, tmp_path):
    report = sample_batch_report()
    path = tmp_path / "batch.html"
    write_batch_report(path, report)
    open_report(browser, path)
    marks = browser.execute_script(MARK_COUNTS, "distribution")
    assert marks.get("bars_marks", 0) >= 2, marks
    links = browser.execute_script(
        "return Array.from(document.querySelectorAll('table.pairs a')).map(a => a.href)"
    )
    assert links == [(tmp_path / pair.page).as_uri() for pair in report.pairs if pair.page]


def test_batch_results_page_leads_to_each_pairs_page(browser, tmp_path):
    pytest.importorskip("pyarrow")
    rows = write_sample_batch_results(tmp_path, count=3, frames=2500)
    write_batch_pages(tmp_path, rows)
    open_report(browser, tmp_path / "report.html")
    links = browser.find_elements("css selector", "table.pairs a")
    assert [link.text for link in links] == [row["name"] for row in rows[:-1]]
    links[0].click()  # the pair whose name needs escaping and percent-encoding
    start = time.perf_counter()
    while browser.execute_script("return document.documentElement.dataset.charts || null") != "ready":
        assert time.perf_counter() - start < 60, "the pair's page never drew its charts"
        time.sleep(0.02)
    assert browser.find_element("css selector", "h1").text == "L/a <b> & 'c'.mp4 vs R/a <b> & 'c'.mp4"
    # 2,500 frames: each chart draws its buckets' extremes.
    assert drawn_points(browser, "charts", "psnr") == len(drawn_indices(sample_figures(2500, 5)["psnr"]))
    assert console_errors(browser) == []
    assert [url for url in requested_urls(browser) if not url.startswith(("file:", "data:"))] == []


def test_report_written_by_quillet_video_shows_its_pictures(browser, tmp_path):
    from quillet.cli import main
    from video_clips import moments, picture, write_video

    def shifted(moment, width, height):
        return np.roll(picture(moment, width, height), int(moment * 100) % 5 + 1, axis=1)

    left = write_video(tmp_path / "left.mkv", moments(9, 10), 10)
    right = write_video(tmp_path / "right.mkv", moments(9, 10), 10, frame_maker=shifted)
    report = tmp_path / "report.html"
    assert main(["video", str(left), str(right), "--report", str(report), "--report-full-frames"]) == 1
    open_report(browser, report)
    assert drawn_points(browser, "charts", "psnr") == 9
    sizes = browser.execute_script(
        "return Array.from(document.querySelectorAll('.worst img')).map(i => [i.naturalWidth, i.naturalHeight])"
    )
    assert sizes == [[64, 48]] * 18  # thumbnails of 64x48 frames are the frames themselves
    assert console_errors(browser) == []
    assert [url for url in requested_urls(browser) if not url.startswith(("file:", "data:"))] == []


def test_batch_pair_page_shows_the_worst_frames_its_task_pictured(browser, tmp_path):
    pytest.importorskip("distributed")
    from quillet.cli import main
    from video_clips import moments, picture, write_video

    def darker(moment, width, height):
        return picture(moment, width, height) // 2

    write_video(tmp_path / "ref.mkv", moments(8, 10), 10)
    write_video(tmp_path / "dark.mkv", moments(8, 10), 10, frame_maker=darker)
    (tmp_path / "pairs.csv").write_text("left,right,name\nref.mkv,dark.mkv,dark\nref.mkv,ref.mkv,same\n")
    results = tmp_path / "results"
    assert main(["batch", str(tmp_path / "pairs.csv"), "--out", str(results), "--workers", "1", "--report"]) == 1
    open_report(browser, results / "report.html")
    browser.find_element("link text", "dark").click()
    start = time.perf_counter()
    while browser.execute_script("return document.documentElement.dataset.charts || null") != "ready":
        assert time.perf_counter() - start < 60, "the pair's page never drew its charts"
        time.sleep(0.02)
    assert drawn_points(browser, "charts", "psnr") == 8
    sizes = browser.execute_script(
        "return Array.from(document.querySelectorAll('.worst img'))"
        ".map(i => i.complete ? [i.naturalWidth, i.naturalHeight] : [0, 0])"
    )
    assert sizes == [[64, 48]] * 18
    browser.find_element("css selector", ".worst a.thumb").click()
    assert browser.execute_script("return document.getElementById('enlarged').open") is True
    assert console_errors(browser) == []
    assert [url for url in requested_urls(browser) if not url.startswith(("file:", "data:"))] == []


def test_hovering_a_point_shows_its_frame_and_clicking_keeps_it(browser, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains

    report = sample_video_report(40, worst=False)
    path = tmp_path / "report.html"
    write_video_report(path, report)
    open_report(browser, path)
    point = browser.find_elements("css selector", "#charts g.mark-symbol.points_psnr_1_marks path")[7]
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", point)
    ActionChains(browser).move_to_element(point).perform()
    psnr = f"{report.figures['psnr'][7]:.6g}"
    start = time.perf_counter()
    tooltip = ""
    while psnr not in tooltip and time.perf_counter() - start < 5:
        tooltip = browser.execute_script(
            "const e = document.getElementById('vg-tooltip-element'); return e ? e.textContent : ''"
        )
    assert "frame7" in tooltip.replace(" ", "") and psnr in tooltip
    ActionChains(browser).click(point).perform()
    details = browser.find_element("id", "frame-details").text
    assert details.startswith("frame 7 · time 0.28 · ") and f"psnr {psnr}" in details
