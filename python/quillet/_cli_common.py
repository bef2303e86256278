"""Pieces shared by the ``quillet`` subcommands: exit statuses, figure names and formatting,
thresholds as given on the command line, and the error that ends a command with status 2."""

from __future__ import annotations

import argparse
import math

TYPE_CHECKING = False  # typing is slow to import; type checkers read this as typing.TYPE_CHECKING

from ._limits import MAX_SQUARED_DISTANCE

if TYPE_CHECKING:
    from typing import Any

    from ._thresholds import Thresholds

__all__ = [
    "EXIT_DIFFERENT",
    "EXIT_ERROR",
    "EXIT_SAME",
    "EXPLANATIONS",
    "FIGURES",
    "UsageError",
    "describe_error",
    "format_figure",
    "json_text",
    "thresholds_from_args",
]

EXIT_SAME = 0
EXIT_DIFFERENT = 1
EXIT_ERROR = 2

FIGURES = ("ssim", "psnr", "mse", "max_diff")

EXPLANATIONS = {
    "ssim": "luma similarity (not windowed SSIM), 1 = same brightness everywhere",
    "psnr": "higher is closer, 100 = identical; 4.77 dB below RGB PSNR",
    "mse": f"mean squared RGB distance, 0..{MAX_SQUARED_DISTANCE}",
    "max_diff": f"largest squared RGB distance of a pixel, 0..{MAX_SQUARED_DISTANCE}",
}


class UsageError(Exception):
    """A problem with what the user asked for; reported in one line with exit status 2."""


def describe_error(error: BaseException) -> str:
    """One line for an error, naming the file when the error carries one."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.strerror}: {error.filename}"
    return str(error) or type(error).__name__


def thresholds_from_args(args: argparse.Namespace) -> Thresholds:
    """The bounds given on the command line (every threshold option a command has)."""
    from ._thresholds import THRESHOLD_FIGURES, Thresholds

    return Thresholds(**{name: getattr(args, name, None) for name in THRESHOLD_FIGURES})


def format_figure(name: str, value: float) -> str:
    """A figure as the text reports show it."""
    if name == "ssim":
        return f"{value:.6f}"
    if name == "psnr":
        return f"{value:.2f} dB"
    return f"{value:.6g}"


def _json_safe(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: _json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(item) for item in value]
    return value


def json_text(value: Any) -> str:
    """Strict JSON (RFC 8259): an infinite or NaN figure is written as null."""
    import json

    return json.dumps(_json_safe(value), indent=2, allow_nan=False)
