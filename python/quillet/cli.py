"""The ``quillet`` command: compare two images, two videos or image sequences, or run a demo."""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import sys
from collections.abc import Sequence
from contextlib import ExitStack
from dataclasses import dataclass, field
from fractions import Fraction
from importlib import resources
from typing import Any, TextIO

from ._api import (
    MAX_SQUARED_DISTANCE,
    DiffPicture,
    FrameComparer,
    Metrics,
    compare,
    compare_with_diff,
    compared_size,
)
from ._frames import Frame
from ._progress import Progress
from ._sources import (
    DiffFolderWriter,
    DiffVideoWriter,
    FrameSource,
    SourceError,
    open_source,
)

__all__ = ["main"]

EXIT_SAME = 0
EXIT_DIFFERENT = 1
EXIT_ERROR = 2

FIGURES = ("ssim", "psnr", "mse", "max_diff")

# (option, metric, "min" or "max"): a threshold is met when the metric is on the right side.
THRESHOLDS = (
    ("min_ssim", "ssim", "min"),
    ("min_psnr", "psnr", "min"),
    ("max_mse", "mse", "max"),
    ("max_diff", "max_diff", "max"),
)

EXPLANATIONS = {
    "ssim": "luma similarity, 1 = same brightness everywhere",
    "psnr": "higher is closer, 100 = identical",
    "mse": f"mean squared RGB distance, 0..{MAX_SQUARED_DISTANCE}",
    "max_diff": f"largest squared RGB distance of a pixel, 0..{MAX_SQUARED_DISTANCE}",
}


class UsageError(Exception):
    """A problem with what the user asked for; reported in one line with exit status 2."""


def _describe_error(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.strerror}: {error.filename}"
    return str(error) or type(error).__name__


def _threshold_values(args: argparse.Namespace) -> dict[str, float]:
    return {
        option: getattr(args, option)
        for option, _, _ in THRESHOLDS
        if getattr(args, option) is not None
    }


def _failed_thresholds(metrics: Metrics, thresholds: dict[str, float]) -> list[str]:
    """One line per threshold that the metrics miss, such as 'psnr 31.2 < 35 (--min-psnr)'."""
    failures = []
    for option, metric, side in THRESHOLDS:
        if option not in thresholds:
            continue
        value, bound = getattr(metrics, metric), thresholds[option]
        if side == "min" and not value >= bound:
            failures.append(
                f"{metric} {value:.6g} < {bound:g} (--{option.replace('_', '-')})"
            )
        if side == "max" and not value <= bound:
            failures.append(
                f"{metric} {value:.6g} > {bound:g} (--{option.replace('_', '-')})"
            )
    return failures


def _format_figure(name: str, value: float) -> str:
    if name == "ssim":
        return f"{value:.6f}"
    if name == "psnr":
        return f"{value:.2f} dB"
    return f"{value:.6g}"


def _load_image(path: str) -> Frame:
    try:
        return Frame.open(path)
    except FileNotFoundError as error:
        raise UsageError(f"no such file: {path}") from error
    except IsADirectoryError as error:
        raise UsageError(
            f"{path} is a folder, not an image (use 'quillet video' for sequences)"
        ) from error
    except OSError as error:
        raise UsageError(
            f"cannot read {path} as an image: {_describe_error(error)}"
        ) from error


def _check_sizes(left: Frame, right: Frame, left_name: str, right_name: str) -> None:
    if left.size != right.size:
        raise UsageError(
            f"the images differ in size: {left_name} is {left.width}x{left.height}, "
            f"{right_name} is {right.width}x{right.height}"
        )


def _run_compare(args: argparse.Namespace) -> int:
    left, right = _load_image(args.left), _load_image(args.right)
    _check_sizes(left, right, args.left, args.right)
    picture: DiffPicture | None = None
    if args.diff:
        metrics, picture = compare_with_diff(left, right)
    else:
        metrics = compare(left, right)
    if picture is not None:
        try:
            picture.save(args.diff)
        except (OSError, ValueError) as error:
            raise UsageError(
                f"cannot write {args.diff}: {_describe_error(error)}"
            ) from error

    identical = left.rgb == right.rgb
    thresholds = _threshold_values(args)
    failures = _failed_thresholds(metrics, thresholds)
    if identical:
        verdict, status = "identical", EXIT_SAME
    elif not thresholds:
        verdict, status = (
            "different (give thresholds such as --min-psnr to accept small differences)",
            EXIT_DIFFERENT,
        )
    elif failures:
        verdict, status = (
            "outside the thresholds: " + "; ".join(failures),
            EXIT_DIFFERENT,
        )
    else:
        verdict, status = "within the thresholds", EXIT_SAME
    compared = compared_size(left.width, left.height)

    if args.json:
        report: dict[str, Any] = {
            "left": args.left,
            "right": args.right,
            "width": left.width,
            "height": left.height,
            "compared_width": compared[0],
            "compared_height": compared[1],
            **metrics._asdict(),
            "identical": identical,
            "thresholds": thresholds,
            "failed": failures,
            "passed": status == EXIT_SAME,
            "diff": args.diff,
        }
        print(json.dumps(report, indent=2))
        return status

    size_note = f"{left.width}x{left.height}"
    if compared != left.size:
        size_note += f", compared at {compared[0]}x{compared[1]}"
    print(f"{args.left} vs {args.right} ({size_note})")
    for name in FIGURES:
        value = _format_figure(name, getattr(metrics, name))
        print(f"  {name:<9}{value:>14}   {EXPLANATIONS[name]}")
    if not identical and metrics.identical:
        print(
            "  the images differ only in pixels that the reduced comparison leaves out"
        )
    if picture is not None:
        print(f"difference picture ({picture.width}x{picture.height}): {args.diff}")
    print(f"result: {verdict}")
    return status


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
        source = open_source(location)
        stack.callback(source.close)
        sources.append(source)
    return sources[0], sources[1]


