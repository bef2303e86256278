"""Comparing two frame sources, pair after pair: the engine behind ``quillet video``.

Both sources decode ahead on threads of their own (bounded queues, so memory stays at a few
frames however long the streams), frames are paired by presentation time or by index, each
pair goes through one :class:`~quillet.FrameComparer` on the calling thread, and a summary with
per-figure statistics is built as the records go by (no record is kept).
"""

from __future__ import annotations

import heapq
import math
import os
from collections.abc import Callable, Iterator
from contextlib import ExitStack, closing
from dataclasses import dataclass, field
from fractions import Fraction
from typing import TYPE_CHECKING

from ._api import DiffPicture, FrameComparer, Metrics, compared_size
from ._decode_ahead import DecodeAhead
from ._frames import Frame
from ._pairing import PairCounts, pair_by_index, pair_by_time
from ._signals import signals_deferred
from ._sources import DEFAULT_MAX_PIXELS, FrameSource, SourceError, TimedFrame, open_source

if TYPE_CHECKING:
    from ._standard import StandardMetrics

__all__ = [
    "FigureStats",
    "PairRecord",
    "PairView",
    "VideoOptions",
    "VideoSummary",
    "compare_videos",
]

PAIRING_MODES = ("time", "index")

METRIC_FIGURES = ("ssim", "psnr", "mse", "max_diff")
# Figures where the lowest value is the worst; for the others it is the highest.
_LOWER_IS_WORSE_PREFIXES = ("ssim", "psnr")

WORST_FRAMES_KEPT = 5


@dataclass(frozen=True, slots=True)
class VideoOptions:
    """How :func:`compare_videos` compares.

    ema
        Smoothing factor in (0, 1] of :class:`~quillet.FrameComparer`; 1.0 is off.
    every
        Compare only left frames 0, every, 2*every, ... (all frames are still paired).
    pair
        "time" or "index"; None chooses time when both sides have times (videos, or image
        sequences given ``fps``) and index otherwise.
    fps
        Frame rate given to image sequences, which then have times.
    max_pixels
        Frames with more pixels are refused before they are decoded; None for no limit.
    standard
        Also compute the standard figures for every compared pair.
    one_core
        Keep the comparison on one core: decode on the calling thread, one image at a time, with
        single-threaded codecs. For running many comparisons side by side (``quillet batch``
        runs one per worker process), where decoding ahead in threads would only make the
        comparisons compete for the same cores.
    """

    ema: float = 1.0
    every: int = 1
    pair: str | None = None
    fps: float | None = None
    max_pixels: int | None = DEFAULT_MAX_PIXELS
    standard: bool = False
    one_core: bool = False

    def __post_init__(self) -> None:
        if not 0.0 < self.ema <= 1.0:
            raise ValueError(f"ema must be in (0, 1], 1.0 meaning no smoothing; got {self.ema}")
        if isinstance(self.every, bool) or not isinstance(self.every, int) or self.every < 1:
            raise ValueError(f"every must be an integer of at least 1, got {self.every!r}")
        if self.pair is not None and self.pair not in PAIRING_MODES:
            raise ValueError(f"pair must be 'time', 'index' or None, got {self.pair!r}")
        if self.fps is not None and not (math.isfinite(self.fps) and self.fps > 0):
            raise ValueError(f"fps must be a positive number, got {self.fps}")
        if self.max_pixels is not None and self.max_pixels < 1:
            raise ValueError(f"max_pixels must be at least 1, got {self.max_pixels}")


@dataclass(frozen=True, slots=True)
class PairRecord:
    """One compared pair: the left frame's index and time, its right partner, the figures."""

    frame: int
    left_time: float | None
    right_index: int
    right_time: float | None
    metrics: Metrics
    identical: bool
    standard: StandardMetrics | None = None

    def figures(self) -> dict[str, float]:
        """Every figure of the pair by name: the four metrics, then the standard ones if any."""
        values = dict(self.metrics._asdict())
        if self.standard is not None:
            values.update(self.standard._asdict())
        return values


