"""The difference picture at the images' own size, for images compared at a reduced size.

The figures of a comparison come from the reduced frames, but a changed line of text in a tall
screenshot only shows in a picture at full size. It follows the comparison picture's rule pixel
for pixel (threshold, heat colours), with the colours scaled to the largest squared distance
over the whole image. It is made in bands of rows: written to a PNG file, memory stays a few
rows beyond the two images however tall they are.
"""

from __future__ import annotations

import os
from typing import Any

from . import _direct
from ._png import RgbaPngWriter, write_png_file

__all__ = [
    "FullSizeTooLargeError",
    "check_full_size",
    "full_size_rgba",
    "write_full_size_png",
]

# A band is about this many bytes of picture: large enough to keep zlib busy, small enough
# to stay in the cache.
_BAND_BYTES = 1 << 20


class FullSizeTooLargeError(ValueError):
    """A full-size picture would have more pixels than the limit allows."""


def check_full_size(width: int, height: int, max_pixels: int | None) -> None:
    """Refuse, before any work, a full-size picture of more than ``max_pixels`` pixels."""
    if max_pixels is not None and width * height > max_pixels:
        raise FullSizeTooLargeError(
            f"the full-size difference picture would have {width}x{height} = "
            f"{width * height} pixels, over the limit of {max_pixels} (--max-pixels)"
        )


def band_rows_for(width: int) -> int:
    """How many rows of a ``width``-pixel picture make one band."""
    return max(1, _BAND_BYTES // (1 + 4 * width))


def full_size_rgba(left: Any, right: Any, width: int, height: int) -> bytes:
    """The whole full-size picture in memory, ``width * height * 4`` RGBA bytes."""
    max_diff = _direct.max_squared_distance(left, right, width, height)
    picture = bytearray(width * height * 4)
    _direct.full_size_rows(left, right, width, height, max_diff, 0, height, picture)
    return bytes(picture)


def write_full_size_png(
    path: str | os.PathLike[str],
    left: Any,
    right: Any,
    width: int,
    height: int,
    *,
    band_rows: int | None = None,
) -> None:
    """Write the full-size picture of two frames (buffers the comparison reads) to a PNG file.

    The rows are made and compressed ``band_rows`` at a time; the file appears whole or not
    at all.
    """
    rows_per_band = band_rows_for(width) if band_rows is None else band_rows
    if rows_per_band < 1:
        raise ValueError(f"band_rows must be at least 1, got {rows_per_band}")
    max_diff = _direct.max_squared_distance(left, right, width, height)
    scanline_bytes = 1 + 4 * width

    def fill(writer: RgbaPngWriter) -> None:
        band = bytearray(rows_per_band * scanline_bytes)
        view = memoryview(band)
        for first in range(0, height, rows_per_band):
            rows = min(rows_per_band, height - first)
            _direct.full_size_rows(
                left, right, width, height, max_diff, first, rows, band, scanlines=True
            )
            writer.write_rows(view[: rows * scanline_bytes])

    write_png_file(path, width, height, fill)
