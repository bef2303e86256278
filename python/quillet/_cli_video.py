"""``quillet video``: compare two videos or image sequences pair by pair through the video
engine, write the table and the difference pictures as the pairs go by, and summarise."""

from __future__ import annotations

import argparse
import csv
import sys
from contextlib import ExitStack
from fractions import Fraction
from typing import TYPE_CHECKING, Any, TextIO

from ._cli_common import EXIT_DIFFERENT, EXIT_SAME, UsageError, thresholds_from_args
from ._diff_writers import DiffFolderWriter, DiffVideoWriter
from ._limits import DEFAULT_MAX_PIXELS
from ._outputs import atomic_output, check_outputs
from ._progress import Progress, should_draw
from ._signals import signals_deferred
from ._standard import STANDARD_FIGURES
from ._thresholds import Thresholds
from ._video import (
    METRIC_FIGURES,
    PairRecord,
    PairView,
    VideoOptions,
    VideoSummary,
    compare_videos,
)

if TYPE_CHECKING:
    from ._report_video import VideoReportCollector

__all__ = ["CSV_COLUMNS", "run"]

CSV_COLUMNS = ("frame", "left_time", "right_index", "right_time", *METRIC_FIGURES)
"""The table's columns; the standard figures follow when they are computed."""

DEFAULT_FRAME_RATE = Fraction(25)
"""The difference video's rate when neither side has one (two image sequences without --fps)."""


def _options(args: argparse.Namespace, thresholds: Thresholds) -> VideoOptions:
    # A bound on a standard figure needs the standard figures computed.
    standard = bool(getattr(args, "standard", False)) or thresholds.bounds_standard_figures
    return VideoOptions(
        ema=args.ema,
        every=args.every,
        pair=getattr(args, "pair", None),
        fps=getattr(args, "fps", None),
        max_pixels=getattr(args, "max_pixels", DEFAULT_MAX_PIXELS),
        standard=standard,
    )


def _time_text(seconds: float | None) -> str:
    return "" if seconds is None else repr(seconds)


def _interruption_reason(interruption: BaseException | None) -> str:
    if interruption is not None and interruption.args:
        return str(interruption.args[0])
    return "Ctrl-C"


class _VideoRun:
    """The outputs of one run, fed record by record from the engine's callbacks."""

    def __init__(
        self, args: argparse.Namespace, thresholds: Thresholds, options: VideoOptions
    ) -> None:
        self.args = args
        self.thresholds = thresholds
        self.options = options
        self.columns = CSV_COLUMNS + (STANDARD_FIGURES if options.standard else ())
        self.stack = ExitStack()
        self.table_file: TextIO | None = None
        self.table: Any = None
        self.diff_writer: DiffFolderWriter | DiffVideoWriter | None = None
        self.failed = 0
        self.progress: Progress | None = None
        self.report: VideoReportCollector | None = None
        if args.report:
            # Reports are imported only when asked for: they cost a start-up of their own.
            from ._report_video import VideoReportCollector

            self.report = VideoReportCollector(thresholds, full_frames=args.report_full_frames)

    def open_table(self) -> None:
        if not self.args.csv:
            return
        if self.args.csv == "-":
            self.table_file = sys.stdout
        else:
            self.table_file = self.stack.enter_context(
                atomic_output(self.args.csv, "w", newline="", keep_on_interrupt=True)
            )
        self.table = csv.writer(self.table_file)
        self.table.writerow(self.columns)

    def start(self, summary: VideoSummary) -> None:
        """Called by the engine once both sources are open: the writers that need a rate."""
        if self.args.diff_dir:
            self.diff_writer = self.stack.enter_context(DiffFolderWriter(self.args.diff_dir))
        elif self.args.diff_video:
            rate = (summary.frame_rate or DEFAULT_FRAME_RATE) / self.options.every
            self.diff_writer = self.stack.enter_context(
                DiffVideoWriter(self.args.diff_video, rate)
            )
        self.progress = self.stack.enter_context(
            Progress(
                None,
                label="comparing",
                enabled=should_draw(table_on_stdout=self.args.csv == "-"),
            )
        )

    def record(self, record: PairRecord, view: PairView) -> None:
        figures = record.figures()
        if self.table is not None:
            self.table.writerow(
                [
                    record.frame,
                    _time_text(record.left_time),
                    record.right_index,
                    _time_text(record.right_time),
                    *(repr(figures[name]) for name in self.columns[4:]),
                ]
            )
        if self.diff_writer is not None:
            self.diff_writer.write(record.frame, view.diff())
        if self.report is not None:
            self.report.on_record(record, view)
        if not record.identical and (
            self.thresholds.is_empty or self.thresholds.failures(figures)
        ):
            self.failed += 1

    def advance(self, done: int, total: int | None) -> None:
        if self.progress is not None:
            if total and self.progress.total is None:
                self.progress.total = total
            self.progress.update(done - self.progress.count)

    def mark_interrupted(self, interruption: BaseException | None, compared: int) -> None:
        """End the table with a line saying that the run stopped early."""
        if self.table_file is None:
            return
        with signals_deferred():
            self.table_file.write(
                f"# interrupted ({_interruption_reason(interruption)}) after {compared} "
                "compared frame pairs\n"
            )
            self.table_file.flush()


