"""Python module definition"""

from typing import SupportsFloat, SupportsIndex

__all__ = [
    "compare",
    "init_frame_cache",
    "cache_frame",
    "compare_cached_frames",
    "get_diff_rgba",
    "clear_frame_cache",
    "set_config",
    "set_ema_alpha",
]

def compare(
    left: bytes, right: bytes, width: SupportsIndex, height: SupportsIndex
) -> tuple[float, float, float, float]:
    """Compare two RGB frames, returns (ssim, psnr, mse, max_diff)"""

def init_frame_cache(width: SupportsIndex, height: SupportsIndex) -> None:
    """Initialize frame cache with expected dimensions"""

def cache_frame(
    slot: SupportsIndex, rgb: bytes, width: SupportsIndex, height: SupportsIndex
) -> None:
    """Cache a frame to slot (0=left, 1=right)
    RGB data should be width * height * 3 bytes"""

def compare_cached_frames() -> tuple[float, float, float, float]:
    """Compare cached frames, returns (ssim, psnr, mse, max_diff)"""

def get_diff_rgba() -> bytes:
    """Get diff RGBA data as bytes (width * height * 4 bytes, ready for PIL.Image)"""

def clear_frame_cache() -> None:
    """Clear frame cache"""

def set_config(
    max_width: SupportsIndex, max_height: SupportsIndex, block_size: SupportsIndex
) -> None:
    """Set comparison config"""

def set_ema_alpha(alpha: SupportsFloat | SupportsIndex) -> None:
    """Set EMA smoothing factor (1.0 = off, 0.3 = moderate filtering)"""
