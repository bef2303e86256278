"""The standard figures: RGB and per-channel PSNR, and windowed SSIM per channel and on luma.

These are the figures other tools report (scikit-image, FFmpeg's psnr filter, published
results), computed by :mod:`quillet._measure` at full resolution:

- ``psnr_*`` is ``10 * log10(255**2 / MSE)`` with MSE the mean squared difference over the
  pixels (and, for ``psnr_rgb``, the three channels), from exact integer sums; ``inf`` when
  the frames are identical.
- ``ssim_*`` is the SSIM of Wang, Bovik, Sheikh and Simoncelli (2004): an 11 x 11 Gaussian
  window (sigma 1.5, truncated at 3.5 sigma), K1 = 0.01, K2 = 0.03, L = 255, population
  moments, averaged over the positions where the whole window lies inside the frame (the
  5-pixel border is not a centre of any window). ``ssim_rgb`` is the mean of the three channels'
  values, ``ssim_y`` the SSIM of BT.709 luma ``Y = 0.2126 R + 0.7152 G + 0.0722 B``, taken
  exactly (the moments are then computed in double precision). Both sides must be at least 11 x 11 pixels.

:func:`ms_ssim` gives the multi-scale SSIM of Wang, Simoncelli and Bovik (2003) on the same
planes: five scales, each the previous one averaged over 2 x 2 blocks (an odd last row or column
dropped), the same window at every scale, and
``cs_1**0.0448 * cs_2**0.2856 * cs_3**0.3001 * cs_4**0.2363 * ssim_5**0.1333``, where ``cs_j`` is
the mean contrast-structure term ``(2 cov + C2) / (var_x + var_y + C2)`` at scale j and
``ssim_5`` the mean SSIM at the fifth scale (a negative mean counts as 0). Both sides must be at
least 176 x 176 pixels, so that the fifth scale holds one whole window.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, NamedTuple

from . import _measure
from ._frames import FrameLike, as_frame

if TYPE_CHECKING:
    from collections.abc import Buffer

__all__ = [
    "MIN_MS_SSIM_SIZE",
    "MIN_SSIM_SIZE",
    "MsSsim",
    "STANDARD_FIGURES",
    "StandardMetrics",
    "kernel_name",
    "ms_ssim",
    "standard_metrics",
]

MIN_SSIM_SIZE = 11
"""The smallest width and height the standard SSIM takes: one whole 11 x 11 window."""


MIN_MS_SSIM_SIZE = 176
"""The smallest width and height MS-SSIM takes: one whole window at the fifth scale."""


class MsSsim(NamedTuple):
    """Multi-scale SSIM of one pair of frames: the channels' mean, each channel, and luma."""

    rgb: float
    r: float
    g: float
    b: float
    y: float


class StandardMetrics(NamedTuple):
    """The standard figures of one pair of frames (see the module's description)."""

    psnr_rgb: float
    psnr_r: float
    psnr_g: float
    psnr_b: float
    ssim_rgb: float
    ssim_r: float
    ssim_g: float
    ssim_b: float
    ssim_y: float


STANDARD_FIGURES: tuple[str, ...] = StandardMetrics._fields
"""The standard figures' names, as columns of tables and keys of JSON."""


def _packed(value: FrameLike) -> tuple[Buffer, int, int]:
    """The packed RGB bytes of one side and its size, without a copy for uint8 RGB arrays."""
    numpy = sys.modules.get("numpy")
    if (
        numpy is not None
        and isinstance(value, numpy.ndarray)
        and value.dtype == numpy.uint8
        and value.ndim == 3
        and value.shape[2] == 3
        and value.flags.c_contiguous
        and value.shape[0] >= 1
        and value.shape[1] >= 1
    ):
        return value, int(value.shape[1]), int(value.shape[0])
    frame = as_frame(value)
    return frame.rgb, frame.width, frame.height


def _same_size_pair(left: FrameLike, right: FrameLike) -> tuple[Buffer, Buffer, int, int]:
    left_rgb, width, height = _packed(left)
    right_rgb, right_width, right_height = _packed(right)
    if (width, height) != (right_width, right_height):
        raise ValueError(
            f"the frames differ in size: left is {width}x{height}, "
            f"right is {right_width}x{right_height}"
        )
    return left_rgb, right_rgb, width, height


def ms_ssim(left: FrameLike, right: FrameLike) -> MsSsim:
    """The multi-scale SSIM of two frames of the same size (see the module's description).

    Takes every input :func:`quillet.compare` takes. Raises ValueError when the sizes differ
    or a side is below 176 pixels.
    """
    left_rgb, right_rgb, width, height = _same_size_pair(left, right)
    if width < MIN_MS_SSIM_SIZE or height < MIN_MS_SSIM_SIZE:
        raise ValueError(
            f"MS-SSIM needs frames of at least {MIN_MS_SSIM_SIZE}x{MIN_MS_SSIM_SIZE} pixels "
            f"(an 11x11 window at the fifth scale), got {width}x{height}"
        )
    return MsSsim(*_measure.ms_ssim(left_rgb, right_rgb, width, height))


def standard_metrics(left: FrameLike, right: FrameLike) -> StandardMetrics:
    """The standard PSNR and SSIM figures of two frames of the same size, at full resolution.

    Takes every input :func:`quillet.compare` takes. Raises ValueError when the sizes differ
    or a side is below 11 x 11 pixels (the SSIM window must fit at least once).
    """
    left_rgb, right_rgb, width, height = _same_size_pair(left, right)
    if width < MIN_SSIM_SIZE or height < MIN_SSIM_SIZE:
        raise ValueError(
            f"the standard SSIM needs frames of at least {MIN_SSIM_SIZE}x{MIN_SSIM_SIZE} pixels "
            f"(one whole 11x11 Gaussian window), got {width}x{height}"
        )
    psnr = _measure.psnr(left_rgb, right_rgb, width, height)
    ssim = _measure.ssim(left_rgb, right_rgb, width, height)
    return StandardMetrics(*psnr, *ssim)


def kernel_name() -> str:
    """The per-pixel kernel the built-in comparison runs ("avx512", "avx2", "neon", "scalar").

    Raises RuntimeError when the environment variable QUILLET_KERNEL names no usable kernel.
    """
    return _measure.diff_kernel_name()
