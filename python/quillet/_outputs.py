"""Output files that appear whole or not at all, and the checks made before any work starts.

How to use it (every command that writes a file goes through this module):

* Before the long work, call ``check_outputs(inputs=[...], outputs=[...])``. It refuses an output
  that is one of the inputs or lies inside an input folder, whatever the spelling (relative path,
  ``..``, symbolic or hard link), and an output whose folder is missing or not writable. Give
  folders that receive many files (``--diff-dir``) as ``folders=[...]``. Pictures are also checked
  with ``check_picture_format(path)``, which refuses a file name whose format Pillow cannot write.
* Write a file with ``with atomic_output(path, "w", newline="") as stream: ...``. The data goes to a
  hidden temporary file in the destination folder; when the block ends normally the file is flushed,
  synced and renamed over ``path`` in one step. If the block raises, the temporary file is removed
  and ``path`` is left as it was. With ``keep_on_interrupt=True`` an interrupted run
  (``KeyboardInterrupt``, which SIGTERM and SIGHUP also raise, see ``_signals``) keeps what was
  written so far under ``path``: write any "interrupted" marker in an ``except KeyboardInterrupt``
  handler inside the block and re-raise.
* A writer that needs a file *name* (an encoder library opening the file itself) uses
  ``PendingFile(path)``: it writes to ``pending.temp_path`` and calls ``pending.commit()`` when the
  file is complete or ``pending.discard()`` when it is not.
* ``save_picture(picture, path)`` writes a difference picture atomically in the format the name asks
  for (RGB for formats without alpha, such as JPEG).

Every failure is raised as :class:`OutputError`, one line naming the file, which the command line
reports with exit status 2.
"""

from __future__ import annotations

import errno
import fnmatch
import glob
import io
import os
import stat
import tempfile
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Any

from ._optional import require_pillow
from ._signals import signals_deferred

if TYPE_CHECKING:
    from ._api import DiffPicture

__all__ = [
    "OutputError",
    "PendingFile",
    "atomic_output",
    "check_outputs",
    "check_picture_format",
    "save_picture",
    "write_error",
]

StrPath = str | os.PathLike[str]


class OutputError(OSError):
    """An output cannot be written or would destroy an input; one line, exit status 2."""


def write_error(path: StrPath, error: BaseException) -> OutputError:
    """An OutputError naming ``path`` for a failed write (full disk, no permission...)."""
    if isinstance(error, OSError) and error.strerror:
        reason = error.strerror
        if error.errno in (errno.ENOSPC, errno.EDQUOT):
            reason = "the disk is full"
        elif error.errno == errno.EFBIG:
            reason = "the file grew past the size limit"
    else:
        reason = str(error) or type(error).__name__
    return OutputError(f"cannot write {os.fspath(path)}: {reason}")


# --- checks made before any work -----------------------------------------------------------


def _resolved(path: StrPath) -> str:
    """The real absolute path; a name that does not exist yet is resolved through its folder."""
    absolute = os.path.abspath(os.fspath(path))
    if os.path.lexists(absolute):
        return os.path.realpath(absolute)
    parent, name = os.path.split(absolute)
    return os.path.join(os.path.realpath(parent), name)


def _identity(path: str) -> tuple[int, int] | None:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def _inside(path: str, folder: str) -> bool:
    return path != folder and os.path.commonpath([path, folder]) == folder


class _Input:
    """One input as given (file, folder or glob) with the real paths it stands for."""

    def __init__(self, location: StrPath) -> None:
        self.name = os.fspath(location)
        self.pattern: str | None = None
        if glob.has_magic(self.name) and not os.path.lexists(self.name):
            self.pattern = _resolved(self.name)
            paths = glob.glob(self.name)
        else:
            paths = [self.name]
        self.paths = [_resolved(path) for path in paths]
        self.identities = {identity for path in self.paths if (identity := _identity(path))}
        self.folders = [path for path in self.paths if os.path.isdir(path)]

    def clash(self, output: str, identity: tuple[int, int] | None) -> str | None:
        """Why writing ``output`` would touch this input, or None when it would not."""
        if output in self.paths or (identity is not None and identity in self.identities):
            return "it is the input"
        if self.pattern is not None and fnmatch.fnmatchcase(output, self.pattern):
            return "it matches the input"
        for folder in self.folders:
            if _inside(output, folder):
                return "it lies inside the input folder"
        return None