class PairView:
    """The frames of the pair being recorded, valid only inside the ``on_record`` callback."""

    __slots__ = ("_comparer", "_picture", "_valid", "left", "right")

    def __init__(self, left: Frame, right: Frame, comparer: FrameComparer) -> None:
        self.left = left
        self.right = right
        self._comparer = comparer
        self._picture: DiffPicture | None = None
        self._valid = True

    def diff(self) -> DiffPicture:
        """This pair's difference picture, as the stream draws it (smoothing and colour scale)."""
        if not self._valid:
            raise RuntimeError("a PairView is valid only inside the on_record callback")
        if self._picture is None:
            self._picture = self._comparer.diff_picture()
        return self._picture

    def _expire(self) -> None:
        self._valid = False
        self._picture = None


@dataclass(frozen=True, slots=True)
class FigureStats:
    """Mean, least and greatest value of one figure over the compared pairs, and the first frame
    with the worst value (the least for ssim and psnr figures, the greatest for the others)."""

    mean: float
    min: float
    max: float
    worst_frame: int


@dataclass
class VideoSummary:
    """What :func:`compare_videos` found.

    ``left_frames``/``right_frames`` count each side's frames: all of them when the side was
    read to its end or declares its length (``left_frames_exact``/``right_frames_exact``),
    otherwise only those read (a side that proved longer is not read further). ``repeated``
    counts uses of a right frame beyond its first, ``skipped`` right frames read but never
    used.
    ``figures`` maps each figure's name to its statistics over every compared pair;
    ``worst_frames`` lists up to five differing pairs with the lowest psnr as (frame, psnr).
    ``interrupted`` is set when Ctrl-C (KeyboardInterrupt, or a signal raised as one) stopped
    the run, and ``interruption`` holds that exception: the figures then cover the pairs
    compared until then.
    """

    left_name: str
    right_name: str
    pairing: str
    frame_rate: Fraction | None = None
    width: int = 0
    height: int = 0
    compared_width: int = 0
    compared_height: int = 0
    left_frames: int = 0
    right_frames: int = 0
    left_frames_exact: bool = False
    right_frames_exact: bool = False
    compared: int = 0
    repeated: int = 0
    skipped: int = 0
    identical: int = 0
    lengths_differ: bool = False
    interrupted: bool = False
    figures: dict[str, FigureStats] = field(default_factory=dict)
    worst_frames: list[tuple[int, float]] = field(default_factory=list)
    interruption: KeyboardInterrupt | None = field(default=None, repr=False, compare=False)

    @property
    def all_identical(self) -> bool:
        """Whether pairs were compared and every one was identical, with equal lengths."""
        return self.compared > 0 and self.identical == self.compared and not self.lengths_differ


class _FigureTally:
    """Running statistics of one figure."""

    __slots__ = ("count", "lower_is_worse", "maximum", "minimum", "total", "worst_frame")

    def __init__(self, name: str) -> None:
        self.lower_is_worse = name.startswith(_LOWER_IS_WORSE_PREFIXES)
        self.count = 0
        self.total = 0.0
        self.minimum = math.inf
        self.maximum = -math.inf
        self.worst_frame = -1

    def add(self, frame: int, value: float) -> None:
        worse = value < self.minimum if self.lower_is_worse else value > self.maximum
        if worse or self.count == 0:
            self.worst_frame = frame
        self.count += 1
        self.total += value
        self.minimum = min(self.minimum, value)
        self.maximum = max(self.maximum, value)

    def stats(self) -> FigureStats:
        return FigureStats(self.total / self.count, self.minimum, self.maximum, self.worst_frame)


class _Tally:
    """Per-figure statistics and the worst frames, kept in constant memory."""

    def __init__(self) -> None:
        self._figures: dict[str, _FigureTally] = {}
        self._worst: list[tuple[float, int]] = []  # max-heap by psnr through negation

    def add(self, record: PairRecord) -> None:
        for name, value in record.figures().items():
            tally = self._figures.get(name)
            if tally is None:
                tally = self._figures[name] = _FigureTally(name)
            tally.add(record.frame, value)
        if not record.identical:
            entry = (-record.metrics.psnr, -record.frame)
            # The heap's root is the least bad pair kept: the one to let go when full.
            if len(self._worst) < WORST_FRAMES_KEPT:
                heapq.heappush(self._worst, entry)
            else:
                heapq.heappushpop(self._worst, entry)

    def fill(self, summary: VideoSummary) -> None:
        summary.figures = {name: tally.stats() for name, tally in self._figures.items()}
        summary.worst_frames = sorted(
            ((-frame, -psnr) for psnr, frame in self._worst), key=lambda e: (e[1], e[0])
        )


