"""A fast reader for the commonest PNG files: 8-bit RGB, not interlaced, nothing to apply.

Pillow decodes a PNG into 4-byte pixels and packs them back into 3-byte RGB on export, which
takes about as long as inflating the data. For plain 8-bit RGB files the result is fully
determined by the file: inflate the image data (interpreter lock released; ISA-L's inflater
from the ``isal`` package when it is installed, about twice as fast as zlib's, else zlib) and
undo the row filters (``quillet._direct``), straight into packed RGB. Everything else goes to Pillow
(:func:`quillet._images.read_image`): other colour types and depths, interlacing, transparency,
animation, EXIF or XMP metadata (which may turn the picture), chunks this reader does not know,
and any file that is not exactly whole and sound (a bad checksum, a short or overlong data
stream, bytes after the end). Pillow then gives its own result or its own error, so the fast
path never changes what a file reads as.
"""

from __future__ import annotations

import functools
import os
import struct
import zlib
from types import ModuleType

from ._frames import Frame

__all__ = ["read_plain_rgb_png"]

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_IHDR_LENGTH = 13
_HEADER_BYTES = len(_SIGNATURE) + 8 + _IHDR_LENGTH + 4  # the signature and the IHDR chunk
_BIT_DEPTH_8 = 8
_COLOUR_TYPE_RGB = 2
# Chunks that change nothing in the decoded samples: colour-space hints and text. (Text whose
# keyword names EXIF or XMP metadata is refused below: Pillow may turn the picture by it.)
_INERT_CHUNKS = frozenset(
    {b"gAMA", b"cHRM", b"sRGB", b"iCCP", b"pHYs", b"sBIT", b"tIME", b"bKGD", b"hIST", b"sPLT"}
)
_TEXT_CHUNKS = frozenset({b"tEXt", b"zTXt", b"iTXt"})
_KEYWORD_BYTES = 80


@functools.cache
def _inflate_module() -> ModuleType:
    """ISA-L's zlib-compatible module if installed (the same streams accepted and refused, the
    same checksums; its inflate and CRC are about 2x and 15x zlib's), else zlib."""
    try:
        from isal import isal_zlib
    except ImportError:
        return zlib
    return isal_zlib


def _inert_text(data: bytes) -> bool:
    keyword = data[:_KEYWORD_BYTES].split(b"\0", 1)[0].lower()
    return b"exif" not in keyword and b"xmp" not in keyword


def _image_data(data: bytes) -> bytes | None:
    """The joined IDAT payloads of a whole, sound PNG file with no chunk that matters beyond
    them, or None."""
    crc32 = _inflate_module().crc32
    position = _HEADER_BYTES
    parts: list[bytes] = []
    ended_data = False
    while position + 12 <= len(data):
        (length,) = struct.unpack_from(">I", data, position)
        kind = data[position + 4 : position + 8]
        end = position + 12 + length
        if end > len(data):
            return None
        body = data[position + 8 : end - 4]
        (checksum,) = struct.unpack_from(">I", data, end - 4)
        if crc32(body, crc32(kind)) != checksum:
            return None
        if kind == b"IEND":
            return b"".join(parts) if parts and end == len(data) and not length else None
        if kind == b"IDAT":
            if ended_data:
                return None
            parts.append(body)
        elif kind in _TEXT_CHUNKS:
            if not _inert_text(body):
                return None
        elif kind not in _INERT_CHUNKS:
            return None
        if parts and kind != b"IDAT":
            ended_data = True
        position = end
    return None


def read_plain_rgb_png(path: str | os.PathLike[str], max_pixels: int | None) -> Frame | None:
    """The frame of a plain 8-bit RGB PNG file, or None when Pillow must read the file.

    None also for every file that cannot be read here, so that Pillow reports it; a file over
    ``max_pixels`` pixels is left to Pillow too, which refuses it with the usual error.
    """
    try:
        with open(path, "rb") as file:
            header = file.read(_HEADER_BYTES)
            if len(header) < _HEADER_BYTES or not header.startswith(_SIGNATURE):
                return None
            length, kind = struct.unpack_from(">I4s", header, len(_SIGNATURE))
            if kind != b"IHDR" or length != _IHDR_LENGTH:
                return None
            width, height, depth, colour, compression, filtering, interlace = struct.unpack_from(
                ">IIBBBBB", header, len(_SIGNATURE) + 8
            )
            if (depth, colour, compression, filtering, interlace) != (
                _BIT_DEPTH_8, _COLOUR_TYPE_RGB, 0, 0, 0
            ) or not (0 < width < 2**31 and 0 < height < 2**31):
                return None
            if max_pixels is not None and width * height > max_pixels:
                return None
            data = header + file.read()
    except OSError:
        return None
    if zlib.crc32(header[len(_SIGNATURE) + 4 : _HEADER_BYTES - 4]) != struct.unpack_from(
        ">I", header, _HEADER_BYTES - 4
    )[0]:
        return None
    compressed = _image_data(data)
    if compressed is None:
        return None
    expected = height * (1 + 3 * width)
    inflate = _inflate_module()
    inflater = inflate.decompressobj()
    try:
        scanlines = inflater.decompress(compressed, expected + 1)
    except inflate.error:
        return None
    if len(scanlines) != expected or not inflater.eof or inflater.unused_data:
        return None
    from . import _direct

    rows = _direct.png_rgb_rows(scanlines, width, height)
    return None if rows is None else Frame(rows, width, height)