def _check_folder_writable(folder: str, shown: str) -> None:
    if not os.path.isdir(folder):
        problem = "is not a folder" if os.path.exists(folder) else "does not exist"
        raise OutputError(f"cannot write {shown}: {folder} {problem}")
    try:
        # A real probe rather than os.access: it also catches read-only file systems and
        # gives the same answer to root as the later write will.
        handle, probe = tempfile.mkstemp(prefix=".quillet-probe-", dir=folder)
    except OSError as error:
        raise OutputError(
            f"cannot write {shown}: the folder {folder} is not writable ({error.strerror})"
        ) from error
    os.close(handle)
    os.unlink(probe)


def _nearest_existing_folder(path: str) -> str:
    folder = path
    while not os.path.exists(folder):
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    return folder


def check_outputs(
    inputs: Iterable[StrPath],
    outputs: Iterable[StrPath | None] = (),
    *,
    folders: Iterable[StrPath | None] = (),
) -> None:
    """Refuse outputs that would overwrite or land among the inputs, or cannot be written.

    ``outputs`` are files (a ``None`` or ``"-"`` entry, standard output, is skipped); ``folders``
    are folders that will receive files and may not exist yet (their nearest existing parent
    must then be writable). An input that is a folder holds everything under it; a glob input
    holds every name it matches. Raises :class:`OutputError` naming both paths.
    """
    known_inputs = [_Input(location) for location in inputs]
    entries = [(output, False) for output in outputs] + [(folder, True) for folder in folders]
    for entry, is_folder in entries:
        if entry is None or os.fspath(entry) == "-":
            continue
        shown = os.fspath(entry)
        resolved = _resolved(entry)
        identity = _identity(resolved)
        for source in known_inputs:
            reason = source.clash(resolved, identity)
            if reason is None and is_folder:
                if any(_inside(path, resolved) for path in source.paths):
                    reason = "the input lies inside it"
            if reason is not None:
                raise OutputError(f"refusing to write {shown}: {reason} {source.name}")
        if is_folder:
            if os.path.exists(resolved) and not os.path.isdir(resolved):
                raise OutputError(f"cannot write into {shown}: it is not a folder")
            _check_folder_writable(_nearest_existing_folder(resolved), shown)
        else:
            if os.path.isdir(resolved):
                raise OutputError(f"cannot write {shown}: it is a folder")
            if not _is_special_file(resolved):  # /dev/null and pipes are written in place
                _check_folder_writable(os.path.dirname(resolved), shown)


# Formats that keep the alpha channel; every other format gets RGB (alpha is always opaque).
_FORMATS_WITH_ALPHA = frozenset({"PNG", "WEBP", "TIFF", "BMP", "GIF", "ICO", "TGA"})


def _picture_format(path: StrPath) -> str:
    image_module = require_pillow(f"writing the picture {os.fspath(path)!r}")
    extension = os.path.splitext(os.fspath(path))[1].lower()
    image_module.init()
    image_format = image_module.registered_extensions().get(extension)
    if not extension or image_format is None or image_format not in image_module.SAVE:
        raise OutputError(
            f"cannot write {os.fspath(path)}: unknown picture format "
            f"{extension or '(no extension)'}; use .png (lossless), .webp, .tiff or .jpg"
        )
    return str(image_format)


def _picture_mode(image_format: str) -> str:
    return "RGBA" if image_format in _FORMATS_WITH_ALPHA else "RGB"


def check_picture_format(path: StrPath) -> None:
    """Refuse, before any work, a picture name whose format Pillow cannot write."""
    image_format = _picture_format(path)
    image_module = require_pillow("writing pictures")
    probe = image_module.new(_picture_mode(image_format), (2, 2))
    try:
        probe.save(io.BytesIO(), format=image_format)
    except (OSError, ValueError, KeyError) as error:
        raise OutputError(
            f"cannot write {os.fspath(path)}: this Pillow cannot write {image_format} ({error})"
        ) from error


# --- atomic writes -------------------------------------------------------------------------


def _creation_mode() -> int:
    """The permissions a plain open() would give a new file (0666 less the umask)."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _sync_folder(folder: str) -> None:
    """Make a rename in ``folder`` durable; not every system can open a folder."""
    try:
        handle = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(handle)
    except OSError:
        pass
    finally:
        os.close(handle)


def _is_special_file(path: str) -> bool:
    """Whether ``path`` is a device, pipe or socket (``/dev/null``, a FIFO): written in place."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


