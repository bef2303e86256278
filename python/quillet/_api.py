"""The comparison API: metrics, difference pictures and a streaming comparer over ``quillet._core``."""

from __future__ import annotations

import math
import os
import struct
import sys
import threading
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any, NamedTuple, Self

from . import _core, _direct
from ._frames import Frame, FrameLike, as_frame
from ._limits import MAX_COMPARED_HEIGHT, MAX_COMPARED_WIDTH, MAX_SQUARED_DISTANCE
from ._optional import require_numpy, require_pillow
from ._standard import StandardMetrics, standard_metrics
from ._thresholds import Thresholds

if TYPE_CHECKING:
    import numpy as np
    from PIL import Image

__all__ = [
    "MAX_COMPARED_HEIGHT",
    "MAX_COMPARED_WIDTH",
    "MAX_SQUARED_DISTANCE",
    "Comparison",
    "DiffPicture",
    "FrameComparer",
    "Metrics",
    "WrongThreadError",
    "compare",
    "compare_with_diff",
    "compared_size",
]

class Metrics(NamedTuple):
    """The four figures of one comparison.

    These are the comparison core's own figures, kept exactly as it defines them. Two of them
    differ from the usual definitions; for the standard ones (PSNR of the RGB mean squared
    error, windowed SSIM per channel and on luma) use ``quillet.standard_metrics``.

    ssim
        Luma similarity: the mean over pixels of ``1 - |Y_left - Y_right| / 255`` with BT.709
        luma weights; 1.0 for identical frames, 0.0 for black against white. It is not the
        windowed SSIM of the literature. The mean is a single-precision running sum, which
        reads high on large frames: on 720p footage ``1 - ssim`` can be a third to two thirds
        of the exact mean's.
    psnr
        ``10 * log10(65025 / mse)`` in decibels; exactly 100.0 when the frames are identical.
        Because ``mse`` sums the three channels instead of averaging them, this is
        10·log10(3) ≈ 4.77 dB below the usual RGB PSNR of the same frames, and can be as low
        as about -4.77.
    mse
        Mean over pixels of the squared RGB distance, the three channels' squared differences
        summed (not averaged); 0 ... 195075.
    max_diff
        Largest squared RGB distance of one pixel, in the same units as ``mse`` (0 ... 195075).
        With smoothing on (:class:`FrameComparer`) it is the largest smoothed value.
    """

    ssim: float
    psnr: float
    mse: float
    max_diff: float

    @property
    def identical(self) -> bool:
        """Whether no compared pixel differs (``mse`` is 0)."""
        return self.mse == 0.0

    def within(
        self,
        *,
        min_ssim: float | None = None,
        min_psnr: float | None = None,
        max_mse: float | None = None,
        max_diff: float | None = None,
    ) -> bool:
        """Whether every threshold given holds (bounds included); True when none is given.

        ``min_*`` bounds hold when the figure is at least the bound, ``max_*`` bounds when it is
        at most the bound. Bounds must be finite numbers (ValueError otherwise). The same rule
        decides the command line's verdict; see :class:`quillet.Thresholds` for the reasons
        behind a failure.
        """
        return Thresholds(
            min_ssim=min_ssim, min_psnr=min_psnr, max_mse=max_mse, max_diff=max_diff
        ).hold(self)


def _float32(value: float) -> float:
    """Round to the nearest binary32 value, as the core's arithmetic does."""
    return float(struct.unpack("f", struct.pack("f", value))[0])


def compared_size(width: int, height: int) -> tuple[int, int]:
    """The size at which frames of ``width`` x ``height`` are compared.

    Frames within 1280 x 720 are compared as they are. Larger ones are reduced to fit, keeping
    their aspect ratio, with the core's single-precision arithmetic: 1920 x 1080 gives
    1280 x 720, 1281 x 720 gives 1280 x 719, 4096 x 2160 gives 1280 x 675. A very thin frame may
    reduce to a zero side (2000 x 1 gives 1280 x 0) and cannot be compared.
    """
    if width < 1 or height < 1:
        raise ValueError(f"frame sides must be at least 1, got {width}x{height}")
    if width <= MAX_COMPARED_WIDTH and height <= MAX_COMPARED_HEIGHT:
        return (width, height)
    # Every step is one binary32 operation. A double quotient or product of two binary32
    # values rounded once to binary32 equals the binary32 operation's result.
    width32, height32 = _float32(width), _float32(height)
    scale = min(
        _float32(MAX_COMPARED_WIDTH / width32), _float32(MAX_COMPARED_HEIGHT / height32)
    )
    return (
        math.trunc(_float32(scale * width32)),
        math.trunc(_float32(scale * height32)),
    )


