"""Frame streams for the command line: videos decoded with PyAV, image sequences read with Pillow,
and the writers of difference pictures (a folder of PNGs or a video)."""

from __future__ import annotations

import glob
import os
import re
from collections.abc import Iterator
from fractions import Fraction
from pathlib import Path
from typing import Any

from ._api import DiffPicture
from ._frames import Frame
from ._optional import require_av

__all__ = [
    "IMAGE_SUFFIXES",
    "DiffFolderWriter",
    "DiffVideoWriter",
    "FrameSource",
    "ImageSequence",
    "SourceError",
    "VideoFile",
    "open_source",
]

IMAGE_SUFFIXES = frozenset(
    {
        ".png",
        ".jpg",
        ".jpeg",
        ".bmp",
        ".gif",
        ".tif",
        ".tiff",
        ".webp",
        ".ppm",
        ".pgm",
        ".pnm",
        ".tga",
    }
)
"""File name endings taken as images when a folder is read as an image sequence."""


class SourceError(Exception):
    """A stream cannot be opened, read or written; the message is meant for the user."""


def _natural_key(path: str) -> list[Any]:
    """Sort key that puts frame2.png before frame10.png."""
    return [
        int(part) if part.isdigit() else part.lower()
        for part in re.split(r"(\d+)", path)
    ]


class FrameSource:
    """A stream of frames with a name for messages, a length if known and a frame rate if any."""

    name: str
    total: int | None
    frame_rate: Fraction | None

    def __iter__(self) -> Iterator[Frame]:
        raise NotImplementedError

    def close(self) -> None:
        """Release what the source holds open."""


class ImageSequence(FrameSource):
    """Image files read one after the other, in the order given."""

    def __init__(self, name: str, paths: list[str]) -> None:
        self.name = name
        self.paths = paths
        self.total = len(paths)
        self.frame_rate = None

    def __iter__(self) -> Iterator[Frame]:
        for path in self.paths:
            try:
                yield Frame.open(path)
            except OSError as error:
                raise SourceError(f"cannot read the image {path}: {error}") from error


class VideoFile(FrameSource):
    """The first video stream of a file, decoded with PyAV and converted to RGB."""

    def __init__(self, path: str) -> None:
        av = require_av(f"reading the video {path!r}")
        self.name = path
        try:
            self._container = av.open(path)
        except (OSError, av.FFmpegError) as error:
            raise SourceError(f"cannot open {path} as a video: {error}") from error
        if not self._container.streams.video:
            self._container.close()
            raise SourceError(f"{path} has no video stream")
        self._stream = self._container.streams.video[0]
        self._stream.thread_type = "AUTO"
        self._error_type: type[BaseException] = av.FFmpegError
        self.total = self._stream.frames or None
        rate = self._stream.average_rate
        self.frame_rate = Fraction(rate) if rate else None

    def __iter__(self) -> Iterator[Frame]:
        try:
            for decoded in self._container.decode(self._stream):
                yield _packed_rgb(decoded.reformat(format="rgb24"))
        except self._error_type as error:
            raise SourceError(f"cannot decode {self.name}: {error}") from error

    def close(self) -> None:
        """Close the container."""
        self._container.close()


def _packed_rgb(frame: Any) -> Frame:
    """Copy an rgb24 PyAV frame into packed bytes, dropping the decoder's row padding."""
    width, height = frame.width, frame.height
    plane = frame.planes[0]
    row_bytes, line_size = width * 3, plane.line_size
    data = memoryview(plane)
    if line_size == row_bytes:
        return Frame(bytes(data[: row_bytes * height]), width, height)
    rows = (data[y * line_size : y * line_size + row_bytes] for y in range(height))
    return Frame(b"".join(rows), width, height)


