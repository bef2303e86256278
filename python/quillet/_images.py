"""Reading image files with Pillow: size limit, EXIF orientation, single and multi-frame files.

Every file is identified from its header first, and refused before any pixel is decoded when
it has more than ``max_pixels`` pixels: a few kilobytes of compressed data can claim a picture
of billions of pixels. Errors are ValueError or OSError subclasses whose message names the file,
so that the command line can print them as one line.
"""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, NamedTuple

from ._limits import DEFAULT_MAX_PIXELS
from ._optional import require_pillow

if TYPE_CHECKING:
    from PIL import Image

    from ._frames import Frame

__all__ = [
    "DEFAULT_MAX_PIXELS",
    "ImageFrame",
    "ImageReadError",
    "ImageTooLargeError",
    "MultiFrameImageError",
    "is_multi_frame_image",
    "iter_image_frames",
    "open_image",
    "read_image",
    "upright",
]


# Formats whose extra frames are not a sequence in time: an MPO (a camera JPEG with a preview or
# a second view) is compared as its primary picture.
_SINGLE_PICTURE_FORMATS = frozenset({"MPO"})


class ImageTooLargeError(ValueError):
    """An image has more pixels than the limit allows; found from its header, before decoding."""


class MultiFrameImageError(ValueError):
    """A file holds several frames (an animation or pages) where one picture was expected."""


class ImageReadError(OSError):
    """A file cannot be read as an image: unknown format, truncated or corrupt data."""


class ImageFrame(NamedTuple):
    """One frame of a multi-frame image file.

    ``time`` is when it is shown, in seconds from the first frame, and ``duration`` how long,
    both from the file's frame durations; None when the file gives none (TIFF pages).
    """

    frame: Frame
    index: int
    time: float | None
    duration: float | None


def _display_name(path: str | os.PathLike[str]) -> str:
    return os.fspath(path)


def _pixel_count_in(message: str) -> int | None:
    match = re.search(r"\((\d+) pixels\)", message)
    return int(match.group(1)) if match else None


def _check_pixels(name: str, width: int, height: int, max_pixels: int | None) -> None:
    if max_pixels is not None and width * height > max_pixels:
        raise ImageTooLargeError(
            f"{name}: the image is {width}x{height} = {width * height} pixels, more than the "
            f"limit of {max_pixels} (raise it with --max-pixels or max_pixels= if the file "
            "is trusted)"
        )


def open_image(path: str | os.PathLike[str], max_pixels: int | None = DEFAULT_MAX_PIXELS) -> Image.Image:
    """The file opened by Pillow, only its header read and its size checked against the limit.

    The caller closes it (``with open_image(path) as image:``). Pillow's decompression-bomb
    warning never shows; its refusal and unreadable files raise the errors of
    :func:`read_image`.
    """
    name = _display_name(path)
    image_module = require_pillow(f"reading the image {name!r}")
    if max_pixels is not None and (isinstance(max_pixels, bool) or max_pixels < 1):
        raise ValueError(f"max_pixels must be a positive number of pixels, got {max_pixels!r}")
    try:
        # Pillow warns about large images before refusing them; the limit here replaces the
        # warning, which would otherwise reach the user's terminal.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", image_module.DecompressionBombWarning)
            image = image_module.open(path)
    except image_module.DecompressionBombError as error:
        # Pillow refused from the header on its own limit; say which limit the image broke.
        pixels = _pixel_count_in(str(error))
        claimed = f"claims {pixels} pixels" if pixels is not None else "is too large"
        if pixels is not None and max_pixels is not None and pixels > max_pixels:
            limit = f"the limit of {max_pixels}"
        else:
            limit = (
                f"Pillow accepts ({2 * (image_module.MAX_IMAGE_PIXELS or 0)} pixels; "
                "see PIL.Image.MAX_IMAGE_PIXELS)"
            )
        raise ImageTooLargeError(f"{name}: the image {claimed}, more than {limit}") from None
    except image_module.UnidentifiedImageError:
        raise ImageReadError(f"{name}: cannot identify the file as an image Pillow can read") from None
    except (FileNotFoundError, PermissionError, IsADirectoryError):
        raise
    except (OSError, SyntaxError, ValueError, EOFError) as error:
        raise ImageReadError(f"{name}: cannot read the image: {error}") from None
    try:
        _check_pixels(name, *image.size, max_pixels)
    except BaseException:
        image.close()
        raise
    return image


