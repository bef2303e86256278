"""The fast reader of plain 8-bit RGB PNG files: the same pixels as Pillow for every filter, and
Pillow's own result or error for every file it must not read itself.

The files are built here, byte by byte: rows filtered by a NumPy version of PNG's five filters
(written from the filter definitions, independently of the reader), chunks with their checksums.
"""

from __future__ import annotations

import io
import struct
import zlib
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from quillet import _direct, _png_reader
from quillet._images import ImageReadError, ImageTooLargeError, read_image
from quillet._png_reader import read_plain_rgb_png

SIGNATURE = b"\x89PNG\r\n\x1a\n"


@pytest.fixture(autouse=True, params=["zlib", "isal"])
def inflater(request, monkeypatch):
    """Every case with zlib and with ISA-L's inflater: both must accept and refuse alike."""
    module = zlib if request.param == "zlib" else pytest.importorskip("isal.isal_zlib")
    monkeypatch.setattr(_png_reader, "_inflate_module", lambda: module)
    return module


def chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def header(width: int, height: int, depth: int = 8, colour: int = 2, interlace: int = 0) -> bytes:
    return chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace))


def paeth_predictor(a: np.ndarray, b: np.ndarray, c: np.ndarray) -> np.ndarray:
    a, b, c = (v.astype(np.int32) for v in (a, b, c))
    p = a + b - c
    pa, pb, pc = np.abs(p - a), np.abs(p - b), np.abs(p - c)
    return np.where((pa <= pb) & (pa <= pc), a, np.where(pb <= pc, b, c))


def filtered_rows(pixels: np.ndarray, filters: list[int]) -> bytes:
    """The scanlines of an (h, w, 3) uint8 picture, row y under filter filters[y]."""
    height, width, _ = pixels.shape
    flat = pixels.reshape(height, width * 3).astype(np.int32)
    out = bytearray()
    for y in range(height):
        row = flat[y]
        up = flat[y - 1] if y else np.zeros_like(row)
        left = np.concatenate([np.zeros(3, np.int32), row[:-3]])
        corner = np.concatenate([np.zeros(3, np.int32), up[:-3]])
        predictor = {
            0: np.zeros_like(row),
            1: left,
            2: up,
            3: (left + up) // 2,
            4: paeth_predictor(left, up, corner),
        }[filters[y]]
        out.append(filters[y])
        out += ((row - predictor) % 256).astype(np.uint8).tobytes()
    return bytes(out)


