"""Writers of the difference pictures of a stream: one picture file per frame, or one video.

How to use them: check the destination first (``check_outputs`` and, for a folder,
``DiffFolderWriter.check(folder)``; for a video, ``DiffVideoWriter.check(path)``), then use the
writer as a context manager around the loop and call ``write(index, picture)`` per compared pair::

    with DiffVideoWriter(path, frame_rate) as writer:
        for index, picture in ...:
            writer.write(index, picture)

Leaving the block normally, or by KeyboardInterrupt (Ctrl-C, SIGTERM, SIGHUP), finishes the video
(encoder flushed, file renamed into place, playable); leaving it by any other exception removes the
unfinished file. Every picture file is written whole or not at all. A full disk or other write
failure is raised as ``OutputError`` naming the file.
"""

from __future__ import annotations

import os
from fractions import Fraction
from pathlib import Path
from types import TracebackType
from typing import Any, Self

from ._api import DiffPicture
from ._optional import require_av
from ._outputs import (
    OutputError,
    PendingFile,
    check_picture_format,
    save_picture,
    write_error,
)
from ._signals import signals_deferred

__all__ = ["DiffFolderWriter", "DiffVideoWriter"]


class DiffFolderWriter:
    """Writes each difference picture as frame_NNNNNN.png (the frame index) into a folder."""

    # The names this writer creates, for refusing a folder that holds inputs of that name.
    NAME_PATTERN = "frame_*.png"

    def __init__(self, folder: str) -> None:
        self.folder = Path(folder)
        try:
            self.folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise OutputError(f"cannot create the folder {folder}: {error.strerror}") from error

    @staticmethod
    def check(folder: str) -> None:
        """Refuse up front what would fail at the first picture (Pillow without PNG support)."""
        check_picture_format(os.path.join(folder, "frame_000000.png"))

    def write(self, index: int, picture: DiffPicture) -> None:
        """Save one picture as PNG, whole or not at all."""
        # Renamed into place but not synced one by one: a sync per frame would halve the speed.
        save_picture(picture, self.folder / f"frame_{index:06d}.png", sync=False)

    def close(self) -> None:
        """Nothing to flush: every picture is complete when write() returns."""

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


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


_VIDEO_EXTENSIONS = (".mp4", ".mkv", ".webm", ".mov", ".avi")


def _has_encoder(av: Any, name: str) -> bool:
    try:
        av.Codec(name, "w")
    except ValueError:  # PyAV's UnknownCodecError
        return False
    return True


def _codec_name(av: Any, path: str) -> str:
    candidates: tuple[str, ...] = ("libx264", "h264", "mpeg4")
    if path.lower().endswith(".webm"):
        candidates = ("libvpx-vp9", "libvpx")
    for name in candidates:
        if _has_encoder(av, name):
            return name
    raise OutputError(f"cannot write {path}: the installed FFmpeg has no suitable video encoder")


class DiffVideoWriter:
    """Encodes the difference pictures into a video file with PyAV.

    The codec follows the name: VP9 for .webm, otherwise H.264 (or MPEG-4 part 2 when the
    installed FFmpeg has no H.264 encoder). Odd sides are padded by one pixel. The video is
    encoded into a hidden temporary file beside ``path`` and renamed when finished.
    """

    @staticmethod
    def check(path: str) -> None:
        """Refuse up front a name whose container or encoder is not available."""
        if not path.lower().endswith(_VIDEO_EXTENSIONS):
            raise OutputError(
                f"cannot write {path}: unknown video format; use one of "
                + ", ".join(_VIDEO_EXTENSIONS)
            )
        av = require_av(f"writing the video {path!r}")
        _codec_name(av, path)

    def __init__(self, path: str, frame_rate: Fraction) -> None:
        self._av = require_av(f"writing the video {path!r}")
        self.path = path
        self.frame_rate = frame_rate
        self._codec = _codec_name(self._av, path)
        self._pending = PendingFile(path)
        try:
            self._container: Any = self._av.open(self._pending.temp_path, mode="w")
        except (OSError, self._av.FFmpegError) as error:
            self._pending.discard()
            raise write_error(path, error) from error
        self._stream: Any = None
        self._count = 0
        # Set once a write failed: the encoder is then never flushed (flushing an encoder whose
        # output could not be muxed has crashed FFmpeg) and the file is dropped.
        self._broken = False

    def write(self, index: int, picture: DiffPicture) -> None:
        """Encode one picture as the next frame."""
        if self._broken or self._container is None:
            raise OutputError(f"cannot write {self.path}: the video was already abandoned")
        data, width, height = _even_rgba(picture)
        if self._stream is None:
            self._stream = self._container.add_stream(self._codec, rate=self.frame_rate)
            self._stream.width, self._stream.height = width, height
            self._stream.pix_fmt = "yuv420p"
        elif (width, height) != (self._stream.width, self._stream.height):
            raise OutputError(
                f"cannot write {self.path}: frame {index} is {width}x{height} but the video "
                f"is {self._stream.width}x{self._stream.height}"
            )
        frame = self._av.VideoFrame.from_bytes(data, width, height, format="rgba")
        frame.pts = self._count
        frame.time_base = Fraction(1) / self.frame_rate
        try:
            self._container.mux(self._stream.encode(frame))
        except (OSError, self._av.FFmpegError) as error:
            self._broken = True
            raise write_error(self.path, error) from error
        self._count += 1

    def close(self) -> None:
        """Finish the video: flush the encoder, write the trailer, rename it into place.

        A video with no frame, or one whose writing failed, is removed instead.
        """
        if self._container is None:
            return
        if self._broken or self._count == 0:
            self.abandon()
            return
        with signals_deferred():
            container, self._container = self._container, None
            try:
                container.mux(self._stream.encode(None))
            except (OSError, self._av.FFmpegError) as error:
                self._broken = True
                self._container = container
                self.abandon()
                raise write_error(self.path, error) from error
            try:
                container.close()
            except (OSError, self._av.FFmpegError) as error:
                self._pending.discard()
                raise write_error(self.path, error) from error
            self._pending.commit()

    def abandon(self) -> None:
        """Close the container without flushing the encoder and remove the unfinished file."""
        container, self._container = self._container, None
        if container is not None:
            try:
                container.close()
            except (OSError, self._av.FFmpegError):
                pass  # the file is being removed; its trailer does not matter
        self._pending.discard()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if exc_type is None or issubclass(exc_type, KeyboardInterrupt):
            self.close()
        else:
            self.abandon()
