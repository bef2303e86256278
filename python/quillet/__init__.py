"""quillet: compare RGB video frames and draw where they differ.

>>> import quillet
>>> quillet.compare("before.png", "after.png")          # doctest: +SKIP
Metrics(ssim=0.99..., psnr=41.2..., mse=4.9..., max_diff=3121.0)

Arrays (NumPy) and images (Pillow) are accepted when those libraries are installed; importing
quillet needs neither. The native comparison lives in :mod:`quillet._core`.
"""

from ._api import (
    MAX_COMPARED_HEIGHT,
    MAX_COMPARED_WIDTH,
    MAX_SQUARED_DISTANCE,
    Comparison,
    DiffPicture,
    FrameComparer,
    Metrics,
    WrongThreadError,
    compare,
    compare_with_diff,
    compared_size,
)
from ._frames import Frame, FrameLike, as_frame
from ._images import ImageReadError, ImageTooLargeError, MultiFrameImageError
from ._thresholds import Thresholds

__all__ = [
    "MAX_COMPARED_HEIGHT",
    "MAX_COMPARED_WIDTH",
    "MAX_SQUARED_DISTANCE",
    "Comparison",
    "DiffPicture",
    "Frame",
    "FrameComparer",
    "FrameLike",
    "ImageReadError",
    "ImageTooLargeError",
    "Metrics",
    "MultiFrameImageError",
    "Thresholds",
    "WrongThreadError",
    "as_frame",
    "compare",
    "compare_with_diff",
    "compared_size",
]
