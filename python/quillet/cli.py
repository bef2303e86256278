"""The ``quillet`` command: the argument parser, and ``main()``, the one place that turns every
failure into one line on standard error and an exit status.

Each subcommand's body lives in its own module (``_cli_compare``, ``_cli_video``, ``_cli_demo``),
imported only when that subcommand runs so that ``quillet --help`` stays quick.
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import sys
from collections.abc import Sequence

from ._limits import MAX_SQUARED_DISTANCE
from ._cli_common import EXIT_ERROR, UsageError, describe_error

__all__ = ["build_parser", "main"]


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
        "--diff-full-size",
        action="store_true",
        help="with --diff, draw the picture at the images' own size even when they are larger "
        "than 1280x720 (the figures still come from the reduced comparison)",
    )
    compare_parser.add_argument(
        "--json", action="store_true", help="print the result as JSON"
    )
    _add_threshold_options(compare_parser, per_frame=False)
    compare_parser.set_defaults(command_module="_cli_compare")

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
    video_parser.set_defaults(command_module="_cli_video")

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
    demo_parser.set_defaults(command_module="_cli_demo")
    return parser


def _run_command(args: argparse.Namespace) -> int:
    module = importlib.import_module(f".{args.command_module}", __package__)
    status: int = module.run(args)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: the process arguments); return the exit status."""
    args = build_parser().parse_args(argv)
    from ._sources import SourceError

    try:
        return _run_command(args)
    except BrokenPipeError:
        # The reader went away (quillet ... | head): say nothing more, not even at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_ERROR
    except (UsageError, SourceError, ImportError, OSError, ValueError) as error:
        print(f"quillet: error: {describe_error(error)}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("quillet: interrupted", file=sys.stderr)
        return 130