def _run_video(args: argparse.Namespace) -> int:
    thresholds = _threshold_values(args)
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
                    open(args.csv, "w", newline="", encoding="utf-8")
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
            stack.callback(diff_writer.close)

        known_totals = [
            total for total in (left_source.total, right_source.total) if total
        ]
        progress = stack.enter_context(
            Progress(
                min(known_totals) if known_totals else None,
                label="comparing",
                enabled=None,
            )
        )
        comparer = stack.enter_context(FrameComparer(ema_alpha=args.ema))
        tally = _VideoTally()
        left_frames, right_frames = iter(left_source), iter(right_source)
        index = 0
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
                elif not thresholds or _failed_thresholds(metrics, thresholds):
                    tally.failed += 1
                if csv_writer is not None:
                    csv_writer.writerow([index, *(repr(value) for value in metrics)])
                if diff_writer is not None:
                    diff_writer.write(index, comparer.diff_picture())
            index += 1
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
        reason = "outside the thresholds" if _threshold_values(args) else "different"
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


def _run_demo(args: argparse.Namespace) -> int:
    samples = resources.files("quillet") / "samples"
    frames = []
    for name in ("left.png", "right.png"):
        with resources.as_file(samples / name) as path:
            frames.append(Frame.open(path))
    left, right = frames
    metrics, picture = compare_with_diff(left, right)
    try:
        picture.save(args.out)
    except (OSError, ValueError) as error:
        raise UsageError(
            f"cannot write {args.out}: {_describe_error(error)}"
        ) from error
    print(
        f"Compared two {left.width}x{left.height} sample frames shipped with quillet: a scene, and "
        "the same scene with the ball moved, the sign recoloured and a patch of noise."
    )
    for name in FIGURES:
        value = _format_figure(name, getattr(metrics, name))
        print(f"  {name:<9}{value:>14}   {EXPLANATIONS[name]}")
    print(
        f"Difference picture: {args.out}\n"
        "  where the frames agree it shows the left frame; where they differ, a heat colour\n"
        "  from blue (small) through green to red (the largest difference)."
    )
    print("Next: quillet compare LEFT.png RIGHT.png --diff diff.png")
    return EXIT_SAME


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _alpha(text: str) -> float:
    value = float(text)
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {text}")
    return value


def _finite_float(text: str) -> float:
    value = float(text)
    if math.isnan(value):
        raise argparse.ArgumentTypeError("must be a number")
    return value


def _add_threshold_options(parser: argparse.ArgumentParser, per_frame: bool) -> None:
    group = parser.add_argument_group(
        "thresholds",
        "Accept differences within these bounds"
        + (" (checked on every compared frame pair)" if per_frame else "")
        + ".\nWithout any, only identical input counts as a match.",
    )
    group.add_argument(
        "--min-ssim",
        type=_finite_float,
        metavar="S",
        help="lowest acceptable ssim (0..1)",
    )
    group.add_argument(
        "--min-psnr",
        type=_finite_float,
        metavar="DB",
        help="lowest acceptable psnr in dB, e.g. 40",
    )
    group.add_argument(
        "--max-mse", type=_finite_float, metavar="M", help="highest acceptable mse"
    )
    group.add_argument(
        "--max-diff",
        type=_finite_float,
        metavar="D",
        help=f"highest acceptable max_diff (squared RGB distance of one pixel, 0..{MAX_SQUARED_DISTANCE})",
    )