def _standard_function() -> Callable[[Frame, Frame], StandardMetrics]:
    try:
        from ._standard import standard_metrics
    except ImportError as error:
        raise ValueError(
            "the standard figures are not available in this installation of quillet"
        ) from error
    function: Callable[[Frame, Frame], StandardMetrics] = standard_metrics
    return function


def _pairing_mode(options: VideoOptions, left: FrameSource, right: FrameSource) -> str:
    if options.pair == "index":
        return "index"
    untimed = [source.name for source in (left, right) if not source.timed]
    if options.pair is None:
        return "index" if untimed else "time"
    if untimed:
        raise SourceError(
            f"pairing in time needs a frame rate for the image sequence {untimed[0]} (--fps)"
        )
    return "time"


def _interval(source: FrameSource) -> float | None:
    return float(1 / source.frame_rate) if source.frame_rate else None


def _pairs(
    mode: str,
    lefts: Iterator[TimedFrame],
    rights: Iterator[TimedFrame],
    counts: PairCounts,
    left_source: FrameSource,
    right_source: FrameSource,
) -> Iterator[tuple[TimedFrame, TimedFrame]]:
    if mode == "index":
        return pair_by_index(lefts, rights, counts)
    return pair_by_time(
        lefts,
        rights,
        counts,
        left_interval=_interval(left_source),
        right_interval=_interval(right_source),
    )


class _SizeGuard:
    """Refuses pairs whose sides differ in size, and streams that change size midway."""

    def __init__(self, left_name: str, right_name: str) -> None:
        self.left_name, self.right_name = left_name, right_name
        self.size: tuple[int, int] | None = None

    def check(self, left: TimedFrame, right: TimedFrame) -> None:
        left_size, right_size = left.frame.size, right.frame.size
        if left_size != right_size:
            raise SourceError(
                f"the frames differ in size at frame {left.index}: {self.left_name} is "
                f"{left_size[0]}x{left_size[1]}, {self.right_name} is "
                f"{right_size[0]}x{right_size[1]}"
            )
        if self.size is None:
            width, height = compared_size(*left_size)
            if width < 1 or height < 1:
                raise SourceError(
                    f"{self.left_name}: a {left_size[0]}x{left_size[1]} frame reduces to "
                    f"{width}x{height} pixels for comparison and cannot be compared"
                )
            self.size = left_size
        elif left_size != self.size:
            raise SourceError(
                f"the frame size changes at frame {left.index} from "
                f"{self.size[0]}x{self.size[1]} to {left_size[0]}x{left_size[1]} "
                f"({self.left_name}, {self.right_name})"
            )


