"""Frames: packed RGB bytes with their size, made from NumPy arrays, Pillow images or image files."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union, cast

from ._images import DEFAULT_MAX_PIXELS, read_image, upright
from ._optional import require_numpy, require_pillow

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    from PIL import Image

__all__ = ["Frame", "FrameLike", "as_frame", "frame_from_pillow", "frame_from_samples"]


@dataclass(frozen=True, slots=True)
class Frame:
    """One frame as the comparison core takes it.

    ``rgb`` holds ``width * height * 3`` bytes: 8-bit R, G, B per pixel, rows top to bottom,
    no row padding. Both sides must be at least 1.
    """

    rgb: bytes
    width: int
    height: int

    def __post_init__(self) -> None:
        if not isinstance(self.rgb, bytes):
            if not isinstance(self.rgb, (bytearray, memoryview)):
                raise TypeError(
                    f"Frame.rgb must be bytes, bytearray or memoryview, not {type(self.rgb).__name__}"
                )
            # The core reads bytes objects only.
            object.__setattr__(self, "rgb", bytes(self.rgb))
        for name in ("width", "height"):
            value = getattr(self, name)
            if not isinstance(value, int) or isinstance(value, bool):
                raise TypeError(
                    f"Frame.{name} must be an int, not {type(value).__name__}"
                )
            if value < 1:
                raise ValueError(f"Frame.{name} must be at least 1, got {value}")
        expected = self.width * self.height * 3
        if len(self.rgb) != expected:
            raise ValueError(
                f"a {self.width}x{self.height} RGB frame needs {expected} bytes, got {len(self.rgb)}"
            )

    @property
    def size(self) -> tuple[int, int]:
        """(width, height) in pixels."""
        return (self.width, self.height)

    @classmethod
    def from_array(cls, array: npt.ArrayLike) -> Frame:
        """Make a frame from an image array of shape (H, W, 3), (H, W, 4), (H, W) or (H, W, 1).

        Alpha is dropped and grey is repeated into the three channels. Samples become 8 bits by
        one rule, the same for arrays, Pillow images and image files:

        - uint8: as they are;
        - uint16: the high byte, ``v >> 8`` (65535 gives 255, 257 * k gives k); this is also
          what Pillow itself does when it opens a 16-bit colour PNG;
        - float16/32/64: the range is [0, 1]; ``floor(v * 255 + 0.5)`` in double precision
          (nearest, halves up), so 0.0 gives 0 and 1.0 gives 255. Any sample outside [0, 1]
          or NaN raises ValueError naming the range: nothing is clipped in silence.

        Other dtypes raise TypeError, other shapes ValueError.
        """
        return frame_from_samples(array, "the array")

    @classmethod
    def from_image(cls, image: Image.Image) -> Frame:
        """Make a frame from a Pillow image of any mode, upright.

        The EXIF orientation is applied, as for image files. 8-bit modes are converted to RGB by
        Pillow (alpha dropped, palettes expanded); 16-bit modes (``I;16``, ``I;16B``,
        ``I;16L``), ``I`` (taken as 16-bit samples, 0..65535) and ``F`` (floats in [0, 1])
        follow the rule of :meth:`from_array`.
        """
        return frame_from_pillow(upright(image), "the image")

    @classmethod
    def open(
        cls,
        path: str | os.PathLike[str],
        max_pixels: int | None = DEFAULT_MAX_PIXELS,
    ) -> Frame:
        """Read an image file with Pillow, upright (EXIF orientation applied).

        Samples follow the rule of :meth:`from_array`. A file of more than ``max_pixels`` pixels
        (120 megapixels by default; None for no limit of quillet's own) is refused from its
        header with ImageTooLargeError (a ValueError), an animation or multi-page file with
        MultiFrameImageError (a ValueError; compare those with ``quillet video``). Raises
        FileNotFoundError for a missing file and ImageReadError (an OSError) for one Pillow cannot
        read; every message names the file.
        """
        return read_image(path, max_pixels)

    def to_array(self) -> np.ndarray[Any, np.dtype[np.uint8]]:
        """The frame as a new writable (H, W, 3) uint8 NumPy array."""
        numpy = require_numpy("Frame.to_array")
        array: np.ndarray[Any, np.dtype[np.uint8]] = numpy.frombuffer(
            bytearray(self.rgb), dtype=numpy.uint8
        ).reshape(self.height, self.width, 3)
        return array

    def to_image(self) -> Image.Image:
        """The frame as a new Pillow image of mode RGB."""
        image_module = require_pillow("Frame.to_image")
        image: Image.Image = image_module.frombytes(
            "RGB", (self.width, self.height), self.rgb
        )
        return image


def _samples_to_uint8(data: np.ndarray[Any, Any], source: str) -> np.ndarray[Any, Any]:
    """The one rule that turns samples of any supported dtype into 8 bits (see Frame.from_array)."""
    numpy = require_numpy("converting image samples")
    if data.dtype == numpy.uint8:
        return data
    if data.dtype.kind == "u" and data.dtype.itemsize == 2:
        return (data >> 8).astype(numpy.uint8)
    if data.dtype.kind == "f":
        inside = (data >= 0) & (data <= 1)  # False for NaN
        if not inside.all():
            nan_count = int(numpy.isnan(data).sum())
            finite = data[~numpy.isnan(data)]
            found = []
            if finite.size and (finite.min() < 0 or finite.max() > 1):
                found.append(f"values from {float(finite.min()):g} to {float(finite.max()):g}")
            if nan_count:
                found.append(f"{nan_count} NaN")
            raise ValueError(
                f"{source} has floating-point samples outside the range [0, 1] "
                f"({', '.join(found)}); scale them to [0, 1] first"
            )
        scaled = numpy.floor(data.astype(numpy.float64) * 255.0 + 0.5)
        return scaled.astype(numpy.uint8)
    raise TypeError(
        f"{source} has samples of dtype {data.dtype}; expected uint8, uint16 (high byte kept) "
        "or floats in [0, 1]"
    )


def frame_from_samples(array: npt.ArrayLike, source: str) -> Frame:
    """A frame from an image array of any supported dtype and shape; ``source`` names it in errors."""
    numpy = require_numpy("Frame.from_array")
    data = numpy.asarray(array)
    if data.ndim == 3 and data.shape[2] == 1:
        data = data[:, :, 0]
    if data.ndim == 3 and data.shape[2] == 4:
        data = data[:, :, :3]
    if not (data.ndim == 2 or (data.ndim == 3 and data.shape[2] == 3)):
        raise ValueError(
            f"expected an image array of shape (H, W, 3) RGB, (H, W, 4) RGBA or (H, W) grey, "
            f"got shape {data.shape}"
        )
    height, width = int(data.shape[0]), int(data.shape[1])
    if width < 1 or height < 1:
        raise ValueError(f"the image array is empty (shape {data.shape})")
    # Converted before grey is repeated, so that the rule runs on a third of the samples.
    data = _samples_to_uint8(data, source)
    if data.ndim == 2:
        data = numpy.repeat(data[:, :, numpy.newaxis], 3, axis=2)
    # tobytes() is the one copy a contiguous (H, W, 3) uint8 array needs.
    return Frame(numpy.ascontiguousarray(data).tobytes(), width, height)


# Pillow modes whose samples are wider than 8 bits. Pillow's own conversion to RGB clips them
# (a 16-bit grey picture becomes almost all white), so they go through the NumPy rule instead.
_WIDE_SAMPLE_MODES = frozenset({"I;16", "I;16B", "I;16L", "I;16N", "I", "F"})


def frame_from_pillow(image: Image.Image, source: str) -> Frame:
    """A frame from a Pillow image as it is (no orientation applied); ``source`` names it in errors."""
    width, height = image.size
    if width < 1 or height < 1:
        raise ValueError(f"{source} is empty ({width}x{height})")
    if image.mode in _WIDE_SAMPLE_MODES:
        numpy = require_numpy(f"converting the {image.mode} image {source}")
        samples = numpy.asarray(image)
        if image.mode == "I":
            # 32-bit integer images are how Pillow holds 16-bit samples from several formats.
            low, high = int(samples.min()), int(samples.max())
            if low < 0 or high > 65535:
                raise ValueError(
                    f"{source} is a 32-bit integer (mode I) image with values from {low} to "
                    f"{high}; only 16-bit samples in the range [0, 65535] are accepted"
                )
            samples = samples.astype(numpy.uint16)
        return frame_from_samples(samples, source)
    if image.mode != "RGB":
        image = image.convert("RGB")
    return Frame(image.tobytes(), width, height)


FrameLike = Union["np.ndarray[Any, Any]", "Image.Image", str, "os.PathLike[str]", Frame]
"""What the comparison functions accept: a frame, a NumPy array, a Pillow image or a path."""


def _is_pillow_image(value: object) -> bool:
    image_module = sys.modules.get("PIL.Image")
    return image_module is not None and isinstance(value, image_module.Image)


def _is_numpy_array(value: object) -> bool:
    numpy = sys.modules.get("numpy")
    return numpy is not None and isinstance(value, numpy.ndarray)


def as_frame(value: FrameLike) -> Frame:
    """Turn any accepted input into a :class:`Frame`.

    NumPy and Pillow are looked up only if already imported: an array or an image cannot exist
    without its library, so plain frames and paths work with neither installed.
    """
    if isinstance(value, Frame):
        return value
    if isinstance(value, (str, os.PathLike)):
        return Frame.open(value)
    if _is_numpy_array(value):
        return Frame.from_array(cast("np.ndarray[Any, Any]", value))
    if _is_pillow_image(value):
        return Frame.from_image(cast("Image.Image", value))
    if isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(
            "raw bytes carry no size: wrap them as quillet.Frame(rgb, width, height)"
        )
    raise TypeError(
        "expected a NumPy array, a Pillow image, a path or a quillet.Frame, "
        f"got {type(value).__name__}"
    )
