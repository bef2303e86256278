"""The pairs of a batch: read from a manifest CSV (``left,right[,name]``) or given in Python, with
every problem reported by line before any work starts."""

from __future__ import annotations

import csv
import glob
import os
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path

from ._locations import LocationError, fingerprint, is_url, resolve_location

__all__ = ["BatchPair", "ManifestError", "check_pairs", "pairs_from", "read_manifest"]

_COLUMNS = ("left", "right", "name")
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")
_MAX_NAME = 200
# Shown when there are more problems than fit in one line.
_MAX_REPORTED = 10


@dataclass(frozen=True, slots=True)
class BatchPair:
    """One pair of a batch: two locations and the name of its results (``frames/NAME.parquet``).

    ``line`` is the manifest line the pair came from (its position, counting from 1, for pairs
    given in Python); messages use it.
    """

    left: str
    right: str
    name: str
    line: int = 0


class ManifestError(ValueError):
    """Problems with the pairs, each with its line; the message lists them in one line."""

    def __init__(self, source: str, problems: list[tuple[int, str]]) -> None:
        self.source = source
        self.problems = problems
        shown = "; ".join(
            f"line {line}: {text}" for line, text in problems[:_MAX_REPORTED]
        )
        more = len(problems) - _MAX_REPORTED
        suffix = f"; and {more} more" if more > 0 else ""
        super().__init__(f"{source}: {shown}{suffix}")


def _stem(location: str) -> str:
    """The last part of a location without its suffix; for a glob, the last part without
    wildcards (``renders/*.png`` gives ``renders``)."""
    parts = [part for part in re.split(r"[/\\]+", location) if part]
    while len(parts) > 1 and glob.has_magic(parts[-1]):
        parts.pop()
    return os.path.splitext(parts[-1])[0] if parts else ""


def default_name(left: str, right: str) -> str:
    """A file-name-safe name made of both locations' base names: ``ref-vs-encoded``."""
    name = _UNSAFE.sub("_", f"{_stem(left)}-vs-{_stem(right)}").strip("._")
    return name[:_MAX_NAME] or "pair"


def _name_problem(name: str) -> str | None:
    # The name becomes a file name inside RESULTS/frames: nothing that climbs out of it,
    # hides it, or collides with the temporary names of outputs.
    if not name:
        return "the name is empty"
    if _UNSAFE.search(name) or name.startswith("."):
        return (
            f"the name {name!r} may use only letters, digits, '.', '_' and '-' "
            "and may not start with '.'"
        )
    if len(name) > _MAX_NAME:
        return f"the name is longer than {_MAX_NAME} characters"
    return None


def _check_names(pairs: list[BatchPair], problems: list[tuple[int, str]]) -> None:
    first_line: dict[str, int] = {}
    for pair in pairs:
        problem = _name_problem(pair.name)
        if problem is not None:
            problems.append((pair.line, problem))
            continue
        # Names differing in case only collide on case-insensitive file systems.
        key = pair.name.casefold()
        if key in first_line:
            problems.append(
                (
                    pair.line,
                    f"duplicate name {pair.name!r} (first on line {first_line[key]}); "
                    + "give each pair a distinct name",
                )
            )
        else:
            first_line[key] = pair.line


