"""Where a batch pair's frames come from: local paths (video file, image folder, glob) or fsspec
URLs, their fingerprints (to tell whether an input changed since the last run) and the fetching
of remote files to a local temporary copy before they are decoded."""

from __future__ import annotations

import glob
import hashlib
import os
import re
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urlsplit

from ._sources import IMAGE_SUFFIXES

__all__ = [
    "LocationError",
    "fetched",
    "fingerprint",
    "is_url",
    "resolve_location",
]

_URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.-]+)://")
_COPY_CHUNK = 1 << 20
# Fields of fsspec's file information that change whenever the content does.
_CONTENT_TAGS = ("ETag", "etag", "md5Hash", "crc32c", "generation", "version_id")


class LocationError(Exception):
    """A location cannot be found or read; the message names it."""


def is_url(location: str) -> bool:
    """Whether ``location`` is a URL (``scheme://...``) rather than a local path or glob."""
    return _URL.match(location) is not None


def _file_url_path(location: str) -> str:
    parts = urlsplit(location)
    if parts.netloc not in ("", "localhost"):
        raise LocationError(f"{location}: file:// URLs must name a local path")
    return unquote(parts.path)


def resolve_location(location: str, base: str | os.PathLike[str] | None = None) -> str:
    """The location as workers anywhere can use it: file:// URLs become paths, relative paths
    and globs are taken relative to ``base`` (the manifest's folder) and made absolute."""
    if location.lower().startswith("file://"):
        location = _file_url_path(location)
    elif is_url(location):
        return location
    path = os.path.expanduser(location)
    if base is not None and not os.path.isabs(path):
        path = os.path.join(base, path)
    return os.path.abspath(path)


def _remote_filesystem(url: str) -> tuple[Any, str]:
    try:
        import fsspec
    except ImportError as error:
        raise ImportError(
            f"reading {url} needs fsspec, which is not installed; "
            "install it with: pip install 'quillet[batch]'"
        ) from error
    try:
        filesystem, path = fsspec.core.url_to_fs(url)
    except (ImportError, ValueError) as error:
        # fsspec's own message names the package of a missing backend (s3fs, gcsfs, aiohttp).
        raise LocationError(f"{url}: {error}") from error
    return filesystem, path


def _file_signature(path: str) -> str:
    status = os.stat(path)
    return f"size={status.st_size},mtime_ns={status.st_mtime_ns}"


def _sequence_signature(paths: list[str]) -> str:
    digest = hashlib.sha256()
    for path in sorted(paths):
        digest.update(f"{os.path.basename(path)}\0{_file_signature(path)}\n".encode())
    return f"files={len(paths)},sha256={digest.hexdigest()}"


def _local_fingerprint(path: str) -> str:
    if os.path.isdir(path):
        images = [
            str(entry)
            for entry in Path(path).iterdir()
            if entry.is_file() and entry.suffix.lower() in IMAGE_SUFFIXES
        ]
        if not images:
            raise LocationError(f"the folder {path} holds no images")
        return _sequence_signature(images)
    if os.path.isfile(path):
        if not os.access(path, os.R_OK):
            raise LocationError(f"cannot read {path}: permission denied")
        return _file_signature(path)
    if glob.has_magic(path):
        matches = [match for match in glob.glob(path) if os.path.isfile(match)]
        if not matches:
            raise LocationError(f"no files match {path}")
        return _sequence_signature(matches)
    raise LocationError(f"no such file or folder: {path}")


def _remote_fingerprint(url: str) -> str:
    filesystem, path = _remote_filesystem(url)
    try:
        info = filesystem.info(path)
    except (
        Exception
    ) as error:  # backends raise their own types (aiohttp, botocore, ...)
        raise LocationError(f"cannot read {url}: {error}") from error
    if info.get("type") == "directory":
        raise LocationError(f"{url} is a folder; remote locations must be single files")
    for tag in _CONTENT_TAGS:
        if info.get(tag):
            return f"{tag.lower()}={info[tag]},size={info.get('size')}"
    # No tag that follows the content: hash the content itself, streamed.
    digest = hashlib.sha256()
    try:
        with filesystem.open(path, "rb") as remote:
            while chunk := remote.read(_COPY_CHUNK):
                digest.update(chunk)
    except Exception as error:  # any backend's failure means the location is unreadable
        raise LocationError(f"cannot read {url}: {error}") from error
    return f"sha256={digest.hexdigest()}"


def fingerprint(location: str) -> str:
    """A text that changes when the content at ``location`` changes: size and modification time
    of local files (of every image of a folder or glob), a content tag (ETag, MD5) or a content
    hash for URLs. Raises LocationError when the location cannot be read."""
    if is_url(location):
        return _remote_fingerprint(location)
    return _local_fingerprint(location)


@contextmanager
def fetched(location: str) -> Iterator[str]:
    """A local path for ``location``: the path itself, or for a URL a temporary copy (keeping the
    file name, whose suffix tells images from videos) removed on exit. The copy is streamed in
    chunks, so memory stays small whatever the file's size."""
    if not is_url(location):
        yield location
        return
    filesystem, path = _remote_filesystem(location)
    folder = tempfile.mkdtemp(prefix="quillet-fetch-")
    try:
        name = os.path.basename(path.rstrip("/")) or "input"
        local = os.path.join(folder, name)
        try:
            with filesystem.open(path, "rb") as remote, open(local, "wb") as copy:
                shutil.copyfileobj(remote, copy, _COPY_CHUNK)
        except (
            Exception
        ) as error:  # any backend's failure means the location is unreadable
            raise LocationError(f"cannot fetch {location}: {error}") from error
        yield local
    finally:
        shutil.rmtree(folder, ignore_errors=True)
