"""Writers of the image files that the input tests read: 16-bit PNGs of every colour type
(Pillow cannot write most of them), PNG headers that claim huge sizes, animations, multi-page
files and photos with an EXIF orientation."""

import struct
import zlib
from pathlib import Path

import numpy as np
from PIL import Image

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# PNG colour types by channel count: grey, grey + alpha, RGB, RGBA.
PNG_COLOUR_TYPES = {1: 0, 2: 4, 3: 2, 4: 6}
EXIF_ORIENTATION_TAG = 0x0112


def _png_chunk(kind: bytes, data: bytes) -> bytes:
    return (
        struct.pack(">I", len(data))
        + kind
        + data
        + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    )


def _png_header(width: int, height: int, bit_depth: int, colour_type: int) -> bytes:
    ihdr = struct.pack(">IIBBBBB", width, height, bit_depth, colour_type, 0, 0, 0)
    return PNG_SIGNATURE + _png_chunk(b"IHDR", ihdr)


def write_png16(path: Path, samples: np.ndarray) -> Path:
    """A 16-bit PNG of (H, W) or (H, W, C) uint16 samples, C = 1 to 4 (grey to RGBA)."""
    data = samples if samples.ndim == 3 else samples[:, :, np.newaxis]
    height, width, channels = data.shape
    big_endian = data.astype(">u2")
    raw = b"".join(b"\x00" + big_endian[y].tobytes() for y in range(height))  # filter 0
    path.write_bytes(
        _png_header(width, height, 16, PNG_COLOUR_TYPES[channels])
        + _png_chunk(b"IDAT", zlib.compress(raw))
        + _png_chunk(b"IEND", b"")
    )
    return path


def write_png_claiming(path: Path, width: int, height: int) -> Path:
    """A tiny PNG whose header claims an 8-bit RGB picture of width x height; one row of data."""
    raw = zlib.compress(b"\x00" + bytes(3 * min(width, 64)))
    path.write_bytes(
        _png_header(width, height, 8, 2) + _png_chunk(b"IDAT", raw) + _png_chunk(b"IEND", b"")
    )
    return path


def save_frames(path: Path, frames: list[np.ndarray], durations_ms=None, **options) -> Path:
    """An animation or a multi-page file of uint8 RGB frames, in the format of the file name."""
    images = [Image.fromarray(frame) for frame in frames]
    if durations_ms is not None:
        options["duration"] = durations_ms
    images[0].save(path, save_all=True, append_images=images[1:], **options)
    return path


def solid_frames(count: int, height: int = 6, width: int = 8) -> list[np.ndarray]:
    """Frames of distinct solid colours: exact in every format, GIF's palettes included."""
    return [
        np.full((height, width, 3), (40 * index, 255 - 40 * index, 90), np.uint8)
        for index in range(count)
    ]


def smooth_picture(height: int = 48, width: int = 64) -> np.ndarray:
    """Gradients that JPEG keeps well, different in every corner so rotations show."""
    y, x = np.mgrid[0:height, 0:width]
    return np.stack(
        [x * 255 // (width - 1), y * 255 // (height - 1), (x + 2 * y) * 255 // (width + 2 * height)],
        axis=2,
    ).astype(np.uint8)


# How each EXIF orientation stores an upright picture: the inverse of what a viewer applies.
STORED_FOR_ORIENTATION = {
    1: lambda a: a,
    3: lambda a: np.rot90(a, 2),
    6: lambda a: np.rot90(a, 1),  # the viewer turns it 90 degrees clockwise
    8: lambda a: np.rot90(a, -1),  # the viewer turns it 90 degrees anticlockwise
}


def save_oriented_jpeg(path: Path, upright: np.ndarray, orientation: int) -> Path:
    """A JPEG whose pixels are stored turned, with the EXIF tag that turns them back."""
    stored = Image.fromarray(np.ascontiguousarray(STORED_FOR_ORIENTATION[orientation](upright)))
    exif = Image.Exif()
    exif[EXIF_ORIENTATION_TAG] = orientation
    stored.save(path, quality=95, exif=exif.tobytes())
    return path