def compare_videos(
    left: str | os.PathLike[str],
    right: str | os.PathLike[str],
    options: VideoOptions = VideoOptions(),
    *,
    on_record: Callable[[PairRecord, PairView], None] | None = None,
    progress: Callable[[int, int | None], None] | None = None,
    on_start: Callable[[VideoSummary], None] | None = None,
) -> VideoSummary:
    """Compare two videos, image sequences (folder or glob) or multi-frame images, pair by pair.

    ``on_record(record, view)`` is called for each compared pair in order, on the calling
    thread; ``view`` gives the pair's frames and difference picture during that call only.
    On the main thread, stop signals (Ctrl-C, SIGTERM, SIGHUP) wait while a pair is compared
    and recorded, so a run stops between pairs: every pair counted was recorded in full (a
    pair whose ``on_record`` raised is not counted).
    ``progress(done, total)`` is called after each left frame read (``total`` is the left
    source's declared length, or None). ``on_start(summary)`` is called once both sources are
    open, before anything is decoded, with the summary's names, pairing and frame rate filled.

    Raises :class:`~quillet._sources.SourceError` with a one-line message naming the file (and
    the frame) when a source cannot be read or the frames differ in size, and ValueError when
    the standard figures are asked for but not available. Ctrl-C ends the run early with
    ``interrupted`` set; the decoding threads are stopped and joined on every way out.
    """
    standard_metrics = _standard_function() if options.standard else None
    with ExitStack() as stack:
        sources: list[FrameSource] = []
        for location in (left, right):
            source = open_source(
                os.fspath(location),
                fps=options.fps,
                max_pixels=options.max_pixels,
                one_core=options.one_core,
            )
            stack.callback(source.close)
            sources.append(source)
        left_source, right_source = sources
        mode = _pairing_mode(options, left_source, right_source)
        summary = VideoSummary(
            left_name=left_source.name,
            right_name=right_source.name,
            pairing=mode,
            frame_rate=left_source.frame_rate or right_source.frame_rate,
        )
        if on_start is not None:
            on_start(summary)
        lefts: Iterator[TimedFrame]
        rights: Iterator[TimedFrame]
        if options.one_core:
            lefts = stack.enter_context(closing(left_source.frames()))
            rights = stack.enter_context(closing(right_source.frames()))
        else:
            lefts = stack.enter_context(DecodeAhead(left_source.frames(), name="decode-left"))
            rights = stack.enter_context(DecodeAhead(right_source.frames(), name="decode-right"))
        comparer = stack.enter_context(FrameComparer(ema_alpha=options.ema))
        counts = PairCounts(mode)
        tally = _Tally()
        guard = _SizeGuard(left_source.name, right_source.name)
        try:
            for left_item, right_item in _pairs(
                mode, lefts, rights, counts, left_source, right_source
            ):
                if left_item.index % options.every == 0:
                    guard.check(left_item, right_item)
                    # One pair is one step: a stop request waits until it is compared,
                    # handed to on_record and counted, so that what the callback wrote and
                    # the summary agree.
                    with signals_deferred():
                        record = _compare_pair(comparer, left_item, right_item, standard_metrics)
                        if on_record is not None:
                            view = PairView(left_item.frame, right_item.frame, comparer)
                            try:
                                on_record(record, view)
                            finally:
                                view._expire()
                        tally.add(record)
                        summary.compared += 1
                        summary.identical += record.identical
                if progress is not None:
                    progress(counts.left_frames, left_source.total)
        except KeyboardInterrupt as interruption:
            summary.interrupted = True
            summary.interruption = interruption
        _finish(summary, counts, tally, guard, left_source, right_source)
    return summary


def _compare_pair(
    comparer: FrameComparer,
    left: TimedFrame,
    right: TimedFrame,
    standard_metrics: Callable[[Frame, Frame], StandardMetrics] | None,
) -> PairRecord:
    metrics = comparer.compare(left.frame, right.frame)
    standard = standard_metrics(left.frame, right.frame) if standard_metrics else None
    return PairRecord(
        frame=left.index,
        left_time=left.time,
        right_index=right.index,
        right_time=right.time,
        metrics=metrics,
        identical=left.frame.rgb == right.frame.rgb,
        standard=standard,
    )


def _frame_count(read: int, ended: bool, declared: int | None) -> tuple[int, bool]:
    if ended:
        return read, True
    if declared is not None and declared >= read:
        return declared, True
    return read, False


def _finish(
    summary: VideoSummary,
    counts: PairCounts,
    tally: _Tally,
    guard: _SizeGuard,
    left_source: FrameSource,
    right_source: FrameSource,
) -> None:
    if guard.size is not None:
        summary.width, summary.height = guard.size
        summary.compared_width, summary.compared_height = compared_size(*guard.size)
    summary.left_frames, summary.left_frames_exact = _frame_count(
        counts.left_frames, counts.left_ended, left_source.total
    )
    summary.right_frames, summary.right_frames_exact = _frame_count(
        counts.right_frames, counts.right_ended, right_source.total
    )
    summary.repeated = counts.repeated
    summary.skipped = counts.skipped
    summary.lengths_differ = counts.lengths_differ
    if summary.compared:
        tally.fill(summary)
