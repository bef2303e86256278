"""``quillet video``: compare two videos or image sequences frame by frame and summarise."""

from __future__ import annotations

import argparse
import csv
import sys
from contextlib import ExitStack
from dataclasses import dataclass, field
from fractions import Fraction
from typing import TextIO

from ._api import FrameComparer, Metrics, compared_size
from ._cli_common import (
    EXIT_DIFFERENT,
    EXIT_SAME,
    FIGURES,
    UsageError,
    failed_thresholds,
    threshold_values,
)
from ._progress import Progress, should_draw
from ._diff_writers import DiffFolderWriter, DiffVideoWriter
from ._outputs import atomic_output, check_outputs
from ._signals import signals_deferred
from ._sources import FrameSource, open_source

__all__ = ["run"]


@dataclass
class _FrameRecord:
    index: int
    metrics: Metrics


@dataclass
class _VideoTally:
    records: list[_FrameRecord] = field(default_factory=list)
    identical: int = 0
    failed: int = 0

    def summary_lines(self, worst_count: int = 5) -> list[str]:
        count = len(self.records)
        lines = [f"  {'figure':<9}{'mean':>14}{'min':>14}{'max':>14}  worst frame"]
        for name in FIGURES:
            values = [getattr(record.metrics, name) for record in self.records]
            pick_worst = min if name in ("ssim", "psnr") else max
            worst = pick_worst(
                self.records, key=lambda record: getattr(record.metrics, name)
            )
            worst_text = str(worst.index) if min(values) != max(values) else "-"
            lines.append(
                f"  {name:<9}{sum(values) / count:>14.6g}{min(values):>14.6g}"
                f"{max(values):>14.6g}  {worst_text}"
            )
        differing = [record for record in self.records if not record.metrics.identical]
        differing.sort(key=lambda record: (record.metrics.psnr, record.index))
        if differing:
            worst_text = ", ".join(
                f"{record.index} ({record.metrics.psnr:.2f} dB)"
                for record in differing[:worst_count]
            )
            lines.append(f"worst frames by psnr: {worst_text}")
        lines.append(f"identical frames: {self.identical} of {count}")
        return lines


def _open_sources(
    args: argparse.Namespace, stack: ExitStack
) -> tuple[FrameSource, FrameSource]:
    sources = []
    for location in (args.left, args.right):
        source = open_source(location, max_pixels=args.max_pixels)
        stack.callback(source.close)
        sources.append(source)
    return sources[0], sources[1]


