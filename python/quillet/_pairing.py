"""Pairing of left and right frames: by index, or by presentation time (each left frame with the
right frame on screen at that moment), counting right frames used twice or never.

Pairing in time, precisely. Let ``tolerance`` be half the shorter of the two streams' frame
intervals (1 / frame rate). Left frame ``L`` at time ``t`` is paired with the last right frame
whose time is below ``t + tolerance``: the frame a player shows at ``t``, with timestamp
jitter below half a frame forgiven (so a right frame starting less than ``tolerance`` after
``t`` already counts as shown). A left frame has no partner when it comes before the first
right frame (``t + tolerance`` at most its time) or after the right stream has ended (``t`` at
least ``tolerance`` past the end of the last right frame, which lasts one right frame
interval). The right stream's end is reached without reading it to its end: a left frame past
it stops the pairing. Both streams are read lazily, the right one at most one frame ahead of
the left frame being paired; times are expected to increase.

Counts: ``repeated`` is how many times a right frame was used again for a further left frame;
``skipped`` is how many right frames that were read were never used (a dropped left frame, a
faster right stream). ``unpaired_left`` counts left frames without a partner (after the
right stream's end, only the first is read) and ``extra_right`` is 1 when the right stream goes
on past the left one's end (it is not read further); either makes the lengths differ.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from typing import Protocol

__all__ = ["FALLBACK_TOLERANCE", "PairCounts", "Timed", "pair_by_index", "pair_by_time"]

FALLBACK_TOLERANCE = 0.001
"""Seconds of jitter forgiven when neither stream states a frame rate."""


class Timed(Protocol):
    """Anything with a stream index and a presentation time (the decoded frames)."""

    @property
    def index(self) -> int: ...

    @property
    def time(self) -> float | None: ...


@dataclass(slots=True)
class PairCounts:
    """What a pairing has seen so far; final once its iterator is exhausted."""

    mode: str
    left_frames: int = 0
    right_frames: int = 0
    paired: int = 0
    repeated: int = 0
    skipped: int = 0
    unpaired_left: int = 0
    extra_right: int = 0
    left_ended: bool = False  # each stream read to its end
    right_ended: bool = False

    @property
    def lengths_differ(self) -> bool:
        """Whether one stream went on where the other had no frame."""
        return self.unpaired_left > 0 or self.extra_right > 0


def pair_by_index[F: Timed](
    lefts: Iterator[F], rights: Iterator[F], counts: PairCounts
) -> Iterator[tuple[F, F]]:
    """Pair the k-th left frame with the k-th right frame until either stream ends.

    When one stream ends first, one more frame of the other tells that the lengths differ.
    """
    for left in lefts:
        counts.left_frames += 1
        right = next(rights, None)
        if right is None:
            counts.right_ended = True
            counts.unpaired_left += 1
            return
        counts.right_frames += 1
        counts.paired += 1
        yield left, right
    counts.left_ended = True
    if next(rights, None) is not None:
        counts.right_frames += 1
        counts.extra_right += 1
    else:
        counts.right_ended = True


def tolerance_for(*intervals: float | None) -> float:
    """Half the shortest known frame interval, the jitter that pairing in time forgives."""
    known = [interval for interval in intervals if interval]
    return min(known) / 2 if known else FALLBACK_TOLERANCE


def pair_by_time[F: Timed](
    lefts: Iterator[F],
    rights: Iterator[F],
    counts: PairCounts,
    *,
    left_interval: float | None,
    right_interval: float | None,
) -> Iterator[tuple[F, F]]:
    """Pair each left frame with the right frame shown at its time (see the module's text).

    ``left_interval`` and ``right_interval`` are the streams' nominal frame intervals in
    seconds (None when unknown: the last interval seen stands in for the end of a stream).
    """
    tolerance = tolerance_for(left_interval, right_interval)
    shown: F | None = None  # the right frame on screen at the current left time
    shown_uses = 0
    ahead = next(rights, None)  # the next right frame, not yet on screen
    previous_right_time: float | None = None

    def time_of(frame: F) -> float:
        if frame.time is None:
            raise ValueError(f"frame {frame.index} has no presentation time")
        return frame.time

    if ahead is not None:
        counts.right_frames += 1
    else:
        counts.right_ended = True
    last_left_time: float | None = None
    left_gap: float | None = None
    for left in lefts:
        counts.left_frames += 1
        moment = time_of(left)
        if last_left_time is not None:
            left_gap = moment - last_left_time
        last_left_time = moment
        while ahead is not None and time_of(ahead) < moment + tolerance:
            if shown is not None:
                if shown_uses == 0:
                    counts.skipped += 1
                previous_right_time = time_of(shown)
            shown, shown_uses = ahead, 0
            ahead = next(rights, None)
            if ahead is not None:
                counts.right_frames += 1
            else:
                counts.right_ended = True
        if shown is None:
            counts.unpaired_left += 1
            if ahead is None:
                break  # the right stream is empty
            continue  # the right stream has not started yet
        if ahead is None:
            duration = right_interval or (
                time_of(shown) - previous_right_time if previous_right_time is not None else None
            )
            if duration is not None and moment >= time_of(shown) + duration - tolerance:
                counts.unpaired_left += 1  # the right stream has ended
                break
        if shown_uses:
            counts.repeated += 1
        shown_uses += 1
        counts.paired += 1
        yield left, shown
    else:
        counts.left_ended = True
        # The left stream ended: right frames still inside its last frame's time were
        # skipped; one beyond it means the right stream is longer.
        left_duration = left_interval or left_gap
        left_end = (
            last_left_time + left_duration
            if last_left_time is not None and left_duration is not None
            else None
        )
        if shown is not None and shown_uses == 0:
            counts.skipped += 1
        while ahead is not None and left_end is not None and time_of(ahead) < left_end - tolerance:
            counts.skipped += 1
            ahead = next(rights, None)
            if ahead is not None:
                counts.right_frames += 1
            else:
                counts.right_ended = True
        if ahead is not None:
            counts.extra_right += 1
        return
    # Stopped at the right stream's end: the shown frame was used, or counted as skipped.
    if shown is not None and shown_uses == 0:
        counts.skipped += 1