class PendingFile:
    """A temporary file beside ``path`` that becomes ``path`` only when it is complete.

    The temporary name starts with a dot and keeps the extension, so libraries that pick the
    format from the name (FFmpeg) still do. When ``path`` is a symbolic link, the file it points
    to is replaced and the link kept. A device or pipe (``/dev/null``) cannot be replaced: it is
    written directly (``temp_path`` is then ``path``) and commit() has nothing to rename.
    """

    def __init__(self, path: StrPath) -> None:
        self.path = os.fspath(path)
        self.finished = False
        # Replace what a link points to, as writing through it would, rather than the link.
        self.target = os.path.realpath(self.path) if os.path.islink(self.path) else self.path
        self.direct = _is_special_file(self.target)
        self.folder = os.path.dirname(os.path.abspath(self.target))
        if self.direct:
            self.temp_path = self.target
            return
        stem, extension = os.path.splitext(os.path.basename(self.target))
        try:
            handle, self.temp_path = tempfile.mkstemp(
                prefix=f".{stem}.", suffix=f".partial{extension}", dir=self.folder
            )
        except OSError as error:
            raise write_error(self.path, error) from error
        try:
            os.fchmod(handle, _creation_mode())
        except OSError:
            pass
        os.close(handle)

    def commit(self, *, sync: bool = True) -> None:
        """Rename the temporary file over ``path`` (signals wait meanwhile).

        With ``sync`` the data and the rename are flushed to the disk first and after, so that
        the file survives a power cut too; a rename alone already protects against a crash of
        this process.
        """
        if self.finished:
            return
        if self.direct:
            self.finished = True
            return
        with signals_deferred():
            try:
                if sync:
                    handle = os.open(self.temp_path, os.O_RDONLY)
                    try:
                        os.fsync(handle)
                    finally:
                        os.close(handle)
                os.replace(self.temp_path, self.target)
            except OSError as error:
                self.discard()
                raise write_error(self.path, error) from error
            self.finished = True
            if sync:
                _sync_folder(self.folder)

    def discard(self) -> None:
        """Remove the temporary file; ``path`` stays as it was."""
        self.finished = True
        if self.direct:
            return
        try:
            os.unlink(self.temp_path)
        except FileNotFoundError:
            pass


@contextmanager
def atomic_output(
    path: StrPath,
    mode: str = "wb",
    *,
    encoding: str | None = None,
    newline: str | None = None,
    keep_on_interrupt: bool = False,
    sync: bool = True,
) -> Iterator[IO[Any]]:
    """Open ``path`` for writing through a temporary file renamed into place at the end.

    ``mode`` is "w" or "wb" (text or binary). On an exception the temporary file is removed,
    except for KeyboardInterrupt with ``keep_on_interrupt``, where what was written is kept
    under ``path``. Write errors (a full disk) become :class:`OutputError` naming ``path``.
    ``sync=False`` skips flushing to the disk (see :meth:`PendingFile.commit`), for the many
    small files of one run.
    """
    if mode not in ("w", "wb"):
        raise ValueError(f"atomic_output writes new files only, mode 'w' or 'wb', not {mode!r}")
    if mode == "w" and encoding is None:
        encoding = "utf-8"
    pending = PendingFile(path)
    try:
        stream = open(pending.temp_path, mode, encoding=encoding, newline=newline)
    except OSError as error:
        pending.discard()
        raise write_error(path, error) from error
    try:
        yield stream
    except KeyboardInterrupt:
        with signals_deferred():
            if keep_on_interrupt:
                _close_and_commit(stream, pending, sync)
            else:
                _close_quietly(stream)
                pending.discard()
        raise
    except BaseException as error:
        _close_quietly(stream)
        pending.discard()
        if isinstance(error, OSError) and not isinstance(error, OutputError):
            raise write_error(path, error) from error
        raise
    else:
        _close_and_commit(stream, pending, sync)


def _close_quietly(stream: IO[Any]) -> None:
    try:
        stream.close()
    except OSError:
        pass  # the buffered rest could not be written either; the file is being dropped


def _close_and_commit(stream: IO[Any], pending: PendingFile, sync: bool) -> None:
    try:
        stream.close()
    except OSError as error:
        pending.discard()
        raise write_error(pending.path, error) from error
    pending.commit(sync=sync)


def save_picture(picture: DiffPicture, path: StrPath, *, sync: bool = True) -> None:
    """Write a difference picture to ``path`` atomically, in the format its name asks for."""
    image_format = _picture_format(path)
    image = picture.to_image()
    if _picture_mode(image_format) != image.mode:
        image = image.convert(_picture_mode(image_format))
    with atomic_output(path, "wb", sync=sync) as stream:
        try:
            image.save(stream, format=image_format)
        except (ValueError, KeyError) as error:
            raise OutputError(f"cannot write {os.fspath(path)}: {error}") from error
