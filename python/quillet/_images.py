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


@contextmanager
def _pillow_calls(name: str, max_pixels: int | None) -> Iterator[None]:
    """Runs Pillow calls on one file; every way they fail becomes one error naming the file.

    Decoders report bad data as OSError, SyntaxError, EOFError, ValueError, IndexError,
    struct.error and more, depending on the format; a damaged file must give a message, not a
    traceback. Pillow's warnings (its decompression-bomb warning, "Truncated File Read" on a
    damaged TIFF directory) would reach the terminal; the pixel limit and these errors replace
    them. The block holds Pillow calls only, so nothing of quillet's own is caught here.
    """
    image_module = require_pillow(f"reading the image {name!r}")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
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
    except (FileNotFoundError, PermissionError, IsADirectoryError, MemoryError):
        raise
    except Exception as error:
        reason = str(error) or type(error).__name__
        raise ImageReadError(f"{name}: cannot read the image: {reason}") from None


def _check_limit(max_pixels: int | None) -> None:
    if max_pixels is not None and (isinstance(max_pixels, bool) or max_pixels < 1):
        raise ValueError(f"max_pixels must be a positive number of pixels, got {max_pixels!r}")


def open_image(path: str | os.PathLike[str], max_pixels: int | None = DEFAULT_MAX_PIXELS) -> Image.Image:
    """The file opened by Pillow, only its header read and its size checked against the limit.

    The caller closes it (``with open_image(path) as image:``). Pillow's decompression-bomb
    warning never shows; its refusal and unreadable files raise the errors of
    :func:`read_image`.
    """
    name = _display_name(path)
    _check_limit(max_pixels)
    image_module = require_pillow(f"reading the image {name!r}")
    with _pillow_calls(name, max_pixels):
        image = image_module.open(path)
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


def _frame_count(image: Image.Image) -> int:
    """How many frames to compare: 1 for a still picture or an MPO's primary picture."""
    if image.format in _SINGLE_PICTURE_FORMATS or not getattr(image, "is_animated", False):
        return 1
    count = getattr(image, "n_frames", 1)
    return count if isinstance(count, int) and count > 1 else 1


_EXIF_ORIENTATION = 0x0112
# Orientation values 2 to 8 each need a flip or a turn; 1 (or none, or an invalid one) needs none.
_TURNED_ORIENTATIONS = frozenset(range(2, 9))


def upright(image: Image.Image) -> Image.Image:
    """The image turned upright by its EXIF orientation tag, as viewers show it.

    An image that needs no turn is returned as it is: Pillow's exif_transpose would copy it,
    which for a large picture is hundreds of megabytes for nothing.
    """
    if image.getexif().get(_EXIF_ORIENTATION, 1) not in _TURNED_ORIENTATIONS:
        return image
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
    from ._png_reader import read_plain_rgb_png

    _check_limit(max_pixels)
    # The commonest files, plain 8-bit RGB PNGs, read without Pillow's round trip through
    # 4-byte pixels; the same pixels, about twice as fast.
    frame = read_plain_rgb_png(path, max_pixels)
    if frame is not None:
        return frame
    name = _display_name(path)
    with _opened(path, max_pixels) as image:
        with _pillow_calls(name, max_pixels):
            count = _frame_count(image)
        if count > 1:
            raise MultiFrameImageError(
                f"{name}: the file holds {count} frames ({image.format}); compare every frame "
                "with 'quillet video', or extract one frame first"
            )
        with _pillow_calls(name, max_pixels):
            image.load()
            picture = upright(image)
        return frame_from_pillow(picture, name)


def is_multi_frame_image(
    path: str | os.PathLike[str], max_pixels: int | None = DEFAULT_MAX_PIXELS
) -> bool:
    """Whether the image file holds several frames (animated GIF, PNG or WebP, multi-page TIFF)."""
    name = _display_name(path)
    with _opened(path, max_pixels) as image, _pillow_calls(name, max_pixels):
        return _frame_count(image) > 1


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
        with _pillow_calls(name, max_pixels):
            count = _frame_count(image)
        time: float | None = 0.0
        for index in range(count):
            where = f"{name} frame {index}"
            with _pillow_calls(where, max_pixels):
                image.seek(index)
            # Frames of some formats may differ in size; each one is checked before decoding.
            _check_pixels(where, *image.size, max_pixels)
            with _pillow_calls(where, max_pixels):
                image.load()
                picture = upright(image)
                milliseconds = image.info.get("duration")
            frame = frame_from_pillow(picture, where)
            duration = float(milliseconds) / 1000.0 if isinstance(milliseconds, (int, float)) else None
            yield ImageFrame(frame, index, time if duration is not None else None, duration)
            time = None if time is None or duration is None else time + duration
