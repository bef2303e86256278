"""Pictures of a report: PNG thumbnails, and the running set of the worst frames of a stream.

Only the worst few frames are kept, as encoded PNG bytes, so memory stays bounded however
long the video; pictures are encoded only for a frame that enters that set.
"""

from __future__ import annotations

import heapq
import io
import itertools
from collections.abc import Callable, Mapping
from dataclasses import dataclass

from ._api import DiffPicture
from ._frames import Frame
from ._optional import require_pillow
from ._report import WorstFrame

__all__ = ["THUMBNAIL_WIDTH", "WorstFrames", "png_bytes", "worst_frame_pictures"]

THUMBNAIL_WIDTH = 320
"""Thumbnails are at most this wide (never enlarged), keeping a report's size bounded."""


def png_bytes(picture: Frame | DiffPicture, max_width: int | None = None) -> bytes:
    """The picture as PNG, scaled down to ``max_width`` pixels wide (aspect ratio kept)."""
    image_module = require_pillow("the pictures of an HTML report")
    if isinstance(picture, DiffPicture):
        # Alpha is always opaque in a difference picture; RGB makes the PNG smaller.
        image = image_module.frombytes("RGBA", picture.size, picture.rgba).convert("RGB")
    else:
        image = image_module.frombytes("RGB", (picture.width, picture.height), picture.rgb)
    if max_width is not None and image.width > max_width:
        height = max(1, round(image.height * max_width / image.width))
        image = image.resize((max_width, height), image_module.Resampling.LANCZOS)
    out = io.BytesIO()
    image.save(out, format="PNG", optimize=False, compress_level=6)
    return out.getvalue()


def worst_frame_pictures(
    frame: int,
    time: float | None,
    values: Mapping[str, float],
    left: Frame,
    right: Frame,
    diff: DiffPicture,
    full_size: bool,
) -> WorstFrame:
    """A worst frame's record: thumbnails always, full-size pictures only when asked."""
    return WorstFrame(
        frame=frame,
        time=time,
        values=dict(values),
        left=png_bytes(left, THUMBNAIL_WIDTH),
        right=png_bytes(right, THUMBNAIL_WIDTH),
        diff=png_bytes(diff, THUMBNAIL_WIDTH),
        left_full=png_bytes(left) if full_size else None,
        right_full=png_bytes(right) if full_size else None,
        diff_full=png_bytes(diff) if full_size else None,
    )


@dataclass(order=True, slots=True)
class _Entry:
    # The heap's top is the best of the kept frames, the first to give way: a higher score
    # is better, and of equal scores the later frame gives way first.
    score: float
    order: int
    picture: WorstFrame


class WorstFrames:
    """The ``count`` frames with the lowest score seen so far (earlier frames win ties)."""

    def __init__(self, count: int = 6) -> None:
        if count < 0:
            raise ValueError(f"count must not be negative, not {count}")
        self._count = count
        self._heap: list[_Entry] = []
        self._arrivals = itertools.count()

    def would_keep(self, score: float) -> bool:
        """Whether a frame with this score, offered now, would enter the set."""
        if self._count == 0 or score != score:  # NaN scores never rank
            return False
        if len(self._heap) < self._count:
            return True
        best_kept = self._heap[0]
        return score < -best_kept.score

    def offer(self, score: float, make: Callable[[], WorstFrame]) -> bool:
        """Keep the frame if it is among the worst; ``make`` runs only then. Returns whether kept."""
        if not self.would_keep(score):
            return False
        entry = _Entry(-score, -next(self._arrivals), make())
        if len(self._heap) < self._count:
            heapq.heappush(self._heap, entry)
        else:
            heapq.heapreplace(self._heap, entry)
        return True

    def worst_first(self) -> list[WorstFrame]:
        """The kept frames, lowest score first (earlier frame first among equals)."""
        ordered = sorted(self._heap, key=lambda entry: (-entry.score, -entry.order))
        return [entry.picture for entry in ordered]