def run(args: argparse.Namespace) -> int:
    """Compare two videos or image sequences frame by frame; return the exit status."""
    thresholds = thresholds_from_args(args)
    options = _options(args, thresholds)
    check_outputs(
        inputs=[args.left, args.right],
        outputs=[args.csv, args.diff_video, args.report],
        folders=[args.diff_dir],
    )
    if args.report_full_frames and not args.report:
        raise UsageError("--report-full-frames needs --report FILE")
    if args.report:
        from ._report import check_report_libraries

        check_report_libraries()
    if args.diff_dir:
        DiffFolderWriter.check(args.diff_dir)
    if args.diff_video:
        DiffVideoWriter.check(args.diff_video)
    # A whole video is a stream of frame-sized blocks: let this process reuse their pages.
    from . import _direct

    _direct.reuse_freed_frames()
    session = _VideoRun(args, thresholds, options)
    with session.stack:
        session.open_table()
        try:
            summary = compare_videos(
                args.left,
                args.right,
                options,
                on_record=session.record,
                progress=session.advance,
                on_start=session.start,
            )
        except KeyboardInterrupt as interruption:
            # Stopped outside the pair loop (while opening or closing a source).
            session.mark_interrupted(interruption, 0)
            raise
        if summary.interrupted:
            session.mark_interrupted(summary.interruption, summary.compared)
    if summary.compared == 0 and not summary.interrupted:
        raise UsageError(f"there were no frame pairs to compare: {_no_pairs_reason(summary)}")
    # With the table on standard output, the summary goes to standard error.
    out = sys.stderr if args.csv == "-" else sys.stdout
    lines = summary_lines(summary, options, thresholds, session.failed)
    for line in lines:
        print(line, file=out)
    status = EXIT_DIFFERENT if summary.lengths_differ or session.failed else EXIT_SAME
    if session.report is not None:
        verdict = lines[-1].removeprefix("result: ")
        passed = None if summary.interrupted else status == EXIT_SAME
        from ._report import RunInfo, write_video_report

        run_info = RunInfo.current(getattr(args, "command_line", sys.argv))
        report = session.report.report(summary, run_info, verdict=verdict, passed=passed)
        write_video_report(args.report, report)
        print(f"report: {args.report}", file=out)
    if summary.interruption is not None:
        # The outputs are complete: the command ends as every interrupted command does.
        raise summary.interruption
    return status


def _no_pairs_reason(summary: VideoSummary) -> str:
    for name, count in (
        (summary.left_name, summary.left_frames),
        (summary.right_name, summary.right_frames),
    ):
        if count == 0:
            return f"{name} has no frames"
    return f"{summary.left_name} and {summary.right_name} share no moment"


def _figure_text(value: float) -> str:
    return f"{value:.6g}"


def summary_lines(
    summary: VideoSummary, options: VideoOptions, thresholds: Thresholds, failed: int
) -> list[str]:
    """The summary printed after a run: what was compared, how it was paired, the figures'
    statistics, the worst frames and the verdict."""
    size = f"{summary.width}x{summary.height}"
    if (summary.compared_width, summary.compared_height) != (summary.width, summary.height):
        size += f", compared at {summary.compared_width}x{summary.compared_height}"
    notes = [size] if summary.compared else []
    if options.every > 1:
        notes.append(f"one frame in {options.every}")
    if options.ema < 1.0:
        notes.append(f"smoothing {options.ema:g}")
    lines = [
        f"{summary.left_name} vs {summary.right_name}: {summary.compared} frame pairs compared"
        + (f" ({', '.join(notes)})" if notes else "")
    ]
    pairing = "by presentation time" if summary.pairing == "time" else "by index"
    lines.append(
        f"paired {pairing}: {summary.repeated} right frames repeated, "
        f"{summary.skipped} skipped"
    )
    if summary.compared:
        lines.append(f"  {'figure':<9}{'mean':>14}{'min':>14}{'max':>14}  worst frame")
        for name, stats in summary.figures.items():
            worst = str(stats.worst_frame) if stats.min != stats.max else "-"
            lines.append(
                f"  {name:<9}{_figure_text(stats.mean):>14}{_figure_text(stats.min):>14}"
                f"{_figure_text(stats.max):>14}  {worst}"
            )
        if summary.worst_frames:
            worst_text = ", ".join(
                f"{frame} ({psnr:.2f} dB)" for frame, psnr in summary.worst_frames
            )
            lines.append(f"worst frames by psnr: {worst_text}")
        lines.append(f"identical frames: {summary.identical} of {summary.compared}")
    if summary.lengths_differ:
        left_count = ("" if summary.left_frames_exact else "at least ") + str(summary.left_frames)
        right_count = ("" if summary.right_frames_exact else "at least ") + str(
            summary.right_frames
        )
        lines.append(
            f"lengths differ: {summary.left_name} has {left_count} frames, "
            f"{summary.right_name} has {right_count}; the common part was compared"
        )
    if summary.interrupted:
        lines.append(
            f"result: interrupted ({_interruption_reason(summary.interruption)}) after "
            f"{summary.compared} frame pairs"
        )
    elif summary.lengths_differ:
        lines.append("result: different lengths")
    elif failed:
        reason = "different" if thresholds.is_empty else "outside the thresholds"
        lines.append(f"result: {failed} of {summary.compared} frame pairs {reason}")
    elif summary.compared:
        lines.append(
            "result: "
            + ("identical" if summary.identical == summary.compared else "within the thresholds")
        )
    return lines
