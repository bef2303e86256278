"""The HTML pages of a batch: one page for the whole batch and one per pair.

Both are built from the batch's results after the run: the pairs' table (one row per pair, as
``pairs.parquet`` holds it) and each pair's frames file, read in slices so that memory stays a
few numbers per frame. Batch runs keep no pictures, so a pair's page has no worst-frame
pictures; ``quillet video --report`` draws them for one pair.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from types import SimpleNamespace
from typing import Any

from ._optional import _require
from ._report import BatchPair, BatchReport, RunInfo, write_batch_report, write_video_report
from ._report_video import VideoReportCollector, figure_bounds
from ._thresholds import Thresholds

__all__ = ["REPORT_FILE", "REPORTS_FOLDER", "write_batch_pages"]

REPORT_FILE = "report.html"
REPORTS_FOLDER = "reports"

# Frame table columns that are not figures.
_FRAME_FACTS = frozenset({"frame", "left_time", "right_index", "right_time", "identical"})
# The summary figures of the pairs' table, in the order the batch page shows them.
_TABLE_COLUMNS = (
    "psnr_mean", "psnr_min", "ssim_mean", "ssim_min", "mse_max", "max_diff_max",
    "psnr_rgb_mean", "psnr_rgb_min", "ssim_rgb_mean", "ssim_rgb_min",
)
_MATCHING_VERDICTS = frozenset({"identical", "within thresholds"})
_FAILED_VERDICTS = frozenset({"different", "error"})


def _passed(verdict: str) -> bool | None:
    if verdict in _MATCHING_VERDICTS:
        return True
    return False if verdict in _FAILED_VERDICTS else None


def _pair_page(
    results_dir: str, row: Mapping[str, Any], thresholds: Thresholds, run: RunInfo | None
) -> str | None:
    """Write the page of one pair from its frames file; return its path relative to the results."""
    frames_file = row.get("frames_file")
    if not frames_file or row.get("error"):
        return None
    parquet = _require("pyarrow.parquet", "pyarrow", "batch", "the pages of a batch")
    collector = VideoReportCollector(thresholds)
    table_file = parquet.ParquetFile(os.path.join(results_dir, frames_file))
    figures = [name for name in table_file.schema_arrow.names if name not in _FRAME_FACTS]
    for batch in table_file.iter_batches(columns=["frame", "left_time", *figures]):
        for frame_row in batch.to_pylist():
            values = {name: _number(frame_row[name]) for name in figures}
            collector.add_figures(frame_row["frame"], frame_row["left_time"], values)
    facts = {
        **row,
        "left_name": row["left"],
        "right_name": row["right"],
        "identical": row.get("identical_frames"),
    }
    verdict = str(row.get("verdict") or "")
    report = collector.report(SimpleNamespace(**facts), run, verdict=verdict, passed=_passed(verdict))
    if row.get("failures"):
        report.failures = [str(row["failures"]), *report.failures]
    report.worst_note = (
        "Batch runs keep no pictures; quillet video --report shows this pair's worst frames."
    )
    page = os.path.join(REPORTS_FOLDER, f"{row['name']}.html")
    write_video_report(os.path.join(results_dir, page), report)
    return page


def _number(value: Any) -> float:
    return float("nan") if value is None else float(value)


def write_batch_pages(
    results_dir: str | os.PathLike[str],
    rows: Sequence[Mapping[str, Any]],
    thresholds: Thresholds | None = None,
    run: RunInfo | None = None,
    *,
    title: str | None = None,
) -> str:
    """Write ``results_dir/report.html`` and ``results_dir/reports/NAME.html`` for every pair
    that has frames; return the path of the batch page."""
    results = os.fspath(results_dir)
    thresholds = thresholds if thresholds is not None else Thresholds()
    os.makedirs(os.path.join(results, REPORTS_FOLDER), exist_ok=True)
    pairs = []
    present = set()
    for row in rows:
        page = _pair_page(results, row, thresholds, run)
        figures = {
            column: float(row[column]) for column in _TABLE_COLUMNS if row.get(column) is not None
        }
        present.update(figures)
        verdict = str(row.get("verdict") or "")
        message = str(row.get("error") or row.get("failures") or "")
        pairs.append(
            BatchPair(str(row["name"]), str(row["left"]), str(row["right"]), figures,
                      verdict, _passed(verdict), message, page)
        )
    columns = [column for column in _TABLE_COLUMNS if column in present]
    report = BatchReport(
        title=title or f"batch: {os.path.basename(os.path.abspath(results))}",
        pairs=pairs,
        columns=columns,
        distribution="psnr_min" if "psnr_min" in present else (columns[0] if columns else None),
        thresholds=figure_bounds(thresholds),
        run=run,
    )
    path = os.path.join(results, REPORT_FILE)
    write_batch_report(path, report)
    return path