def open_source(location: str) -> FrameSource:
    """Open a video file, a folder of images (natural name order) or a glob pattern of images."""
    if os.path.isdir(location):
        paths = [
            str(path)
            for path in Path(location).iterdir()
            if path.is_file() and path.suffix.lower() in IMAGE_SUFFIXES
        ]
        if not paths:
            raise SourceError(f"the folder {location} holds no images")
        return ImageSequence(location, sorted(paths, key=_natural_key))
    if os.path.isfile(location):
        if Path(location).suffix.lower() in IMAGE_SUFFIXES:
            return ImageSequence(location, [location])
        return VideoFile(location)
    if glob.has_magic(location):
        paths = [path for path in glob.glob(location) if os.path.isfile(path)]
        if not paths:
            raise SourceError(f"no files match {location}")
        return ImageSequence(location, sorted(paths, key=_natural_key))
    raise SourceError(f"no such file or folder: {location}")


class DiffFolderWriter:
    """Writes each difference picture as frame_NNNNNN.png (the frame index) into a folder."""

    def __init__(self, folder: str) -> None:
        self.folder = Path(folder)
        try:
            self.folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise SourceError(f"cannot create the folder {folder}: {error}") from error

    def write(self, index: int, picture: DiffPicture) -> None:
        """Save one picture as PNG."""
        picture.save(self.folder / f"frame_{index:06d}.png")

    def close(self) -> None:
        """Nothing to flush: every picture is written when it comes."""


def _even_rgba(picture: DiffPicture) -> tuple[bytes, int, int]:
    """Pad a picture to even sides by repeating its last column and row (4:2:0 needs them)."""
    width, height, data = picture.width, picture.height, picture.rgba
    if width % 2:
        row_bytes = width * 4
        data = b"".join(
            data[y * row_bytes : (y + 1) * row_bytes]
            + data[(y + 1) * row_bytes - 4 : (y + 1) * row_bytes]
            for y in range(height)
        )
        width += 1
    if height % 2:
        data += data[-width * 4 :]
        height += 1
    return data, width, height


class DiffVideoWriter:
    """Encodes the difference pictures into a video file with PyAV.

    The codec follows the name: VP9 for .webm, otherwise H.264 (or MPEG-4 part 2 when the
    installed FFmpeg has no H.264 encoder). Odd sides are padded by one pixel.
    """

    def __init__(self, path: str, frame_rate: Fraction) -> None:
        self._av = require_av(f"writing the video {path!r}")
        self.path = path
        self.frame_rate = frame_rate
        try:
            self._container = self._av.open(path, mode="w")
        except (OSError, self._av.FFmpegError) as error:
            raise SourceError(f"cannot create the video {path}: {error}") from error
        self._stream: Any = None
        self._count = 0

    def _has_encoder(self, name: str) -> bool:
        try:
            self._av.Codec(name, "w")
        except ValueError:  # PyAV's UnknownCodecError
            return False
        return True

    def _codec_name(self) -> str:
        candidates: tuple[str, ...] = ("libx264", "h264", "mpeg4")
        if self.path.lower().endswith(".webm"):
            candidates = ("libvpx-vp9", "libvpx", *candidates)
        for name in candidates:
            if self._has_encoder(name):
                return name
        raise SourceError("the installed FFmpeg has no suitable video encoder")

    def write(self, index: int, picture: DiffPicture) -> None:
        """Encode one picture as the next frame."""
        data, width, height = _even_rgba(picture)
        if self._stream is None:
            self._stream = self._container.add_stream(
                self._codec_name(), rate=self.frame_rate
            )
            self._stream.width, self._stream.height = width, height
            self._stream.pix_fmt = "yuv420p"
        elif (width, height) != (self._stream.width, self._stream.height):
            raise SourceError(f"frame {index}: a video cannot change its size")
        frame = self._av.VideoFrame.from_bytes(data, width, height, format="rgba")
        frame.pts = self._count
        frame.time_base = Fraction(1) / self.frame_rate
        self._count += 1
        self._container.mux(self._stream.encode(frame))

    def close(self) -> None:
        """Flush the encoder and close the file."""
        try:
            if self._stream is not None:
                self._container.mux(self._stream.encode(None))
        finally:
            self._container.close()
