"""The ``quillet`` command: the argument parser, and ``main()``, the one place that turns every
failure into one line on standard error and an exit status.

Each subcommand's body lives in its own module (``_cli_compare``, ``_cli_video``, ``_cli_batch``,
``_cli_demo``), imported only when that subcommand runs so that ``quillet --help`` stays quick.
"""

from __future__ import annotations

import argparse
import errno
import importlib
import math
import os
import sys
import warnings

from ._cli_common import EXIT_ERROR, UsageError, describe_error
from ._limits import DEFAULT_MAX_PIXELS, MAX_SQUARED_DISTANCE
from ._signals import exit_status, termination_signals_interrupt

TYPE_CHECKING = False  # typing is slow to import; type checkers read this as typing.TYPE_CHECKING
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, NoReturn, TextIO

__all__ = ["build_parser", "main"]


class _Parser(argparse.ArgumentParser):
    """An argument parser whose complaints are one line, like every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(
            EXIT_ERROR,
            f"quillet: error: {message} (see '{self.prog} --help')\n",
        )


class _VersionAction(argparse.Action):
    """--version: read from the installed package's metadata only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> NoReturn:
        from importlib.metadata import PackageNotFoundError, version

        try:
            text = version("quillet")
        except PackageNotFoundError:
            text = "unknown (not installed as a package)"
        print(f"quillet {text}")
        parser.exit(0)


def _number(text: str, kind: type[int] | type[float], description: str) -> Any:
    try:
        return kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected {description}, got {text!r}") from None


def positive_whole_number(text: str) -> int:
    """A whole number of at least 1."""
    value: int = _number(text, int, "a whole number")
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def smoothing_factor(text: str) -> float:
    """A factor in (0, 1]."""
    value: float = _number(text, float, "a number in (0, 1]")
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {text}")
    return value


def finite_number(text: str) -> float:
    """A finite number: an infinite or NaN bound would pass or fail everything in silence."""
    value: float = _number(text, float, "a number")
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


def frame_rate(text: str) -> float:
    """Frames per second: a finite number above 0."""
    value: float = _number(text, float, "frames per second")
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
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
        type=finite_number,
        metavar="S",
        help="lowest acceptable ssim (0..1)",
    )
    group.add_argument(
        "--min-psnr",
        type=finite_number,
        metavar="DB",
        help="lowest acceptable psnr in dB, e.g. 40",
    )
    group.add_argument(
        "--max-mse", type=finite_number, metavar="M", help="highest acceptable mse"
    )
    group.add_argument(
        "--max-diff",
        type=finite_number,
        metavar="D",
        help=f"highest acceptable max_diff (squared RGB distance of one pixel, 0..{MAX_SQUARED_DISTANCE})",
    )


def _add_standard_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "standard figures",
        "The PSNR and SSIM other tools report, at full resolution: psnr_* = 10*log10(255^2/MSE)\n"
        "per channel and over RGB; ssim_* = SSIM with an 11x11 Gaussian window (sigma 1.5),\n"
        "averaged where the whole window fits, per channel, their mean (rgb) and on luma (y).",
    )
    group.add_argument(
        "--standard",
        action="store_true",
        help="also compute and print the standard figures (images of at least 11x11 pixels)",
    )
    group.add_argument(
        "--min-psnr-rgb",
        type=finite_number,
        metavar="DB",
        help="lowest acceptable standard RGB PSNR in dB (implies --standard)",
    )
    group.add_argument(
        "--min-ssim-rgb",
        type=finite_number,
        metavar="S",
        help="lowest acceptable standard SSIM, mean of the channels (implies --standard)",
    )


def _add_max_pixels_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--max-pixels",
        type=positive_whole_number,
        metavar="N",
        default=DEFAULT_MAX_PIXELS,
        help="refuse pictures and frames of more than N pixels before decoding them, so that a "
        "small file cannot claim gigabytes of memory (default: %(default)s)",
    )


