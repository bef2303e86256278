"""The HTML pages of a batch: one page for the whole batch and one per pair.

A pair's page is the page ``quillet video --report`` writes, with the same collector and
renderer. When the batch runs with a report, each pair's task feeds the collector while it
compares and writes the page itself, worst-frame pictures included, so the pictures never
travel to the driver; the frames file then carries a stamp of that page. After the run the
driver keeps every page whose stamp still holds (same thresholds, same bytes on disk) and
builds the others from the frames files, read in slices so that memory stays a few numbers per
frame: those pages have no pictures, since the pictures are only taken while a pair is compared.
"""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Mapping, Sequence
from types import SimpleNamespace
from typing import Any

from ._optional import _require
from ._outputs import atomic_output
from ._report import (
    BatchPair,
    BatchReport,
    RunInfo,
    VideoReport,
    render_video_report,
    write_batch_report,
)
from ._report_video import VideoReportCollector, figure_bounds
from ._thresholds import Thresholds

__all__ = [
    "PAGE_STAMP_KEY",
    "REPORTS_FOLDER",
    "REPORT_FILE",
    "pair_page_file",
    "write_batch_pages",
    "write_compared_pair_page",
]

REPORT_FILE = "report.html"
REPORTS_FOLDER = "reports"
PAGE_STAMP_KEY = b"quillet.batch.page"
"""Frames file metadata: the page its task wrote (path, thresholds, SHA-256 of its bytes)."""

# Frame table columns that are not figures.
_FRAME_FACTS = frozenset({"frame", "left_time", "right_index", "right_time", "identical"})
# The summary figures of the pairs' table, in the order the batch page shows them.
_TABLE_COLUMNS = (
    "psnr_mean", "psnr_min", "ssim_mean", "ssim_min", "mse_max", "max_diff_max",
    "psnr_rgb_mean", "psnr_rgb_min", "ssim_rgb_mean", "ssim_rgb_min",
)
_MATCHING_VERDICTS = frozenset({"identical", "within thresholds"})
_FAILED_VERDICTS = frozenset({"different", "error"})
_NO_PICTURES_NOTE = (
    "No pictures: this pair's results were kept from an earlier run, and the worst frames are "
    "pictured only while a pair is compared with --report and the same thresholds. Run the "
    "batch again with --report --force to see them."
)


def _passed(verdict: str) -> bool | None:
    if verdict in _MATCHING_VERDICTS:
        return True
    return False if verdict in _FAILED_VERDICTS else None


def pair_page_file(name: str) -> str:
    """Where a pair's page goes, relative to the batch's results folder."""
    return os.path.join(REPORTS_FOLDER, f"{name}.html")


def _pair_report(
    row: Mapping[str, Any], collector: VideoReportCollector, run: RunInfo | None
) -> VideoReport:
    """The report of one pair from its row (facts, verdict, failures) and what its collector saw."""
    facts = {
        **row,
        "left_name": row["left"],
        "right_name": row["right"],
        "identical": row.get("identical_frames"),
    }
    verdict = str(row.get("verdict") or "")
    report = collector.report(
        SimpleNamespace(**facts), run, verdict=verdict, passed=_passed(verdict)
    )
    if row.get("failures"):
        report.failures = [str(row["failures"]), *report.failures]
    return report


def _write_pair_page(results_dir: str, name: str, report: VideoReport) -> tuple[str, str]:
    """Write a pair's page whole or not at all; return its relative path and SHA-256."""
    page = pair_page_file(name)
    data = render_video_report(report).encode("utf-8")
    os.makedirs(os.path.join(results_dir, REPORTS_FOLDER), exist_ok=True)
    with atomic_output(os.path.join(results_dir, page), mode="wb") as out:
        out.write(data)
    return page, hashlib.sha256(data).hexdigest()


def write_compared_pair_page(
    results_dir: str,
    row: Mapping[str, Any],
    collector: VideoReportCollector,
    thresholds: Thresholds,
    run: RunInfo | None,
) -> bytes:
    """Write the page of a pair just compared (its collector holds the worst frames' pictures)
    and return the stamp that its frames file keeps under :data:`PAGE_STAMP_KEY`."""
    report = _pair_report(row, collector, run)
    page, digest = _write_pair_page(results_dir, str(row["name"]), report)
    return json.dumps(
        {"page": page, "thresholds": thresholds.given(), "sha256": digest}, sort_keys=True
    ).encode()


def _current_page(
    results_dir: str, name: str, frames_file: str, thresholds: Thresholds
) -> str | None:
    """The page written when the pair was compared, if it still shows these thresholds and
    nothing has replaced it since; None when it has to be built again."""
    parquet = _require("pyarrow.parquet", "pyarrow", "batch", "the pages of a batch")
    try:
        metadata = parquet.read_metadata(os.path.join(results_dir, frames_file)).metadata or {}
        stamp = json.loads(metadata[PAGE_STAMP_KEY])
        page = pair_page_file(name)
        if stamp["page"] != page or stamp["thresholds"] != thresholds.given():
            return None
        with open(os.path.join(results_dir, page), "rb") as stored:
            if hashlib.file_digest(stored, "sha256").hexdigest() != stamp["sha256"]:
                return None
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return page


def _pair_page(
    results_dir: str, row: Mapping[str, Any], thresholds: Thresholds, run: RunInfo | None
) -> str | None:
    """The page of one pair, kept from its comparison or built from its frames file; return its
    path relative to the results."""
    frames_file = row.get("frames_file")
    if not frames_file or row.get("error"):
        return None
    kept = _current_page(results_dir, str(row["name"]), frames_file, thresholds)
    if kept is not None:
        return kept
    parquet = _require("pyarrow.parquet", "pyarrow", "batch", "the pages of a batch")
    collector = VideoReportCollector(thresholds)
    table_file = parquet.ParquetFile(os.path.join(results_dir, frames_file))
    figures = [name for name in table_file.schema_arrow.names if name not in _FRAME_FACTS]
    for batch in table_file.iter_batches(columns=["frame", "left_time", *figures]):
        for frame_row in batch.to_pylist():
            values = {name: _number(frame_row[name]) for name in figures}
            collector.add_figures(frame_row["frame"], frame_row["left_time"], values)
    report = _pair_report(row, collector, run)
    if row.get("identical_frames") != row.get("compared"):
        report.worst_note = _NO_PICTURES_NOTE
    page, _ = _write_pair_page(results_dir, str(row["name"]), report)
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
    that has frames (keeping the pages written with pictures while the pairs were compared);
    return the path of the batch page."""
    results = os.fspath(results_dir)
    thresholds = thresholds if thresholds is not None else Thresholds()
    os.makedirs(os.path.join(results, REPORTS_FOLDER), exist_ok=True)
    pairs = []
    present: set[str] = set()
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
