"""Frames: packed RGB bytes with their size, made from NumPy arrays, Pillow images or image files."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union, cast

from ._optional import require_numpy, require_pillow

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    from PIL import Image

__all__ = ["Frame", "FrameLike", "as_frame"]


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
        """Make a frame from a uint8 array of shape (H, W, 3), (H, W, 4) or (H, W) / (H, W, 1).

        Alpha is dropped and grey is repeated into the three channels. Other shapes and dtypes
        raise ValueError and TypeError.
        """
        numpy = require_numpy("Frame.from_array")
        data = numpy.asarray(array)
        if data.dtype != numpy.uint8:
            raise TypeError(
                f"expected an array of dtype uint8 (0..255 per channel), got {data.dtype}; "
                "convert it first, e.g. (a * 255).round().astype('uint8') for floats in 0..1"
            )
        if data.ndim == 3 and data.shape[2] == 1:
            data = data[:, :, 0]
        if data.ndim == 2:
            data = numpy.repeat(data[:, :, numpy.newaxis], 3, axis=2)
        elif data.ndim == 3 and data.shape[2] == 4:
            data = data[:, :, :3]
        elif not (data.ndim == 3 and data.shape[2] == 3):
            raise ValueError(
                f"expected an image array of shape (H, W, 3) RGB, (H, W, 4) RGBA or (H, W) grey, "
                f"got shape {data.shape}"
            )
        height, width = int(data.shape[0]), int(data.shape[1])
        if width < 1 or height < 1:
            raise ValueError(f"the image array is empty (shape {data.shape})")
        return cls(numpy.ascontiguousarray(data).tobytes(), width, height)

    @classmethod
    def from_image(cls, image: Image.Image) -> Frame:
        """Make a frame from a Pillow image of any mode; it is converted to RGB, alpha dropped."""
        if image.mode != "RGB":
            image = image.convert("RGB")
        width, height = image.size
        if width < 1 or height < 1:
            raise ValueError(f"the image is empty ({width}x{height})")
        return cls(image.tobytes(), width, height)

    @classmethod
    def open(cls, path: str | os.PathLike[str]) -> Frame:
        """Read an image file with Pillow.

        Raises FileNotFoundError for a missing file and OSError for one Pillow cannot read.
        """
        image_module = require_pillow(f"reading the image {os.fspath(path)!r}")
        with image_module.open(path) as image:
            return cls.from_image(image)

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
