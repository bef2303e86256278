"""Frame streams: videos decoded with PyAV, image sequences and multi-frame images read with
Pillow, each frame carrying its index and, when the stream has one, its presentation time.
(The writers of difference pictures live in _diff_writers.)"""

from __future__ import annotations

import glob
import os
import re
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import Any

from ._frames import Frame
from ._images import (
    DEFAULT_MAX_PIXELS,
    MultiFrameImageError,
    is_multi_frame_image,
    iter_image_frames,
    read_image,
)
from ._optional import require_av

__all__ = [
    "DEFAULT_MAX_PIXELS",
    "IMAGE_SUFFIXES",
    "FrameSource",
    "ImageSequence",
    "SourceError",
    "TimedFrame",
    "VideoFile",
    "natural_key",
    "open_source",
]

IMAGE_SUFFIXES = frozenset(
    {
        ".png",
        ".apng",
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

# FFmpeg reads almost any bytes as something; these formats and codecs turn plain text into
# "video" (ANSI art, subtitles) and are never what a user means by a video file.
_TEXT_FORMATS = frozenset({"tty", "srt", "webvtt", "ass", "microdvd", "subviewer"})
_TEXT_CODECS = frozenset({"ansi", "text", "subrip", "webvtt", "ass", "ssa"})


class SourceError(Exception):
    """A stream cannot be opened, read or written; the message is meant for the user."""


def natural_key(text: str) -> tuple[Any, ...]:
    """Sort key that puts frame2.png before frame10.png.

    Runs of decimal digits (any script's, as ``int`` reads them) compare as numbers, the rest
    case-folded. Characters that look like digits without being decimal ones, such as
    superscripts, stay text. Equal keys fall back to the text itself, so the order is total.
    """
    parts = re.split(r"(\d+)", text)
    # re.split with one group alternates: text at even positions, digit runs at odd ones.
    key = tuple(
        int(part) if position % 2 else part.casefold()
        for position, part in enumerate(parts)
    )
    return (key, text)


@dataclass(frozen=True, slots=True)
class TimedFrame:
    """One decoded frame: its index in the stream and its presentation time in seconds, counted
    from the start of the stream (None when the stream has no times)."""

    index: int
    time: float | None
    frame: Frame


def _check_video_pixels(name: str, width: int, height: int, max_pixels: int | None) -> None:
    if max_pixels is not None and width * height > max_pixels:
        raise SourceError(
            f"{name}: the frames are {width}x{height} = {width * height} pixels, more than the "
            f"limit of {max_pixels} (raise it with --max-pixels or max_pixels= if the file "
            "is trusted)"
        )


def _ffmpeg_reason(error: BaseException) -> str:
    """FFmpeg's own words for an error, without the error number and the repeated file name."""
    reason = getattr(error, "strerror", None)
    return reason if isinstance(reason, str) and reason else str(error)


def _image_error(error: Exception) -> SourceError:
    """A SourceError for a failed image read; the image reader's messages name the file."""
    if isinstance(error, FileNotFoundError):
        return SourceError(f"no such file: {error.filename}")
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return SourceError(f"cannot read {error.filename}: {error.strerror}")
    return SourceError(str(error) or type(error).__name__)


class FrameSource:
    """A stream of frames with a name for messages, a length if known and a frame rate if any.

    ``timed`` says whether the frames carry presentation times. Iterate :meth:`frames` once,
    from one thread; :meth:`close` releases what the source holds open.
    """

    name: str
    total: int | None
    frame_rate: Fraction | None
    timed: bool

    def frames(self) -> Iterator[TimedFrame]:
        raise NotImplementedError

    def __iter__(self) -> Iterator[Frame]:
        return (timed.frame for timed in self.frames())

    def close(self) -> None:
        """Release what the source holds open."""


DEFAULT_IMAGE_WORKERS = 3
"""Threads that read the files of an image sequence ahead of the comparison, in order."""


class ImageSequence(FrameSource):
    """Image files read one after the other, in the order given; every frame of a multi-frame
    file (animated GIF, APNG or WebP, multi-page TIFF) in turn.

    Single-frame files are decoded a few at a time in a small thread pool (Pillow's decoders
    release the interpreter lock), the order kept; a multi-frame file is read frame by frame
    in its place. Without ``fps`` the frames have no times; with it frame ``k`` is shown at
    ``k / fps`` seconds.
    """

    def __init__(
        self,
        name: str,
        paths: list[str],
        *,
        fps: float | None = None,
        max_pixels: int | None = DEFAULT_MAX_PIXELS,
        workers: int = DEFAULT_IMAGE_WORKERS,
    ) -> None:
        self.name = name
        self.paths = paths
        self.frame_rate = Fraction(fps).limit_denominator(1_000_000) if fps else None
        self.timed = fps is not None
        self.max_pixels = max_pixels
        self.workers = workers
        self._fps = fps
        self.total: int | None = len(paths)
        if len(paths) == 1:
            # One file: look at it now, so that an unreadable image fails before any work.
            try:
                self.total = None if is_multi_frame_image(paths[0], max_pixels) else 1
            except (OSError, ValueError) as error:
                raise _image_error(error) from error

    def _single_frame(self, path: str) -> Frame | None:
        """The frame of a single-frame file, or None for a multi-frame one (read in order later)."""
        try:
            return read_image(path, self.max_pixels)
        except MultiFrameImageError:
            return None
        except (OSError, ValueError) as error:
            raise _image_error(error) from error

    def _every_frame(self, path: str) -> Iterator[Frame]:
        try:
            for image_frame in iter_image_frames(path, self.max_pixels):
                yield image_frame.frame
        except (OSError, ValueError) as error:
            raise _image_error(error) from error

    def _file_frames(self) -> Iterator[Frame]:
        if len(self.paths) == 1:
            yield from self._every_frame(self.paths[0])
            return
        if self.workers <= 1:
            for path in self.paths:
                frame = self._single_frame(path)
                if frame is None:
                    yield from self._every_frame(path)
                else:
                    yield frame
            return
        with ThreadPoolExecutor(
            self.workers, thread_name_prefix="quillet-images"
        ) as pool:
            pending: list[tuple[str, Future[Frame | None]]] = []
            upcoming = iter(self.paths)
            try:
                while True:
                    # Keep a few files in flight beyond the one handed out next.
                    while len(pending) < 2 * self.workers:
                        path = next(upcoming, None)
                        if path is None:
                            break
                        pending.append((path, pool.submit(self._single_frame, path)))
                    if not pending:
                        return
                    path, future = pending.pop(0)
                    frame = future.result()
                    if frame is None:
                        yield from self._every_frame(path)
                    else:
                        yield frame
            finally:
                for _, future in pending:
                    future.cancel()

    def frames(self) -> Iterator[TimedFrame]:
        for index, frame in enumerate(self._file_frames()):
            time = index / self._fps if self._fps else None
            yield TimedFrame(index, time, frame)


class VideoFile(FrameSource):
    """The first video stream of a file, decoded with PyAV (its own decoder threads) into RGB.

    Frame times are the presentation times (pts x time base) counted from the start of the
    file, as a player shows them. The declared frame size is checked against ``max_pixels``
    before anything is decoded, and every decoded frame again.
    """

    def __init__(
        self, path: str, *, max_pixels: int | None = DEFAULT_MAX_PIXELS, codec_threads: bool = True
    ) -> None:
        av = require_av(f"reading the video {path!r}")
        self.name = path
        self.max_pixels = max_pixels
        self.timed = True
        self._error_type: type[BaseException] = av.FFmpegError
        try:
            self._container = av.open(path)
        except FileNotFoundError as error:
            raise SourceError(f"no such file: {path}") from error
        except (OSError, av.FFmpegError, UnicodeDecodeError) as error:
            raise SourceError(
                f"cannot open {path} as a video: {_ffmpeg_reason(error)}"
            ) from error
        try:
            self._stream = self._checked_stream(path)
        except BaseException:
            self._container.close()
            raise
        # FFmpeg's own frame and slice threads, unless the caller keeps to one core.
        self._stream.thread_type = "AUTO" if codec_threads else "NONE"
        self.total = self._stream.frames or None
        rate = self._stream.average_rate or self._stream.guessed_rate
        self.frame_rate = Fraction(rate) if rate else None
        start = self._container.start_time
        # The container's start is in microseconds (FFmpeg's AV_TIME_BASE).
        self._start = Fraction(start, 1_000_000) if start is not None else None

    def _checked_stream(self, path: str) -> Any:
        container = self._container
        if container.format.name in _TEXT_FORMATS:
            raise SourceError(f"cannot open {path} as a video: it is a text file")
        if not container.streams.video:
            raise SourceError(f"cannot open {path} as a video: it has no video stream")
        stream = container.streams.video[0]
        if stream.codec_context.name in _TEXT_CODECS:
            raise SourceError(f"cannot open {path} as a video: it is a text file")
        width, height = stream.codec_context.width, stream.codec_context.height
        if width and height:
            _check_video_pixels(path, width, height, self.max_pixels)
        return stream

    def _seconds(self, decoded: Any) -> float | None:
        if decoded.pts is None or decoded.time_base is None:
            return None
        time = decoded.pts * Fraction(decoded.time_base)
        if self._start is None:
            self._start = time
        return float(time - self._start)

    def frames(self) -> Iterator[TimedFrame]:
        decoded_frames = self._container.decode(self._stream)
        index = 0
        interval = 1 / self.frame_rate if self.frame_rate else None
        previous: float | None = None
        while True:
            try:
                decoded = next(decoded_frames)
            except StopIteration:
                return
            except self._error_type as error:
                raise SourceError(
                    f"cannot decode {self.name} at frame {index}: {_ffmpeg_reason(error)}"
                ) from error
            _check_video_pixels(
                f"{self.name} frame {index}", decoded.width, decoded.height, self.max_pixels
            )
            time = self._seconds(decoded)
            if time is None and previous is not None and interval is not None:
                time = previous + float(interval)
            elif time is None:
                time = 0.0 if previous is None else previous
            previous = time
            try:
                frame = packed_rgb(decoded.reformat(format="rgb24"))
            except self._error_type as error:
                raise SourceError(
                    f"cannot convert frame {index} of {self.name} to RGB: "
                    f"{_ffmpeg_reason(error)}"
                ) from error
            yield TimedFrame(index, time, frame)
            index += 1

    def close(self) -> None:
        """Close the container."""
        self._container.close()


def packed_rgb(frame: Any) -> Frame:
    """Copy an rgb24 PyAV frame into packed bytes once, dropping the decoder's row padding."""
    width, height = frame.width, frame.height
    plane = frame.planes[0]
    row_bytes, line_size = width * 3, plane.line_size
    data = memoryview(plane)
    if line_size == row_bytes:
        return Frame(bytes(data[: row_bytes * height]), width, height)
    rows = (data[y * line_size : y * line_size + row_bytes] for y in range(height))
    return Frame(b"".join(rows), width, height)


def _sequence_paths(location: str) -> list[str] | None:
    """The images a folder or glob pattern names, in natural order; None if it is neither."""
    if os.path.isdir(location):
        paths = [
            str(path)
            for path in Path(location).iterdir()
            if path.is_file() and path.suffix.lower() in IMAGE_SUFFIXES
        ]
        if not paths:
            raise SourceError(f"the folder {location} holds no images")
        return sorted(paths, key=natural_key)
    if not os.path.exists(location) and glob.has_magic(location):
        paths = [path for path in glob.glob(location) if os.path.isfile(path)]
        if not paths:
            raise SourceError(f"no files match {location}")
        return sorted(paths, key=natural_key)
    return None


def open_source(
    location: str,
    *,
    fps: float | None = None,
    max_pixels: int | None = DEFAULT_MAX_PIXELS,
    one_core: bool = False,
) -> FrameSource:
    """Open a video file, a folder of images (natural name order), a glob pattern of images or
    one image file (every frame of a multi-frame one).

    ``fps`` gives image sequences a frame rate, hence times; videos keep their own.
    ``one_core`` reads images one at a time and decodes videos without codec threads.
    """
    workers = 1 if one_core else DEFAULT_IMAGE_WORKERS
    paths = _sequence_paths(location)
    if paths is not None:
        return ImageSequence(location, paths, fps=fps, max_pixels=max_pixels, workers=workers)
    if os.path.isfile(location):
        if Path(location).suffix.lower() in IMAGE_SUFFIXES:
            return ImageSequence(location, [location], fps=fps, max_pixels=max_pixels)
        return VideoFile(location, max_pixels=max_pixels, codec_threads=not one_core)
    raise SourceError(f"no such file or folder: {location}")
