"""Pairing of left and right frames by presentation time and by index: which right frame each
left frame gets, the repeated and skipped counts, where the lengths differ, and how far ahead
the streams are read. First on plain timed items, then on generated videos."""

from dataclasses import dataclass
from fractions import Fraction

import pytest
from quillet._pairing import PairCounts, pair_by_index, pair_by_time, tolerance_for
from video_clips import moments, write_video


@dataclass(frozen=True)
class Item:
    index: int
    time: float | None


def stream(times):
    return [Item(index, float(time)) for index, time in enumerate(times)]


class Reads:
    """An iterator over items that remembers how many were taken."""

    def __init__(self, items):
        self.items = list(items)
        self.taken = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.taken == len(self.items):
            raise StopIteration
        self.taken += 1
        return self.items[self.taken - 1]


def timed_pairs(left_times, right_times, left_rate, right_rate):
    counts = PairCounts("time")
    pairs = list(
        pair_by_time(
            iter(stream(left_times)),
            iter(stream(right_times)),
            counts,
            left_interval=1 / left_rate if left_rate else None,
            right_interval=1 / right_rate if right_rate else None,
        )
    )
    return [(left.index, right.index) for left, right in pairs], counts


# (left times, right times, rates, expected right index of each left frame, repeated, skipped)
TIME_CASES = {
    "25-against-50": (
        moments(10, 25),
        moments(20, 50),
        (25, 50),
        [2 * k for k in range(10)],
        0,
        10,
    ),
    "50-against-25": (
        moments(20, 50),
        moments(10, 25),
        (50, 25),
        [k // 2 for k in range(20)],
        10,
        0,
    ),
    "same-rate": (moments(8, 30), moments(8, 30), (30, 30), list(range(8)), 0, 0),
    "dropped-right-frame": (
        moments(10, 25),
        moments(10, 25, leave_out={4}),
        (25, 25),
        [0, 1, 2, 3, 3, 4, 5, 6, 7, 8],
        1,
        0,
    ),
    "dropped-left-frame": (
        moments(10, 25, leave_out={4}),
        moments(10, 25),
        (25, 25),
        [0, 1, 2, 3, 5, 6, 7, 8, 9],
        0,
        1,
    ),
    "30-against-50": (
        moments(6, 30),
        moments(10, 50),
        (30, 50),
        # Left frame k falls 5k/3 right intervals in: the right frame on screen, or the next
        # one when it starts less than half a 50 fps interval later (k = 1, 4).
        [0, 2, 3, 5, 7, 8],
        0,
        4,
    ),
}


@pytest.mark.parametrize(
    ("left_times", "right_times", "rates", "expected", "repeated", "skipped"),
    list(TIME_CASES.values()),
    ids=list(TIME_CASES),
)
def test_time_pairing_takes_the_right_frame_on_screen(
    left_times, right_times, rates, expected, repeated, skipped
):
    pairs, counts = timed_pairs(left_times, right_times, *rates)
    assert [right for _, right in pairs] == expected
    assert (counts.repeated, counts.skipped) == (repeated, skipped)
    assert not counts.lengths_differ
    assert counts.paired == len(left_times)


@pytest.mark.parametrize("shift", [-0.45, -0.2, 0.2, 0.45])
def test_time_pairing_forgives_jitter_below_half_a_frame(shift):
    rate = 25
    jittered = [(k + (shift if k % 2 else 0.0)) / rate for k in range(12)]
    pairs, counts = timed_pairs(moments(12, rate), jittered, rate, rate)
    assert pairs == [(k, k) for k in range(12)]
    assert (counts.repeated, counts.skipped) == (0, 0)


def test_time_pairing_beyond_half_a_frame_takes_the_frame_still_on_screen():
    # Every right frame is 0.6 of an interval late: at each left moment the previous right
    # frame is still shown, and before the first one there is none.
    rate = 25
    late = [(k + 0.6) / rate for k in range(10)]
    pairs, counts = timed_pairs(moments(10, rate), late, rate, rate)
    assert pairs == [(k, k - 1) for k in range(1, 10)]
    assert counts.unpaired_left == 1 and counts.lengths_differ


def test_tolerance_is_half_the_shorter_interval():
    assert tolerance_for(1 / 25, 1 / 50) == pytest.approx(0.01)
    assert tolerance_for(None, 1 / 10) == pytest.approx(0.05)
    assert tolerance_for(None, None) > 0


def test_left_stream_longer_stops_at_the_right_end_without_reading_on():
    rate = 25
    lefts = Reads(stream(moments(100, rate)))
    counts = PairCounts("time")
    pairs = list(
        pair_by_time(
            lefts,
            iter(stream(moments(10, rate))),
            counts,
            left_interval=1 / rate,
            right_interval=1 / rate,
        )
    )
    assert [(left.index, right.index) for left, right in pairs] == [(k, k) for k in range(10)]
    assert counts.unpaired_left == 1 and counts.lengths_differ
    assert lefts.taken == 11


def test_right_stream_longer_is_noticed_without_reading_it_to_the_end():
    rate = 25
    rights = Reads(stream(moments(100, rate)))
    counts = PairCounts("time")
    pairs = list(
        pair_by_time(
            iter(stream(moments(10, rate))),
            rights,
            counts,
            left_interval=1 / rate,
            right_interval=1 / rate,
        )
    )
    assert len(pairs) == 10 and counts.extra_right == 1 and counts.lengths_differ
    assert rights.taken == 11


def test_faster_right_stream_ending_with_the_left_does_not_differ_in_length():
    # 50 fps frames 18 and 19 fall inside the last 25 fps frame: skipped, not extra.
    pairs, counts = timed_pairs(moments(10, 25), moments(20, 50), 25, 50)
    assert counts.skipped == 10 and counts.extra_right == 0
    assert counts.right_frames == 20


def test_right_stream_starting_late_leaves_early_left_frames_unpaired():
    pairs, counts = timed_pairs(moments(10, 25), moments(7, 25, start=3), 25, 25)
    assert pairs == [(k, k - 3) for k in range(3, 10)]
    assert counts.unpaired_left == 3 and counts.lengths_differ


def test_empty_right_stream_pairs_nothing_and_reads_one_left_frame():
    lefts = Reads(stream(moments(10, 25)))
    counts = PairCounts("time")
    assert (
        list(pair_by_time(lefts, iter([]), counts, left_interval=0.04, right_interval=0.04)) == []
    )
    assert lefts.taken == 1 and counts.lengths_differ


def test_time_pairing_reads_the_right_stream_one_frame_ahead_at_most():
    rights = Reads(stream(moments(40, 50)))
    counts = PairCounts("time")
    for _left, right in pair_by_time(
        iter(stream(moments(20, 25))), rights, counts, left_interval=0.04, right_interval=0.02
    ):
        assert rights.taken <= right.index + 2


def test_time_pairing_without_rates_uses_the_last_interval_for_the_end():
    pairs, counts = timed_pairs(moments(12, 25), moments(10, 25), None, None)
    assert len(pairs) == 10 and counts.unpaired_left == 1


@pytest.mark.parametrize(
    ("left_count", "right_count", "paired", "unpaired_left", "extra_right"),
    [(5, 5, 5, 0, 0), (7, 5, 5, 1, 0), (5, 7, 5, 0, 1), (0, 3, 0, 0, 1), (3, 0, 0, 1, 0)],
    ids=["equal", "left-longer", "right-longer", "left-empty", "right-empty"],
)
def test_index_pairing(left_count, right_count, paired, unpaired_left, extra_right):
    counts = PairCounts("index")
    lefts, rights = Reads(stream(range(left_count))), Reads(stream(range(right_count)))
    pairs = list(pair_by_index(lefts, rights, counts))
    assert [(left.index, right.index) for left, right in pairs] == [(k, k) for k in range(paired)]
    assert (counts.unpaired_left, counts.extra_right) == (unpaired_left, extra_right)
    assert counts.lengths_differ == bool(unpaired_left or extra_right)
    # A stream counts as read to its end only when its end was seen.
    assert counts.left_ended == (left_count <= right_count)
    assert counts.right_ended == (right_count <= left_count)
    # The longer stream is read one frame past the shorter one's end, no further.
    assert lefts.taken <= paired + 1 and rights.taken <= paired + 1


# --- generated videos ----------------------------------------------------------------------

av = pytest.importorskip("av")


def compare(left, right, **options):
    from quillet._video import VideoOptions, compare_videos

    records = []
    summary = compare_videos(
        str(left),
        str(right),
        VideoOptions(**options),
        on_record=lambda record, view: records.append(record),
    )
    return summary, records


@pytest.mark.parametrize("left_is_slower", [True, False], ids=["25-vs-50", "50-vs-25"])
def test_videos_at_25_and_50_fps_pair_by_time(tmp_path, left_is_slower):
    slow = write_video(tmp_path / "slow.mkv", moments(10, 25), 25)
    fast = write_video(tmp_path / "fast.mkv", moments(20, 50), 50)
    left, right = (slow, fast) if left_is_slower else (fast, slow)
    summary, records = compare(left, right)
    assert summary.pairing == "time"
    if left_is_slower:
        assert [(r.frame, r.right_index) for r in records] == [(k, 2 * k) for k in range(10)]
        assert all(r.identical for r in records)
        assert (summary.repeated, summary.skipped) == (0, 10)
    else:
        assert [(r.frame, r.right_index) for r in records] == [(k, k // 2) for k in range(20)]
        # Odd 50 fps frames show a moment the 25 fps video never shows.
        assert [r.identical for r in records] == [k % 2 == 0 for k in range(20)]
        assert (summary.repeated, summary.skipped) == (10, 0)
    assert not summary.lengths_differ
    for record in records:
        assert record.left_time == pytest.approx(
            float(Fraction(record.frame, 50 if not left_is_slower else 25))
        )
        assert record.right_time <= record.left_time + 1e-9


def test_video_with_a_dropped_frame_repeats_the_previous_one(tmp_path):
    full = write_video(tmp_path / "full.mkv", moments(10, 25), 25)
    dropped = write_video(tmp_path / "dropped.mkv", moments(10, 25, leave_out={4}), 25)
    summary, records = compare(full, dropped)
    assert [r.right_index for r in records] == [0, 1, 2, 3, 3, 4, 5, 6, 7, 8]
    assert [r.frame for r in records if not r.identical] == [4]
    assert (summary.repeated, summary.skipped, summary.lengths_differ) == (1, 0, False)
    # The other way round the right frame at that moment is skipped.
    summary, records = compare(dropped, full)
    assert all(r.identical for r in records) and len(records) == 9
    assert (summary.repeated, summary.skipped) == (0, 1)


def test_video_with_a_duplicated_frame_skips_one_copy(tmp_path):
    # The right video shows frame 4's picture once more, half a frame later.
    full = write_video(tmp_path / "full.mkv", moments(10, 25), 25)
    duplicated_moments = sorted([*moments(10, 25), Fraction(9, 2 * 25)])

    def frame_maker(moment, width, height):
        from video_clips import picture

        return picture(Fraction(4, 25) if moment == Fraction(9, 50) else moment, width, height)

    duplicated = write_video(
        tmp_path / "duplicated.mkv", duplicated_moments, 50, frame_maker=frame_maker
    )
    summary, records = compare(full, duplicated)
    assert len(records) == 10 and all(r.identical for r in records)
    assert summary.skipped == 1 and summary.repeated == 0
    assert not summary.lengths_differ


@pytest.mark.parametrize("pair", ["index", "time"])
def test_pair_option_overrides_the_default_for_videos(tmp_path, pair):
    slow = write_video(tmp_path / "slow.mkv", moments(10, 25), 25)
    fast = write_video(tmp_path / "fast.mkv", moments(20, 50), 50)
    summary, records = compare(slow, fast, pair=pair)
    assert summary.pairing == pair
    expected = [k for k in range(10)] if pair == "index" else [2 * k for k in range(10)]
    assert [r.right_index for r in records] == expected
    assert summary.lengths_differ == (pair == "index")
