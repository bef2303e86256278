"""Gathering a video comparison's report while the frames stream past.

:class:`VideoReportCollector` is handed every compared pair (it is the comparison's
``on_record`` callback). It keeps each figure of every frame as packed doubles, for the charts
and statistics, and pictures of the current worst frames only, so its memory is a few numbers
per frame plus a handful of PNGs however long the video.
"""

from __future__ import annotations

import math
from array import array
from collections.abc import Mapping
from typing import Any

from ._report import RunInfo, VideoReport
from ._report_pictures import WorstFrames, worst_frame_pictures
from ._thresholds import THRESHOLD_FIGURES, Thresholds

__all__ = ["VideoReportCollector", "figure_bounds", "summary_rows"]

WORST_FRAME_COUNT = 6
FAILURE_LINES = 20
"""Frames whose missed bounds are listed one by one; the rest are counted."""


class VideoReportCollector:
    """Collects what the report of one video comparison shows, one pair at a time."""

    def __init__(
        self,
        thresholds: Thresholds | None = None,
        *,
        full_frames: bool = False,
        worst_count: int = WORST_FRAME_COUNT,
    ) -> None:
        self._thresholds = thresholds if thresholds is not None else Thresholds()
        self._full_frames = full_frames
        self._frames = array("q")
        self._times = array("d")  # NaN where a frame has no time
        self._columns: dict[str, array[float]] = {}
        self._worst = WorstFrames(worst_count)
        self._failing = 0
        self._failure_lines: list[str] = []

    @property
    def failing_frames(self) -> int:
        """How many compared pairs missed a threshold."""
        return self._failing

    def add_figures(self, frame: int, time: float | None, values: Mapping[str, float]) -> None:
        """Take one compared pair's figures (no pictures)."""
        if not self._columns:
            self._columns = {name: array("d") for name in values}
        for name, column in self._columns.items():
            column.append(values.get(name, math.nan))
        self._frames.append(frame)
        self._times.append(math.nan if time is None else time)
        missed = self._thresholds.failures(values)
        if missed:
            self._failing += 1
            if len(self._failure_lines) < FAILURE_LINES:
                self._failure_lines.append(f"frame {frame}: " + "; ".join(missed))

    def on_record(self, record: Any, view: Any) -> None:
        """Take one compared pair (a ``PairRecord`` and its ``PairView``)."""
        values: dict[str, float] = record.figures()
        time = record.left_time
        self.add_figures(record.frame, time, values)
        if record.identical:
            return  # nothing to see in the pictures of an identical pair
        # Pictures are encoded here, while the view is valid, and only for a frame that
        # enters the worst set.
        self._worst.offer(
            record.metrics.psnr,
            lambda: worst_frame_pictures(
                record.frame, time, values, view.left, view.right, view.diff(), self._full_frames
            ),
        )

    def report(
        self,
        summary: Any,
        run: RunInfo | None,
        *,
        verdict: str = "",
        passed: bool | None = None,
    ) -> VideoReport:
        """The report, with the facts of ``summary`` (a ``VideoSummary``) and the run's verdict."""
        failures = list(self._failure_lines)
        if self._failing > len(failures):
            failures.append(f"... and {self._failing - len(failures)} more frames outside the thresholds")
        return VideoReport(
            left_name=str(summary.left_name),
            right_name=str(summary.right_name),
            frames=self._frames,
            times=[None if math.isnan(t) else t for t in self._times],
            figures=self._columns,
            summary=summary_rows(summary),
            thresholds=figure_bounds(self._thresholds),
            verdict=verdict,
            passed=passed,
            failures=failures,
            worst=self._worst.worst_first(),
            worst_note="No compared pair differs.",
            run=run,
        )


def figure_bounds(thresholds: Thresholds) -> dict[str, float]:
    """The bounds that are set, by the name of the figure they bound (as the charts draw them)."""
    return {THRESHOLD_FIGURES[name][0]: bound for name, bound in thresholds.given().items()}


def summary_rows(summary: Any) -> list[tuple[str, str]]:
    """The facts of a comparison's summary as (label, text) rows for the report."""

    def fact(name: str, default: Any = None) -> Any:
        return getattr(summary, name, default)

    size = f"{fact('width')}x{fact('height')}"
    compared = (fact("compared_width"), fact("compared_height"))
    if None not in compared and compared != (fact("width"), fact("height")):
        size += f", compared at {compared[0]}x{compared[1]}"
    rows = [
        ("frames compared", str(fact("compared"))),
        ("pairing", f"by {fact('pairing')}"),
        ("frame size", size),
        ("left frames", _count(fact("left_frames"))),
        ("right frames", _count(fact("right_frames"))),
        ("right frames used again", str(fact("repeated", 0))),
        ("right frames never used", str(fact("skipped", 0))),
        ("identical pairs", str(fact("identical", 0))),
    ]
    if fact("lengths_differ"):
        rows.append(("lengths", "the two inputs have different lengths"))
    if fact("interrupted"):
        rows.append(("interrupted", "the comparison was stopped before the end"))
    return rows


def _count(value: Any) -> str:
    return "unknown" if value is None else str(value)