def read_manifest(path: str | os.PathLike[str]) -> list[BatchPair]:
    """Read a manifest CSV: a header with ``left`` and ``right`` (and optionally ``name``), then
    one pair per row. Relative locations are taken relative to the manifest's folder. Raises
    ManifestError listing every bad row with its line number, OSError if the file cannot be read.
    """
    source = os.fspath(path)
    base = Path(source).resolve().parent
    problems: list[tuple[int, str]] = []
    pairs: list[BatchPair] = []
    with open(source, newline="", encoding="utf-8-sig") as file:
        reader = csv.reader(file)
        try:
            header = next(reader, None)
        except csv.Error as error:
            raise ManifestError(source, [(1, f"not a CSV file: {error}")]) from error
        if header is None:
            raise ManifestError(
                source,
                [(1, "the manifest is empty; expected a header 'left,right[,name]'")],
            )
        columns = [column.strip().lower() for column in header]
        unknown = [column for column in columns if column not in _COLUMNS]
        missing = [column for column in ("left", "right") if column not in columns]
        if unknown or missing or len(set(columns)) != len(columns):
            text = "the header must name the columns left, right and optionally name"
            if missing:
                text += f"; missing: {', '.join(missing)}"
            if unknown:
                text += f"; unknown: {', '.join(unknown)}"
            raise ManifestError(source, [(1, text)])
        index = {column: position for position, column in enumerate(columns)}
        try:
            for row in reader:
                line = reader.line_num
                if not any(cell.strip() for cell in row):
                    continue
                if len(row) != len(columns):
                    problems.append(
                        (line, f"expected {len(columns)} columns, got {len(row)}")
                    )
                    continue
                left, right = row[index["left"]].strip(), row[index["right"]].strip()
                empty = [
                    column
                    for column, value in (("left", left), ("right", right))
                    if not value
                ]
                if empty:
                    problems.append((line, f"no {' and no '.join(empty)} location"))
                    continue
                name = row[index["name"]].strip() if "name" in index else ""
                pairs.append(
                    BatchPair(
                        left=resolve_location(left, base),
                        right=resolve_location(right, base),
                        name=name or default_name(left, right),
                        line=line,
                    )
                )
        except csv.Error as error:
            problems.append((reader.line_num, f"not valid CSV: {error}"))
    if not pairs and not problems:
        problems.append((1, "the manifest lists no pairs"))
    _check_names(pairs, problems)
    if problems:
        raise ManifestError(source, sorted(problems))
    return pairs


PairLike = BatchPair | Mapping[str, str] | tuple[str, str] | tuple[str, str, str]


def pairs_from(pairs: Iterable[PairLike], source: str = "pairs") -> list[BatchPair]:
    """Pairs given in Python: BatchPair objects, ``(left, right[, name])`` tuples or mappings with
    the keys left, right and optionally name. Locations are made absolute; names are checked
    as in a manifest (the position, from 1, stands for the line)."""
    result: list[BatchPair] = []
    problems: list[tuple[int, str]] = []
    for position, item in enumerate(pairs, start=1):
        if isinstance(item, BatchPair):
            left, right, name = item.left, item.right, item.name
        elif isinstance(item, Mapping):
            left, right, name = (
                item.get("left", ""),
                item.get("right", ""),
                item.get("name", ""),
            )
        else:
            left, right, name = (*item, "")[:3]
        if not left or not right:
            problems.append((position, "a pair needs a left and a right location"))
            continue
        result.append(
            BatchPair(
                left=resolve_location(str(left)),
                right=resolve_location(str(right)),
                name=str(name) or default_name(str(left), str(right)),
                line=position,
            )
        )
    if not result and not problems:
        problems.append((1, "no pairs were given"))
    _check_names(result, problems)
    if problems:
        raise ManifestError(source, sorted(problems))
    return result


def check_pairs(pairs: list[BatchPair], source: str) -> dict[str, str]:
    """Fingerprint every location once, before any work: a location that cannot be read is a
    ManifestError naming the pair's line. Returns the fingerprint of each location."""
    fingerprints: dict[str, str] = {}
    problems: list[tuple[int, str]] = []
    for pair in pairs:
        for location in (pair.left, pair.right):
            if location in fingerprints:
                continue
            try:
                fingerprints[location] = fingerprint(location)
            except LocationError as error:
                problems.append((pair.line, str(error)))
            except ImportError as error:
                kind = "URL" if is_url(location) else "location"
                problems.append(
                    (pair.line, f"cannot read the {kind} {location}: {error}")
                )
    if problems:
        raise ManifestError(source, problems)
    return fingerprints
