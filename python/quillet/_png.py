"""A streaming PNG writer: 8-bit RGBA rows in, a PNG file out, one band of rows at a time.

The picture is never held whole: each band of filtered rows is deflated as it comes and its
compressed bytes leave as IDAT chunks. The rows come filtered (PNG's Sub filter, made by
``quillet._direct``) and are deflated at level 1, several times faster than Pillow's default.
"""

from __future__ import annotations

import os
import struct
import zlib
from collections.abc import Callable
from typing import BinaryIO

__all__ = ["PNG_SIGNATURE", "RgbaPngWriter", "write_png_file", "write_rgba_png"]

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_COLOUR_TYPE_RGBA = 6
# Emit an IDAT chunk once this many compressed bytes are waiting, so chunks stay a sensible size.
_IDAT_BYTES = 1 << 18


class RgbaPngWriter:
    """Writes a ``width`` x ``height`` RGBA PNG to ``stream`` band by band.

    Rows reach :meth:`write_rows` as PNG scanlines: a filter-type byte followed by
    ``width * 4`` filtered bytes. :meth:`finish` checks that exactly ``height`` rows came and ends the
    file; the caller owns (and closes) the stream.
    """

    def __init__(self, stream: BinaryIO, width: int, height: int, level: int = 1) -> None:
        if not (1 <= width < 2**31 and 1 <= height < 2**31):
            raise ValueError(f"a PNG picture needs sides of 1 to 2**31-1 pixels, got {width}x{height}")
        self._stream = stream
        self._scanline_bytes = 1 + 4 * width
        self._rows_expected = height
        self._rows_written = 0
        self._compressor = zlib.compressobj(level)
        self._pending: list[bytes] = []
        self._pending_bytes = 0
        stream.write(PNG_SIGNATURE)
        self._chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, _COLOUR_TYPE_RGBA, 0, 0, 0))

    def _chunk(self, kind: bytes, data: bytes) -> None:
        crc = zlib.crc32(data, zlib.crc32(kind))
        self._stream.write(struct.pack(">I", len(data)) + kind)
        self._stream.write(data)
        self._stream.write(struct.pack(">I", crc))

    def _queue(self, compressed: bytes, flush: bool = False) -> None:
        if compressed:
            self._pending.append(compressed)
            self._pending_bytes += len(compressed)
        if self._pending_bytes >= _IDAT_BYTES or (flush and self._pending_bytes):
            self._chunk(b"IDAT", b"".join(self._pending))
            self._pending.clear()
            self._pending_bytes = 0

    def write_rows(self, scanlines: bytes | bytearray | memoryview) -> None:
        """Add whole scanlines (each a filter-type byte and the row's filtered RGBA bytes)."""
        length = memoryview(scanlines).nbytes
        rows, rest = divmod(length, self._scanline_bytes)
        if rest:
            raise ValueError(
                f"{length} bytes are not whole scanlines of {self._scanline_bytes} bytes"
            )
        if self._rows_written + rows > self._rows_expected:
            raise ValueError(f"more than the picture's {self._rows_expected} rows")
        self._rows_written += rows
        self._queue(self._compressor.compress(scanlines))

    def finish(self) -> None:
        """End the image data and the file; every row must have been written."""
        if self._rows_written != self._rows_expected:
            raise ValueError(
                f"the picture has {self._rows_expected} rows, {self._rows_written} were written"
            )
        self._queue(self._compressor.flush(), flush=True)
        self._chunk(b"IEND", b"")


def write_png_file(
    path: str | os.PathLike[str],
    width: int,
    height: int,
    fill: Callable[[RgbaPngWriter], None],
) -> None:
    """Write a PNG file whose rows ``fill`` hands to the writer, band after band.

    The file appears whole or not at all (see :func:`quillet._outputs.atomic_output`): on any
    failure ``path`` is left as it was.
    """
    from ._outputs import atomic_output  # only when a file is written

    with atomic_output(path, "wb") as stream:
        writer = RgbaPngWriter(stream, width, height)
        fill(writer)
        writer.finish()


def write_rgba_png(
    path: str | os.PathLike[str], rgba: bytes | bytearray | memoryview, width: int, height: int
) -> None:
    """Write ``width * height * 4`` RGBA bytes held in memory as a PNG file (atomically)."""
    row_bytes = 4 * width
    pixels = memoryview(rgba).cast("B")
    if pixels.nbytes != row_bytes * height:
        raise ValueError(
            f"a {width}x{height} RGBA picture needs {row_bytes * height} bytes, got {pixels.nbytes}"
        )

    def fill(writer: RgbaPngWriter) -> None:
        from . import _direct

        band_rows = max(1, (1 << 20) // (row_bytes + 1))
        band = bytearray(band_rows * (row_bytes + 1))
        view = memoryview(band)
        for first in range(0, height, band_rows):
            rows = min(band_rows, height - first)
            _direct.png_scanlines(pixels[first * row_bytes : (first + rows) * row_bytes], width, band)
            writer.write_rows(view[: rows * (row_bytes + 1)])

    write_png_file(path, width, height, fill)