FIGURES_HELP = f"""\
the figures:
  ssim      luma similarity: mean of 1 - |brightness difference| / 255; 1 = same.
            Not the windowed SSIM of the literature; its single-precision running sum
            reads high on large frames (on 720p footage 1 - ssim can be a third to two
            thirds of the exact mean).
  psnr      10*log10(255^2 / mse) in dB; 100 for identical input, higher is closer.
            As mse sums the three channels, psnr is 10*log10(3) = 4.77 dB below the
            usual RGB PSNR.
  mse       mean over pixels of the squared RGB distance (three channels summed)
  max_diff  the largest squared RGB distance of one pixel, 0..{MAX_SQUARED_DISTANCE}
For the usual RGB PSNR and windowed SSIM, ask for the standard figures (--standard).
Frames larger than 1280x720 are compared at a reduced size that keeps their shape.
"""


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``quillet`` command."""
    parser = _Parser(
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
    parser.add_argument("--version", action=_VersionAction)
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
    _add_max_pixels_option(compare_parser)
    _add_threshold_options(compare_parser, per_frame=False)
    _add_standard_options(compare_parser)
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
        type=smoothing_factor,
        default=1.0,
        metavar="ALPHA",
        help="smooth each pixel's difference over frames: new = (1-ALPHA)*old + ALPHA*diff; "
        "1 = off (default), 0.3 = moderate; affects max_diff and the pictures only",
    )
    video_parser.add_argument(
        "--csv",
        metavar="FILE",
        help="write one row per compared frame pair: frame,left_time,right_index,right_time,"
        "ssim,psnr,mse,max_diff ('-' for stdout)",
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
        "--report",
        metavar="FILE",
        help="write a self-contained HTML report: a chart per figure, the worst frames, the run "
        "(needs the report extra)",
    )
    video_parser.add_argument(
        "--report-full-frames",
        action="store_true",
        help="also embed the worst frames at full size in the report (a larger file)",
    )
    video_parser.add_argument(
        "--every",
        type=positive_whole_number,
        default=1,
        metavar="N",
        help="compare only every Nth frame (0, N, 2N, ...)",
    )
    video_parser.add_argument(
        "--pair",
        choices=("time", "index"),
        help="pair each left frame with the right frame shown at its presentation time "
        "(default for videos) or with the right frame of the same index (default when a side "
        "is an image sequence without --fps)",
    )
    video_parser.add_argument(
        "--fps",
        type=frame_rate,
        metavar="RATE",
        help="frame rate of image sequences, which then have presentation times and pair "
        "in time with a video",
    )
    _add_max_pixels_option(video_parser)
    _add_threshold_options(video_parser, per_frame=True)
    _add_standard_options(video_parser)
    video_parser.set_defaults(command_module="_cli_video")

    batch_parser = commands.add_parser(
        "batch",
        help="compare the pairs of a manifest on a Dask cluster, results in Parquet",
        description="Compare many pairs of videos or image sequences, one Dask task per pair, on\n"
        "the cores of this machine (a local cluster started and stopped here) or on an\n"
        "existing cluster (--scheduler). MANIFEST is a CSV with the header left,right[,name];\n"
        "each location is what 'quillet video' takes (relative to the manifest's folder) or an\n"
        "fsspec URL (file://, http(s)://, s3:// and gs:// with their fsspec backends).\n"
        "Writes RESULTS/frames/NAME.parquet (one row per compared frame) and\n"
        "RESULTS/pairs.parquet (one row per pair). A rerun skips pairs whose inputs and\n"
        "options have not changed. Needs: pip install 'quillet[batch]'.",
        epilog=FIGURES_HELP
        + "\nexit status: 0 every pair identical or within the thresholds, 1 some pair\n"
        "  different, 2 some pair failed or an error (bad manifest, unreachable scheduler)\n",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    batch_parser.add_argument(
        "manifest", metavar="MANIFEST", help="CSV of pairs: left,right[,name]"
    )
    batch_parser.add_argument(
        "--out",
        required=True,
        metavar="RESULTS",
        help="folder for the results (created if missing)",
    )
    batch_parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on an existing Dask cluster, e.g. tcp://10.0.0.5:8786 (default: a local cluster)",
    )
    batch_parser.add_argument(
        "--workers",
        type=positive_whole_number,
        metavar="N",
        help="worker processes of the local cluster (default: one per core)",
    )
    batch_parser.add_argument(
        "--ema",
        type=smoothing_factor,
        default=1.0,
        metavar="ALPHA",
        help="smooth each pixel's difference over frames (as in 'quillet video'); 1 = off",
    )
    batch_parser.add_argument(
        "--every",
        type=positive_whole_number,
        default=1,
        metavar="N",
        help="compare only every Nth frame (0, N, 2N, ...)",
    )
    batch_parser.add_argument(
        "--force",
        action="store_true",
        help="compare every pair again, even if its results are current",
    )
    batch_parser.add_argument(
        "--csv",
        action="store_true",
        help="also write CSV copies next to the Parquet files",
    )
    batch_parser.add_argument(
        "--report",
        action="store_true",
        help="also write RESULTS/report.html (a sortable table of the pairs) and a page per pair, "
        "with its worst frames, in RESULTS/reports/ (needs the report extra)",
    )
    _add_max_pixels_option(batch_parser)
    _add_threshold_options(batch_parser, per_frame=True)
    _add_standard_options(batch_parser)
    batch_parser.set_defaults(command_module="_cli_batch")

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
    # Flushed here, inside the error handling, so that a closed pipe is reported like any
    # other failed write rather than by the interpreter at exit.
    sys.stdout.flush()
    return status


class _ClosedStream:
    """Stands in for a standard output that the process was started without."""

    def write(self, text: str) -> int:
        raise OSError(errno.EBADF, "standard output is closed")

    def flush(self) -> None:
        pass


def _warning_line(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    print(f"quillet: warning: {message}", file=sys.stderr)


def _error(message: str) -> int:
    print(f"quillet: error: {message}", file=sys.stderr)
    return EXIT_ERROR


def _silence_stdout() -> None:
    """Point standard output at the null device so that nothing more is written to it."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def _is_broken_pipe(error: BaseException) -> bool:
    return isinstance(error, BrokenPipeError) or (
        isinstance(error, OSError) and error.errno in (errno.EPIPE, errno.EBADF)
        and error.filename is None
    )


