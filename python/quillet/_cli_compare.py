"""``quillet compare``: two images, their figures, a verdict and optionally the difference picture."""

from __future__ import annotations

import argparse
from typing import Any

from ._api import Metrics, compare, compare_with_diff, compared_size
from ._cli_common import (
    EXIT_DIFFERENT,
    EXIT_SAME,
    EXPLANATIONS,
    FIGURES,
    UsageError,
    describe_error,
    format_figure,
    json_text,
    thresholds_from_args,
)
from ._frames import Frame
from ._images import ImageReadError
from ._full_size import check_full_size, write_full_size_png
from ._outputs import OutputError, check_outputs, check_picture_format, save_picture
from ._png import write_rgba_png
from ._standard import MIN_SSIM_SIZE, StandardMetrics, standard_metrics

__all__ = ["run"]


def _load_image(path: str, max_pixels: int) -> Frame:
    try:
        return Frame.open(path, max_pixels=max_pixels)
    except FileNotFoundError as error:
        raise UsageError(f"no such file: {path}") from error
    except IsADirectoryError as error:
        raise UsageError(
            f"{path} is a folder, not an image (use 'quillet video' for sequences)"
        ) from error
    except ImageReadError as error:
        # Its message already names the file.
        raise UsageError(str(error)) from error
    except OSError as error:
        raise UsageError(
            f"cannot read {path} as an image: {describe_error(error)}"
        ) from error


def _check_sizes(left: Frame, right: Frame, left_name: str, right_name: str) -> None:
    if left.size != right.size:
        raise UsageError(
            f"the images differ in size: {left_name} is {left.width}x{left.height}, "
            f"{right_name} is {right.width}x{right.height}"
        )


def _write_picture(args: argparse.Namespace, left: Frame, right: Frame) -> tuple[Metrics, str]:
    """Compare, write the difference picture to args.diff; the metrics and a note on the picture."""
    full_size = args.diff_full_size and compared_size(*left.size) != left.size
    try:
        if full_size:
            metrics = compare(left, right)
            write_full_size_png(args.diff, left.rgb, right.rgb, left.width, left.height)
            return metrics, f"{left.width}x{left.height}, full size"
        metrics, picture = compare_with_diff(left, right)
        if args.diff.lower().endswith(".png"):
            # PNG's Sub filter and zlib at level 1: several times faster than Pillow's
            # default (level 6, adaptive filters) for about a fifth more bytes.
            write_rgba_png(args.diff, picture.rgba, picture.width, picture.height)
        else:
            save_picture(picture, args.diff)
    except OutputError:
        raise
    except (OSError, ValueError) as error:
        raise UsageError(f"cannot write {args.diff}: {describe_error(error)}") from error
    return metrics, f"{picture.width}x{picture.height}"


# How each standard figure is printed, and what it means.
_STANDARD_EXPLANATIONS = {
    "psnr_rgb": "PSNR over the three channels, as other tools report it",
    "psnr_r": "PSNR of the red channel",
    "psnr_g": "PSNR of the green channel",
    "psnr_b": "PSNR of the blue channel",
    "ssim_rgb": "windowed SSIM, mean of the three channels",
    "ssim_r": "windowed SSIM of the red channel",
    "ssim_g": "windowed SSIM of the green channel",
    "ssim_b": "windowed SSIM of the blue channel",
    "ssim_y": "windowed SSIM of BT.709 luma",
}


def _standard_figures(left: Frame, right: Frame) -> StandardMetrics:
    if left.width < MIN_SSIM_SIZE or left.height < MIN_SSIM_SIZE:
        raise UsageError(
            f"the standard figures need images of at least {MIN_SSIM_SIZE}x{MIN_SSIM_SIZE} "
            f"pixels (one whole SSIM window), these are {left.width}x{left.height}"
        )
    return standard_metrics(left, right)


def _format_standard(name: str, value: float) -> str:
    if name.startswith("psnr"):
        return "inf dB" if value == float("inf") else f"{value:.2f} dB"
    return f"{value:.6f}"


def run(args: argparse.Namespace) -> int:
    """Compare args.left with args.right; print the figures; return the exit status."""
    if args.diff_full_size and not args.diff:
        raise UsageError("--diff-full-size needs --diff OUT.png")
    if args.diff_full_size and not args.diff.lower().endswith(".png"):
        raise UsageError(f"--diff-full-size writes PNG files only, not {args.diff}")
    check_outputs(inputs=[args.left, args.right], outputs=[args.diff])
    if args.diff:
        check_picture_format(args.diff)
    left = _load_image(args.left, args.max_pixels)
    right = _load_image(args.right, args.max_pixels)
    _check_sizes(left, right, args.left, args.right)
    if args.diff_full_size:
        try:
            check_full_size(left.width, left.height, args.max_pixels)
        except ValueError as error:
            raise UsageError(str(error)) from error
    thresholds = thresholds_from_args(args)
    want_standard = args.standard or thresholds.bounds_standard_figures
    if want_standard and (left.width < MIN_SSIM_SIZE or left.height < MIN_SSIM_SIZE):
        _standard_figures(left, right)  # refuses before any output is written
    picture_note = None
    if args.diff:
        metrics, picture_note = _write_picture(args, left, right)
    else:
        metrics = compare(left, right)

    identical = left.rgb == right.rgb
    standard = _standard_figures(left, right) if want_standard else None
    figures = {**metrics._asdict(), **(standard._asdict() if standard is not None else {})}
    failures = thresholds.failures(figures)
    if identical:
        verdict, status = "identical", EXIT_SAME
    elif thresholds.is_empty:
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
            **(standard._asdict() if standard is not None else {}),
            "identical": identical,
            "thresholds": thresholds.given(),
            "failed": failures,
            "passed": status == EXIT_SAME,
            "diff": args.diff,
            "diff_full_size": picture_note is not None and picture_note.endswith("full size"),
        }
        print(json_text(report))
        return status

    size_note = f"{left.width}x{left.height}"
    if compared != left.size:
        size_note += f", figures from the comparison at {compared[0]}x{compared[1]}"
    print(f"{args.left} vs {args.right} ({size_note})")
    for name in FIGURES:
        value = format_figure(name, getattr(metrics, name))
        print(f"  {name:<9}{value:>14}   {EXPLANATIONS[name]}")
    if standard is not None:
        print("  standard figures, at full resolution:")
        for name, value in standard._asdict().items():
            text = _format_standard(name, value)
            print(f"  {name:<9}{text:>14}   {_STANDARD_EXPLANATIONS[name]}")
    if not identical and metrics.identical:
        print(
            "  the images differ only in pixels that the reduced comparison leaves out"
        )
    if picture_note is not None:
        print(f"difference picture ({picture_note}): {args.diff}")
    print(f"result: {verdict}")
    return status
