"""Sizes and load times of HTML reports for videos of 100 to 10,000 frames.

Usage: python bench/report_bench.py [--screenshot PATH]

For each length it writes a video report from made-up figures (the tests' samples, with six
worst frames of 640x360 pictures), prints its size, the time to write it and the time headless
Chromium takes to open it from disk and draw its charts (median of five loads, one browser).
Needs quillet with the `report` and `test` extras, and Debian's chromium and chromium-driver.
The first report of a process also pays for bundling the chart scripts once (a few seconds).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from report_samples import sample_figures, sample_video_report, sample_worst  # noqa: E402
from test_report_browser import open_report, start_browser  # noqa: E402

from quillet._report import write_video_report  # noqa: E402
from quillet._report_charts import vega_script  # noqa: E402

LENGTHS = (100, 1_000, 10_000)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--screenshot", type=Path, help="save a screenshot of the 1,000-frame report")
    args = parser.parse_args()

    start = time.perf_counter()
    vega_script()
    print(f"bundling the chart scripts (once per process): {time.perf_counter() - start:.2f} s")
    browser = start_browser()
    try:
        with tempfile.TemporaryDirectory() as folder:
            # One load first, so that the browser's own start-up is not counted.
            warm_up = Path(folder) / "warm-up.html"
            write_video_report(warm_up, sample_video_report(10, worst=False))
            open_report(browser, warm_up)
            print(f"{'frames':>8} {'size':>10} {'write':>8} {'load':>8}")
            for count in LENGTHS:
                report = sample_video_report(count, left_name="left.mp4")
                report.right_name = "right.mp4"
                report.worst = sample_worst(sample_figures(count), width=640, height=360)
                path = Path(folder) / f"report-{count}.html"
                start = time.perf_counter()
                write_video_report(path, report)
                written = time.perf_counter() - start
                loads = [open_report(browser, path) for _ in range(5)]
                size = path.stat().st_size
                print(f"{count:>8} {size / 1e6:>8.2f}MB {written:>7.2f}s {statistics.median(loads):>7.2f}s")
                if count == 1_000 and args.screenshot is not None:
                    browser.set_window_size(1200, 1900)
                    open_report(browser, path)
                    browser.save_screenshot(str(args.screenshot))
                    browser.set_window_size(1200, 900)
    finally:
        browser.quit()


if __name__ == "__main__":
    main()
