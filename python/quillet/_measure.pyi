"""Standard image-quality figures (PSNR, SSIM) computed in native code."""

from collections.abc import Buffer
from typing import SupportsIndex

def psnr(
    left: Buffer,
    right: Buffer,
    width: SupportsIndex,
    height: SupportsIndex,
    *,
    threads: SupportsIndex = 0,
) -> tuple[float, float, float, float]:
    """PSNR of two packed RGB frames: (rgb, r, g, b) in dB; inf for identical frames."""

def ssim(
    left: Buffer,
    right: Buffer,
    width: SupportsIndex,
    height: SupportsIndex,
    *,
    threads: SupportsIndex = 0,
) -> tuple[float, float, float, float, float]:
    """Gaussian-window SSIM of two packed RGB frames: (rgb, r, g, b, y); at least 11 x 11."""

def default_threads(width: SupportsIndex, height: SupportsIndex) -> int:
    """The number of threads ssim uses for frames of this size when threads=0."""

def diff_kernel_name() -> str:
    """The per-pixel kernel of the built-in comparison (honours QUILLET_KERNEL)."""

def ms_ssim(
    left: Buffer,
    right: Buffer,
    width: SupportsIndex,
    height: SupportsIndex,
    *,
    threads: SupportsIndex = 0,
) -> tuple[float, float, float, float, float]:
    """Multi-scale SSIM of two packed RGB frames: (rgb, r, g, b, y); at least 176 x 176."""

def standard_kernel_name() -> str:
    """The instruction set SSIM runs with."""

def psnr_kernel_name() -> str:
    """The instruction set PSNR's squared-error sums run with."""