@contextmanager
def _opened(path: str | os.PathLike[str], max_pixels: int | None) -> Iterator[Image.Image]:
    with open_image(path, max_pixels) as image:
        yield image


def _multi_frame(image: Image.Image) -> bool:
    return bool(getattr(image, "is_animated", False)) and image.format not in _SINGLE_PICTURE_FORMATS


@contextmanager
def _decoding(name: str, where: str = "") -> Iterator[None]:
    """Turns the many ways a decoder reports bad data into one ImageReadError naming the file."""
    image_module = require_pillow(f"reading the image {name!r}")
    try:
        yield
    except image_module.DecompressionBombError as error:
        raise ImageTooLargeError(f"{name}{where}: {error}") from None
    except (OSError, SyntaxError, EOFError) as error:
        if isinstance(error, (FileNotFoundError, PermissionError)):
            raise
        raise ImageReadError(f"{name}{where}: cannot decode the image: {error}") from None


def upright(image: Image.Image) -> Image.Image:
    """The image turned upright by its EXIF orientation tag, as viewers show it."""
    from PIL import ImageOps

    transposed = ImageOps.exif_transpose(image)
    return image if transposed is None else transposed


def read_image(path: str | os.PathLike[str], max_pixels: int | None = DEFAULT_MAX_PIXELS) -> Frame:
    """Read a single-picture image file as a :class:`~quillet.Frame`, upright.

    The EXIF orientation is applied; 16-bit and floating-point samples are converted as
    :meth:`Frame.from_array` describes. Raises :class:`ImageTooLargeError` above ``max_pixels``
    (None: no limit of quillet's own), :class:`MultiFrameImageError` for an animation or a
    multi-page file (compare those with ``quillet video``), :class:`ImageReadError` for data
    Pillow cannot decode, and FileNotFoundError for a missing file.
    """
    from ._frames import frame_from_pillow

    name = _display_name(path)
    with _opened(path, max_pixels) as image:
        if _multi_frame(image):
            count = getattr(image, "n_frames", None)
            frames = f"{count} frames" if isinstance(count, int) and count > 1 else "several frames"
            raise MultiFrameImageError(
                f"{name}: the file holds {frames} ({image.format}); compare every frame with "
                "'quillet video', or extract one frame first"
            )
        with _decoding(name):
            image.load()
            return frame_from_pillow(upright(image), name)


def is_multi_frame_image(
    path: str | os.PathLike[str], max_pixels: int | None = DEFAULT_MAX_PIXELS
) -> bool:
    """Whether the image file holds several frames (animated GIF, PNG or WebP, multi-page TIFF)."""
    with _opened(path, max_pixels) as image:
        return _multi_frame(image)


def iter_image_frames(
    path: str | os.PathLike[str], max_pixels: int | None = DEFAULT_MAX_PIXELS
) -> Iterator[ImageFrame]:
    """Every frame of an image file in order, each upright and as full RGB (one frame for a
    still picture).

    Pillow composes each animation frame with the ones before it (GIF and APNG disposal and
    blending), so every frame is the picture as shown at its time. Only the current frame is
    held in memory. Errors name the file and the frame.
    """
    from ._frames import frame_from_pillow

    name = _display_name(path)
    with _opened(path, max_pixels) as image:
        count = getattr(image, "n_frames", 1) if _multi_frame(image) else 1
        time: float | None = 0.0
        for index in range(count):
            where = f" frame {index}"
            with _decoding(name, where):
                image.seek(index)
                # Frames of some formats may differ in size; each one is checked.
                _check_pixels(f"{name}{where}", *image.size, max_pixels)
                image.load()
                frame = frame_from_pillow(upright(image), f"{name}{where}")
            milliseconds = image.info.get("duration")
            duration = float(milliseconds) / 1000.0 if isinstance(milliseconds, (int, float)) else None
            yield ImageFrame(frame, index, time if duration is not None else None, duration)
            time = None if time is None or duration is None else time + duration