FIGURES_HELP = f"""\
the figures:
  ssim      luma similarity: mean of 1 - |brightness difference| / 255; 1 = same
  psnr      peak signal-to-noise ratio in dB; 100 for identical input, higher is closer
  mse       mean over pixels of the squared RGB distance (three channels summed)
  max_diff  the largest squared RGB distance of one pixel, 0..{MAX_SQUARED_DISTANCE}
Frames larger than 1280x720 are compared at a reduced size that keeps their shape.
"""


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``quillet`` command."""
    parser = argparse.ArgumentParser(
        prog="quillet",
        description="Compare images and videos frame by frame: four quality figures and a "
        "picture of where they differ.",
        epilog="examples:\n"
        "  quillet demo                                 try it on the bundled sample frames\n"
        "  quillet compare a.png b.png --diff diff.png  compare two images, draw the difference\n"
        "  quillet compare a.png b.png --min-psnr 40    exit status 0 if psnr >= 40 dB\n"
        "  quillet video ref.mp4 enc.mp4 --csv out.csv  compare two videos frame by frame\n\n"
        + FIGURES_HELP
        + "\nexit status: 0 identical or within the thresholds, 1 different, 2 error\n",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    compare_parser = commands.add_parser(
        "compare",
        help="compare two images of the same size",
        description="Compare two images of the same size and print ssim, psnr, mse and max_diff.",
        epilog=FIGURES_HELP
        + "\nexit status: 0 identical or within the thresholds, 1 different,\n"
        "  2 error (missing file, unreadable image, sizes differ)\n",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    compare_parser.add_argument(
        "left", metavar="LEFT", help="the reference image (PNG, JPEG, ...)"
    )
    compare_parser.add_argument(
        "right", metavar="RIGHT", help="the image to compare with it"
    )
    compare_parser.add_argument(
        "--diff",
        metavar="OUT.png",
        help="write the difference picture: the left image where they agree, heat colours where they differ",
    )
    compare_parser.add_argument(
        "--json", action="store_true", help="print the result as JSON"
    )
    _add_threshold_options(compare_parser, per_frame=False)
    compare_parser.set_defaults(handler=_run_compare)

    video_parser = commands.add_parser(
        "video",
        help="compare two videos or image sequences frame by frame",
        description="Compare two videos or two image sequences frame by frame and summarise.\n"
        "LEFT and RIGHT are each a video file (decoded with PyAV: pip install 'quillet[video]'),\n"
        "a folder of images (taken in natural name order) or a quoted glob such as 'out/*.png'.\n"
        "A progress line is shown on a terminal.",
        epilog=FIGURES_HELP
        + "\nexit status: 0 every compared pair identical or within the thresholds,\n"
        "  1 otherwise (also when the lengths differ), 2 error\n",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    video_parser.add_argument(
        "left", metavar="LEFT", help="reference video, folder or glob"
    )
    video_parser.add_argument(
        "right", metavar="RIGHT", help="video, folder or glob to compare with it"
    )
    video_parser.add_argument(
        "--ema",
        type=_alpha,
        default=1.0,
        metavar="ALPHA",
        help="smooth each pixel's difference over frames: new = (1-ALPHA)*old + ALPHA*diff; "
        "1 = off (default), 0.3 = moderate; affects max_diff and the pictures only",
    )
    video_parser.add_argument(
        "--csv",
        metavar="FILE",
        help="write one row per compared frame: frame,ssim,psnr,mse,max_diff ('-' for stdout)",
    )
    outputs = video_parser.add_mutually_exclusive_group()
    outputs.add_argument(
        "--diff-dir",
        metavar="DIR",
        help="write each difference picture as DIR/frame_NNNNNN.png",
    )
    outputs.add_argument(
        "--diff-video",
        metavar="FILE",
        help="encode the difference pictures as a video (.mp4, .mkv, .webm)",
    )
    video_parser.add_argument(
        "--every",
        type=_positive_int,
        default=1,
        metavar="N",
        help="compare only every Nth frame (0, N, 2N, ...)",
    )
    _add_threshold_options(video_parser, per_frame=True)
    video_parser.set_defaults(handler=_run_video)

    demo_parser = commands.add_parser(
        "demo",
        help="compare two bundled sample frames and write their difference picture",
        description="Compare two small sample frames shipped with quillet, print the figures and "
        "write the difference picture.",
    )
    demo_parser.add_argument(
        "--out",
        default="quillet-demo-diff.png",
        metavar="FILE",
        help="where to write the difference picture (default: %(default)s)",
    )
    demo_parser.set_defaults(handler=_run_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: the process arguments); return the exit status."""
    args = build_parser().parse_args(argv)
    try:
        status: int = args.handler(args)
        return status
    except BrokenPipeError:
        # The reader went away (quillet ... | head): say nothing more, not even at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_ERROR
    except (UsageError, SourceError, ImportError, OSError, ValueError) as error:
        print(f"quillet: error: {_describe_error(error)}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("quillet: interrupted", file=sys.stderr)
        return 130