@dataclass(frozen=True, slots=True)
class DiffPicture:
    """A difference picture: RGBA bytes with their size.

    Where the frames agree (squared RGB distance below 2810) a pixel shows the left frame's
    colour; elsewhere a heat colour from blue through green to red as the difference grows.
    Alpha is always 255. Its size is the compared size (:func:`compared_size`).
    """

    rgba: bytes
    width: int
    height: int

    @property
    def size(self) -> tuple[int, int]:
        """(width, height) in pixels."""
        return (self.width, self.height)

    def to_array(self) -> np.ndarray[Any, np.dtype[np.uint8]]:
        """The picture as a new writable (H, W, 4) uint8 NumPy array."""
        numpy = require_numpy("DiffPicture.to_array")
        array: np.ndarray[Any, np.dtype[np.uint8]] = numpy.frombuffer(
            bytearray(self.rgba), dtype=numpy.uint8
        ).reshape(self.height, self.width, 4)
        return array

    def __array__(
        self, dtype: Any = None, copy: bool | None = None
    ) -> np.ndarray[Any, Any]:
        """NumPy's conversion protocol.

        ``copy=False`` (NumPy 2's ``np.asarray(picture, copy=False)``) gives a read-only view of
        the bytes without copying, and raises ValueError when ``dtype`` asks for another type,
        since that needs a copy. Otherwise the result is a new writable array.
        """
        numpy = require_numpy("DiffPicture.__array__")
        if copy is False:
            if dtype is not None and numpy.dtype(dtype) != numpy.uint8:
                raise ValueError(
                    f"a difference picture holds uint8 samples; giving {numpy.dtype(dtype)} "
                    "needs a copy, which copy=False forbids"
                )
            view: np.ndarray[Any, Any] = numpy.frombuffer(self.rgba, dtype=numpy.uint8)
            return view.reshape(self.height, self.width, 4)
        array = self.to_array()
        return array if dtype is None else array.astype(dtype, copy=False)

    def to_image(self) -> Image.Image:
        """The picture as a new Pillow image of mode RGBA."""
        image_module = require_pillow("DiffPicture.to_image")
        image: Image.Image = image_module.frombytes(
            "RGBA", (self.width, self.height), self.rgba
        )
        return image

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the picture with Pillow; the format follows the file name (PNG is lossless)."""
        self.to_image().save(path)


class Comparison(NamedTuple):
    """The result of :func:`compare_with_diff`: the figures and the difference picture."""

    metrics: Metrics
    diff: DiffPicture


# Which user last put frames into this thread's cache: the token of a FrameComparer, or None
# once it let them go. (compare() and compare_with_diff() do not use the cache.) A comparer that finds someone else's frames there starts afresh.
_cache_user = threading.local()


def _check_comparable(left_size: tuple[int, int], right_size: tuple[int, int]) -> None:
    if left_size != right_size:
        raise ValueError(
            "the frames differ in size: left is "
            f"{left_size[0]}x{left_size[1]}, right is {right_size[0]}x{right_size[1]}"
        )
    width, height = compared_size(*left_size)
    if width < 1 or height < 1:
        raise ValueError(
            f"a {left_size[0]}x{left_size[1]} frame reduces to {width}x{height} "
            "pixels for comparison and cannot be compared"
        )


def _comparable_pair(left: FrameLike, right: FrameLike) -> tuple[Frame, Frame]:
    left_frame, right_frame = as_frame(left), as_frame(right)
    _check_comparable(left_frame.size, right_frame.size)
    return left_frame, right_frame


def _pixels_in_place(value: FrameLike) -> tuple[Any, int, int]:
    """A buffer the direct comparison reads as it is, with its width and height.

    A uint8 (H, W, 3) NumPy array whose pixels are adjacent (C-contiguous, or a crop of a
    larger one) is read in place, read-only ones too; anything else is converted first.
    """
    numpy = sys.modules.get("numpy")
    if (
        numpy is not None
        and isinstance(value, numpy.ndarray)
        and value.dtype == numpy.uint8
        and value.ndim == 3
        and value.shape[2] == 3
        and value.shape[0] >= 1
        and value.shape[1] >= 1
        and value.strides[2] == 1
        and value.strides[1] == 3
        and value.strides[0] >= 3 * value.shape[1]
    ):
        return value, int(value.shape[1]), int(value.shape[0])
    frame = as_frame(value)
    return frame.rgb, frame.width, frame.height


def _comparable_pixels(left: FrameLike, right: FrameLike) -> tuple[Any, Any, int, int]:
    left_pixels, width, height = _pixels_in_place(left)
    right_pixels, right_width, right_height = _pixels_in_place(right)
    _check_comparable((width, height), (right_width, right_height))
    return left_pixels, right_pixels, width, height


def compare(left: FrameLike, right: FrameLike) -> Metrics:
    """Compare two frames of the same size and return their :class:`Metrics`.

    Each side may be a NumPy array (uint8, uint16 or floats in [0, 1]; shape (H, W, 3),
    (H, W, 4) or (H, W)), a Pillow image, the path of an image file, or a
    :class:`~quillet.Frame`; see :meth:`Frame.from_array` for how samples become 8 bits. Images
    are turned upright by their EXIF orientation. A file with several frames (an animation or
    pages) is refused with MultiFrameImageError: compare those with ``quillet video``. Files
    above 120 megapixels are refused from their header (:meth:`Frame.open` takes another
    limit). Frames larger than 1280 x 720 are compared at :func:`compared_size`. Raises
    ValueError when the sizes differ.

    The figures are the core's: ``psnr`` reads 4.77 dB below the usual RGB PSNR and ``ssim``
    is a luma similarity that reads high on large frames (see :class:`Metrics`);
    ``quillet.standard_metrics`` gives the standard figures.

    uint8 (H, W, 3) arrays are read in place, without a copy. The figures are those of
    ``quillet._core.compare`` for the same frames; the thread's frame cache (and so an open
    :class:`FrameComparer`) is not touched.
    """
    left_pixels, right_pixels, width, height = _comparable_pixels(left, right)
    return Metrics(*_direct.compare(left_pixels, right_pixels, width, height))


def compare_with_diff(
    left: FrameLike,
    right: FrameLike,
    *,
    full_size: bool = False,
    max_pixels: int | None = None,
) -> Comparison:
    """Like :func:`compare`, and also return the difference picture.

    The picture has the compared size (:func:`compared_size`), and its heat colours are scaled
    to this pair's own largest difference, which shows in red. With ``full_size`` the picture
    of frames larger than 1280 x 720 is made at their own size instead, by the same per-pixel
    rule with the colours scaled to the largest difference over the whole frame; the metrics
    stay those of the reduced comparison. ``max_pixels`` refuses (ValueError) a full-size
    picture of more pixels, before any work.
    """
    left_pixels, right_pixels, width, height = _comparable_pixels(left, right)
    reduced = compared_size(width, height) != (width, height)
    if full_size and reduced:
        from ._full_size import check_full_size, full_size_rgba

        check_full_size(width, height, max_pixels)
        figures = _direct.compare(left_pixels, right_pixels, width, height)
        rgba = full_size_rgba(left_pixels, right_pixels, width, height)
        return Comparison(Metrics(*figures), DiffPicture(rgba, width, height))
    figures, rgba = _direct.compare(left_pixels, right_pixels, width, height, picture=True)
    picture_width, picture_height = compared_size(width, height)
    return Comparison(Metrics(*figures), DiffPicture(rgba, picture_width, picture_height))


class WrongThreadError(RuntimeError):
    """A :class:`FrameComparer` was used from a thread other than the one that created it."""


class FrameComparer:
    """Compares a stream of frame pairs, frame after frame, with optional smoothing.

    Each pair goes through the native frame cache (two cached frames, then one comparison).
    With ``ema_alpha`` below 1.0 each pixel's difference is smoothed over successive pairs by an
    exponential moving average: ``smoothed = (1 - alpha) * previous + alpha * new``. Smoothing
    affects the difference picture and ``max_diff``; ``ssim``, ``psnr`` and ``mse`` always come
    from the two frames alone. The picture's colours are scaled by the previous pair's
    ``max_diff``, so in the first pair after a start or :meth:`reset` every changed pixel is red.

    Thread model: the native frame cache belongs to the operating-system thread that uses it.
    A comparer is bound to the thread that creates it; every method raises
    :class:`WrongThreadError` when called from another thread. Use one comparer per thread.
    Another comparer used in between on the same thread replaces the cached frames; this
    comparer then starts afresh (smoothing history and colour scale forgotten).

    Use it as a context manager, which releases the cache's frames on exit::

        with FrameComparer(ema_alpha=0.3) as comparer:
            for metrics in comparer.compare_pairs(zip(lefts, rights)):
                print(metrics.psnr)
    """

    def __init__(self, ema_alpha: float = 1.0, *, standard: bool = False) -> None:
        """Bind a comparer to the calling thread; ``ema_alpha`` 1.0 turns smoothing off.

        With ``standard=True`` each pair's standard figures (full resolution, never smoothed)
        are computed too and kept in :attr:`last_standard`; pairs must then be at least
        11 x 11 pixels.
        """
        self._standard = bool(standard)
        self._last_standard: StandardMetrics | None = None
        self._thread_id = threading.get_ident()
        self._thread_name = threading.current_thread().name
        self._token = object()
        self._ema_alpha = self._checked_alpha(ema_alpha)
        self._size: tuple[int, int] | None = None
        self._compared_size: tuple[int, int] | None = None
        self._pairs_compared = 0
        self._closed = False

    @staticmethod
    def _checked_alpha(alpha: float) -> float:
        alpha = float(alpha)
        if not 0.0 < alpha <= 1.0:
            raise ValueError(
                f"ema_alpha must be in (0, 1], 1.0 meaning no smoothing; got {alpha}"
            )
        return alpha

    def _check_usable(self) -> None:
        if threading.get_ident() != self._thread_id:
            raise WrongThreadError(
                f"this FrameComparer belongs to thread {self._thread_name!r} and cannot be used "
                f"from thread {threading.current_thread().name!r}: frame caches are per thread, "
                "so create one comparer in each thread"
            )
        if self._closed:
            raise RuntimeError("this FrameComparer is closed")

    def _owns_cache(self) -> bool:
        return getattr(_cache_user, "token", None) is self._token

    @property
    def ema_alpha(self) -> float:
        """The smoothing factor in (0, 1]; 1.0 means off. The core treats values below 0.01 as 0.01."""
        return self._ema_alpha

    @ema_alpha.setter
    def ema_alpha(self, alpha: float) -> None:
        self._check_usable()
        self._ema_alpha = self._checked_alpha(alpha)
        if self._owns_cache():
            _core.set_ema_alpha(self._ema_alpha)

    @property
    def last_standard(self) -> StandardMetrics | None:
        """The standard figures of the last pair when made with ``standard=True``, else None."""
        return self._last_standard

    @property
    def pairs_compared(self) -> int:
        """How many pairs this comparer has compared since it was made."""
        return self._pairs_compared

    @property
    def size(self) -> tuple[int, int] | None:
        """The size of the last pair compared, or None before the first."""
        return self._size

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` was called."""
        return self._closed

    def _start(self, width: int, height: int) -> None:
        _core.clear_frame_cache()
        _core.set_ema_alpha(self._ema_alpha)
        _core.init_frame_cache(width, height)
        _cache_user.token = self._token
        self._size = (width, height)
        self._compared_size = compared_size(width, height)

    def compare(self, left: FrameLike, right: FrameLike) -> Metrics:
        """Compare the next pair (same input kinds as :func:`quillet.compare`).

        A pair of another size than the previous one starts afresh, as :meth:`reset` does.
        """
        self._check_usable()
        left_frame, right_frame = _comparable_pair(left, right)
        # First, so that a pair too small for them fails before the stream's state changes.
        standard = standard_metrics(left_frame, right_frame) if self._standard else None
        if not self._owns_cache() or self._size != left_frame.size:
            self._start(left_frame.width, left_frame.height)
        _core.cache_frame(0, left_frame.rgb, left_frame.width, left_frame.height)
        _core.cache_frame(1, right_frame.rgb, right_frame.width, right_frame.height)
        metrics = Metrics(*_core.compare_cached_frames())
        self._last_standard = standard
        self._pairs_compared += 1
        return metrics

    def compare_pairs(
        self, pairs: Iterable[tuple[FrameLike, FrameLike]]
    ) -> Iterator[Metrics]:
        """Compare each (left, right) pair in turn, yielding its metrics as it goes."""
        for left, right in pairs:
            yield self.compare(left, right)

    def diff_picture(self) -> DiffPicture:
        """The difference picture of the last pair, at its compared size."""
        self._check_usable()
        if self._compared_size is None or self._pairs_compared == 0:
            raise RuntimeError(
                "no pair has been compared since the comparer started or was reset"
            )
        if not self._owns_cache():
            raise RuntimeError(
                "the difference picture was replaced by another comparison on this thread"
            )
        width, height = self._compared_size
        return DiffPicture(_core.get_diff_rgba(), width, height)

    def reset(self) -> None:
        """Forget the smoothing history and the colour scale; the next pair starts afresh."""
        self._check_usable()
        if self._owns_cache():
            _cache_user.token = None
            _core.clear_frame_cache()
        self._size = None
        self._compared_size = None

    def close(self) -> None:
        """Release the cached frames and turn smoothing off on this thread. Idempotent."""
        if self._closed:
            return
        self._check_usable()
        if self._owns_cache():
            _cache_user.token = None
            _core.clear_frame_cache()
            _core.set_ema_alpha(1.0)
        self._closed = True

    def __enter__(self) -> Self:
        self._check_usable()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{self._pairs_compared} pairs compared"
        return f"FrameComparer(ema_alpha={self._ema_alpha}, {state})"