def png_file(
    pixels: np.ndarray,
    filters: list[int] | None = None,
    *,
    before_data: bytes = b"",
    after_data: bytes = b"",
    stream: bytes | None = None,
    idat_parts: int = 1,
) -> bytes:
    height, width, _ = pixels.shape
    if stream is None:
        stream = zlib.compress(filtered_rows(pixels, filters or [4] * height))
    step = -(-len(stream) // idat_parts)
    data = b"".join(chunk(b"IDAT", stream[i : i + step]) for i in range(0, len(stream), step))
    return SIGNATURE + header(width, height) + before_data + data + after_data + chunk(b"IEND", b"")


def pillow_rgb(data: bytes) -> np.ndarray:
    with Image.open(io.BytesIO(data)) as image:
        return np.asarray(image.convert("RGB"))


def picture(width: int, height: int, seed: int = 0) -> np.ndarray:
    """Smooth content with noise: every Paeth branch and every wrap-around modulo 256 occurs."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    smooth = np.stack([x * 7 + y * 3, x * 2 + y * 11, (x ^ y) * 5], axis=-1)
    return ((smooth + rng.integers(0, 40, (height, width, 3))) % 256).astype(np.uint8)


def write(tmp_path: Path, data: bytes, name: str = "picture.png") -> Path:
    path = tmp_path / name
    path.write_bytes(data)
    return path


def filter_patterns(height: int, seed: int) -> dict[str, list[int]]:
    rng = np.random.default_rng(seed)
    patterns = {f"all {kind}": [kind] * height for kind in range(5)}
    patterns["mixed"] = [int(kind) for kind in rng.integers(0, 5, height)]
    # Groups of Paeth rows broken by other filters at every offset.
    patterns["paeth runs"] = [1 if y % 6 == 5 else 4 for y in range(height)]
    return patterns


@pytest.mark.parametrize(
    ("width", "height"), [(1, 1), (2, 3), (3, 5), (4, 4), (5, 9), (17, 13), (64, 33), (301, 7)]
)
def test_every_filter_reads_as_pillow_and_the_original(tmp_path, width, height):
    pixels = picture(width, height, seed=width * height)
    for name, filters in filter_patterns(height, seed=width).items():
        data = png_file(pixels, filters, idat_parts=3 if height > 4 else 1)
        frame = read_plain_rgb_png(write(tmp_path, data), None)
        assert frame is not None, name
        got = np.frombuffer(frame.rgb, np.uint8).reshape(height, width, 3)
        np.testing.assert_array_equal(got, pixels, err_msg=name)
        np.testing.assert_array_equal(got, pillow_rgb(data), err_msg=name)


def test_files_written_by_pillow_read_the_same(tmp_path):
    pixels = picture(257, 131, seed=3)
    for level in (0, 1, 6, 9):
        path = tmp_path / f"level{level}.png"
        Image.fromarray(pixels).save(path, compress_level=level)
        frame = read_plain_rgb_png(path, None)
        assert frame is not None and frame.rgb == pixels.tobytes()
        assert read_image(path).rgb == frame.rgb


@pytest.mark.parametrize(
    "extra",
    [
        chunk(b"gAMA", struct.pack(">I", 45455)),
        chunk(b"sRGB", b"\0"),
        chunk(b"pHYs", struct.pack(">IIB", 2835, 2835, 1)),
        chunk(b"sBIT", b"\5\6\5"),
        chunk(b"tIME", struct.pack(">HBBBBB", 2026, 12, 8, 10, 0, 0)),
        chunk(b"bKGD", struct.pack(">HHH", 10, 20, 30)),
        chunk(b"tEXt", b"Comment\0made in a test"),
        chunk(b"iCCP", b"profile\0\0" + zlib.compress(b"not really a profile")),
    ],
    ids=["gAMA", "sRGB", "pHYs", "sBIT", "tIME", "bKGD", "tEXt", "iCCP"],
)
def test_chunks_that_change_no_pixel_keep_the_fast_path(tmp_path, extra):
    pixels = picture(23, 19, seed=5)
    data = png_file(pixels, before_data=extra)
    frame = read_plain_rgb_png(write(tmp_path, data), None)
    assert frame is not None
    assert frame.rgb == pillow_rgb(data).tobytes() == pixels.tobytes()


def _exif_turned() -> bytes:
    exif = Image.Exif()
    exif[0x0112] = 6
    return chunk(b"eXIf", exif.tobytes())


def _with_idat_crc_broken(data: bytes) -> bytes:
    at = data.index(b"IDAT")
    length = struct.unpack(">I", data[at - 4 : at])[0]
    end = at + 4 + length
    return data[:end] + bytes([data[end] ^ 1]) + data[end + 1 :]


_PIXELS = picture(31, 17, seed=9)
_ROWS = filtered_rows(_PIXELS, [4] * 17)
_LEFT_TO_PILLOW = {
    "transparency": png_file(_PIXELS, before_data=chunk(b"tRNS", struct.pack(">HHH", 1, 2, 3))),
    "EXIF orientation": png_file(_PIXELS, before_data=_exif_turned()),
    "EXIF in text": png_file(_PIXELS, before_data=chunk(b"tEXt", b"Raw profile type exif\0x")),
    "XMP": png_file(_PIXELS, before_data=chunk(b"iTXt", b"XML:com.adobe.xmp\0\0\0\0\0<x/>")),
    "unknown chunk": png_file(_PIXELS, before_data=chunk(b"zzZz", b"?")),
    "bytes after the end": png_file(_PIXELS) + b"\0",
    "stream one row short": png_file(_PIXELS, stream=zlib.compress(_ROWS[: -(1 + 31 * 3)])),
    "stream with a row too many": png_file(_PIXELS, stream=zlib.compress(_ROWS + _ROWS[:94])),
    "stream cut": png_file(_PIXELS, stream=zlib.compress(_ROWS)[:-9]),
    "data after the stream": png_file(_PIXELS, stream=zlib.compress(_ROWS) + b"junk"),
    "filter type 5": png_file(_PIXELS, stream=zlib.compress(b"\5" + _ROWS[1:])),
    "broken checksum": _with_idat_crc_broken(png_file(_PIXELS)),
    "file cut": png_file(_PIXELS)[:-30],
}


@pytest.mark.parametrize("case", sorted(_LEFT_TO_PILLOW))
def test_files_the_fast_path_must_not_read_go_to_pillow(tmp_path, case):
    data = _LEFT_TO_PILLOW[case]
    path = write(tmp_path, data)
    assert read_plain_rgb_png(path, None) is None
    # read_image then gives exactly what Pillow makes of the file, or Pillow's refusal.
    try:
        with Image.open(io.BytesIO(data)) as image:
            image.load()
            from PIL import ImageOps

            expected = np.asarray(ImageOps.exif_transpose(image).convert("RGB")).tobytes()
    except (OSError, SyntaxError, ValueError):
        with pytest.raises(ImageReadError):
            read_image(path)
    else:
        assert read_image(path).rgb == expected


@pytest.mark.parametrize(
    ("depth", "colour", "interlace"), [(8, 6, 0), (8, 0, 0), (8, 3, 0), (16, 2, 0), (8, 2, 1)]
)
def test_other_kinds_of_png_go_to_pillow(tmp_path, depth, colour, interlace):
    data = SIGNATURE + header(4, 4, depth, colour, interlace) + chunk(b"IEND", b"")
    assert read_plain_rgb_png(write(tmp_path, data), None) is None


def test_the_pixel_limit_is_left_to_pillow_refusal(tmp_path):
    path = write(tmp_path, png_file(picture(40, 30)))
    assert read_plain_rgb_png(path, 40 * 30 - 1) is None
    assert read_plain_rgb_png(path, 40 * 30) is not None
    with pytest.raises(ImageTooLargeError):
        read_image(path, max_pixels=40 * 30 - 1)


def test_not_png_or_missing_files_are_not_read(tmp_path):
    assert read_plain_rgb_png(write(tmp_path, b"GIF89a" + bytes(40), "x.png"), None) is None
    assert read_plain_rgb_png(tmp_path / "missing.png", None) is None
    with pytest.raises(FileNotFoundError):
        read_image(tmp_path / "missing.png")


@pytest.mark.parametrize(
    ("scanlines", "width", "height"),
    [(b"\0" * 9, 2, 1), (b"\0" * 15, 2, 2), (b"", 0, 1), (b"\0" * 4, 1, 0)],
)
def test_png_rgb_rows_refuses_sizes_that_do_not_fit(scanlines, width, height):
    with pytest.raises(ValueError):
        _direct.png_rgb_rows(scanlines, width, height)