def run(args: argparse.Namespace) -> int:
    """Compare two videos or image sequences frame by frame; return the exit status."""
    thresholds = threshold_values(args)
    check_outputs(
        inputs=[args.left, args.right],
        outputs=[args.csv, args.diff_video],
        folders=[args.diff_dir],
    )
    if args.diff_dir:
        DiffFolderWriter.check(args.diff_dir)
    if args.diff_video:
        DiffVideoWriter.check(args.diff_video)
    with ExitStack() as stack:
        left_source, right_source = _open_sources(args, stack)
        left_total, right_total = left_source.total, right_source.total
        lengths_known_to_differ = (
            left_total is not None
            and right_total is not None
            and left_total != right_total
        )
        if (
            left_total is not None
            and right_total is not None
            and left_total != right_total
        ):
            print(
                f"quillet: warning: {left_source.name} has {left_total} frames, "
                f"{right_source.name} has {right_total}; comparing the first "
                f"{min(left_total, right_total)}",
                file=sys.stderr,
            )
        csv_writer = None
        if args.csv:
            csv_file: TextIO = (
                sys.stdout
                if args.csv == "-"
                else stack.enter_context(
                    atomic_output(args.csv, "w", newline="", keep_on_interrupt=True)
                )
            )
            csv_writer = csv.writer(csv_file)
            csv_writer.writerow(["frame", *FIGURES])
        frame_rate = left_source.frame_rate or right_source.frame_rate or Fraction(25)
        diff_writer: DiffFolderWriter | DiffVideoWriter | None = None
        if args.diff_dir:
            diff_writer = DiffFolderWriter(args.diff_dir)
        elif args.diff_video:
            diff_writer = DiffVideoWriter(args.diff_video, frame_rate / args.every)
        if diff_writer is not None:
            stack.enter_context(diff_writer)

        known_totals = [
            total for total in (left_source.total, right_source.total) if total
        ]
        progress = stack.enter_context(
            Progress(
                min(known_totals) if known_totals else None,
                label="comparing",
                enabled=should_draw(table_on_stdout=args.csv == "-"),
            )
        )
        comparer = stack.enter_context(FrameComparer(ema_alpha=args.ema))
        tally = _VideoTally()
        left_frames, right_frames = iter(left_source), iter(right_source)
        index = 0
        try:
            while True:
                left, right = next(left_frames, None), next(right_frames, None)
                if left is None or right is None:
                    break
                progress.update()
                if index % args.every == 0:
                    if left.size != right.size:
                        raise UsageError(
                            f"frame {index}: {left_source.name} is {left.width}x{left.height}, "
                            f"{right_source.name} is {right.width}x{right.height}"
                        )
                    metrics = comparer.compare(left, right)
                    tally.records.append(_FrameRecord(index, metrics))
                    if left.rgb == right.rgb:
                        tally.identical += 1
                    elif not thresholds or failed_thresholds(metrics, thresholds):
                        tally.failed += 1
                    if csv_writer is not None:
                        csv_writer.writerow([index, *(repr(value) for value in metrics)])
                    if diff_writer is not None:
                        diff_writer.write(index, comparer.diff_picture())
                index += 1
        except KeyboardInterrupt as interruption:
            if csv_writer is not None:
                # The rows above stay; this last line says the table stops early.
                with signals_deferred():
                    reason = interruption.args[0] if interruption.args else "Ctrl-C"
                    csv_file.write(
                        f"# interrupted ({reason}) after {len(tally.records)} "
                        "compared frame pairs\n"
                    )
                    csv_file.flush()
            raise
        progress.close()

        lengths_differ = (left is None) != (right is None)
        if lengths_differ and not lengths_known_to_differ:
            shorter, longer = (
                (left_source, right_source)
                if left is None
                else (right_source, left_source)
            )
            print(
                f"quillet: warning: {shorter.name} ended after {index} frames but {longer.name} "
                f"goes on; compared the first {index}",
                file=sys.stderr,
            )
        if not tally.records:
            raise UsageError("there were no frame pairs to compare")

        size = comparer.size or (0, 0)
        # With the table on standard output, the summary goes to standard error.
        summary = sys.stderr if args.csv == "-" else sys.stdout
        return _print_video_summary(
            summary,
            args,
            (left_source.name, right_source.name),
            size,
            tally,
            lengths_differ,
        )


def _print_video_summary(
    out: TextIO,
    args: argparse.Namespace,
    names: tuple[str, str],
    size: tuple[int, int],
    tally: _VideoTally,
    lengths_differ: bool,
) -> int:
    compared = compared_size(*size)
    size_note = f"{size[0]}x{size[1]}"
    if compared != size:
        size_note += f", compared at {compared[0]}x{compared[1]}"
    step_note = f", one frame in {args.every}" if args.every > 1 else ""
    smoothing = f", smoothing {args.ema:g}" if args.ema < 1.0 else ""
    print(
        f"{names[0]} vs {names[1]}: {len(tally.records)} frame pairs "
        f"compared ({size_note}{step_note}{smoothing})",
        file=out,
    )
    for line in tally.summary_lines():
        print(line, file=out)
    if lengths_differ:
        print("result: different lengths", file=out)
        return EXIT_DIFFERENT
    if tally.failed:
        reason = "outside the thresholds" if threshold_values(args) else "different"
        print(
            f"result: {tally.failed} of {len(tally.records)} frame pairs {reason}",
            file=out,
        )
        return EXIT_DIFFERENT
    all_identical = tally.identical == len(tally.records)
    print(
        "result: " + ("identical" if all_identical else "within the thresholds"),
        file=out,
    )
    return EXIT_SAME