def _known_error(error: BaseException) -> str | None:
    """The one-line message for an error the user can act on, or None for a bug."""
    from ._outputs import OutputError
    from ._sources import SourceError

    kind = type(error).__name__
    if isinstance(error, (UsageError, SourceError, OutputError, ImportError)):
        return describe_error(error)
    if isinstance(error, MemoryError):
        return "out of memory (try smaller inputs, or lower --max-pixels)"
    if kind == "PanicException":
        return f"internal failure in the comparison: {error}"
    if kind == "DecompressionBombError":
        return f"refusing a picture this large: {error}"
    if isinstance(error, (OSError, ValueError)):
        return describe_error(error)
    return None


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with ``argv`` (default: the process arguments); return the exit status.

    Every failure ends here as one line on standard error and exit status 2; exit status 1
    only ever means that the inputs differ. QUILLET_DEBUG=1 adds the traceback of a bug.
    """
    if sys.stdout is None:
        sys.stdout = _ClosedStream()  # type: ignore[assignment]
    warnings.showwarning = _warning_line
    args = build_parser().parse_args(argv)
    # As typed, for the record of how a run was made (reports).
    args.command_line = ["quillet", *(sys.argv[1:] if argv is None else argv)]
    try:
        with termination_signals_interrupt():
            return _run_command(args)
    except KeyboardInterrupt as interruption:
        reason = f" by {interruption.args[0]}" if interruption.args else ""
        print(f"quillet: interrupted{reason}", file=sys.stderr)
        return exit_status(interruption)
    except BaseException as error:
        if isinstance(error, SystemExit):
            raise
        if _is_broken_pipe(error):
            _silence_stdout()
            return _error("standard output was closed before the result was written")
        message = _known_error(error)
        if message is not None:
            return _error(message)
        if os.environ.get("QUILLET_DEBUG"):
            import traceback

            traceback.print_exc()
            return _error(f"internal error: {kind_and_message(error)}")
        return _error(
            f"internal error: {kind_and_message(error)} "
            "(run again with QUILLET_DEBUG=1 to see where it happened)"
        )


def kind_and_message(error: BaseException) -> str:
    """'TypeError: what went wrong', on one line."""
    text = " ".join(str(error).split())
    return f"{type(error).__name__}: {text}" if text else type(error).__name__
