"""The video engine: image sequences and multi-frame images as sources, decoding ahead on
bounded queues, refusals of bad input with messages that name the file and the frame, the
records and the summary it builds, and clean stops."""

import threading
import time
from fractions import Fraction

import pytest
import quillet
from quillet._decode_ahead import DecodeAhead
from quillet._sources import SourceError, natural_key, open_source
from quillet._video import PairView, VideoOptions, compare_videos
from video_clips import moments, picture, write_sequence, write_video

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")


def run(left, right, on_record=None, **options):
    records = []

    def keep(record, view):
        records.append(record)
        if on_record is not None:
            on_record(record, view)

    summary = compare_videos(left, right, VideoOptions(**options), on_record=keep)
    return summary, records


def decode_threads():
    return [t for t in threading.enumerate() if t.name.startswith("quillet-decode")]


def scenes(count, changed=()):
    arrays = [picture(Fraction(k, 100)) for k in range(count)]
    for index in changed:
        arrays[index] = arrays[index].copy()
        arrays[index][2:10, 2:10] = 255 - arrays[index][2:10, 2:10]
    return arrays


# --- image sequences and multi-frame images -------------------------------------------------


def test_image_sequences_pair_by_index_and_match_the_one_off_comparison(tmp_path):
    lefts, rights = scenes(6), scenes(6, changed={1, 4})
    left = write_sequence(tmp_path / "left", lefts)
    right = write_sequence(tmp_path / "right", rights)
    summary, records = run(left, right)
    assert summary.pairing == "index"
    assert [(r.frame, r.right_index, r.left_time) for r in records] == [
        (k, k, None) for k in range(6)
    ]
    assert [r.metrics for r in records] == [
        quillet.compare(a, b) for a, b in zip(lefts, rights, strict=True)
    ]
    assert [r.identical for r in records] == [k not in {1, 4} for k in range(6)]
    assert (summary.compared, summary.identical, summary.lengths_differ) == (6, 4, False)
    assert (summary.width, summary.height) == (64, 48)


def test_long_sequences_keep_their_order_through_the_reading_pool(tmp_path):
    arrays = scenes(25)
    left = write_sequence(tmp_path / "left", arrays)
    right = write_sequence(tmp_path / "right", arrays)
    seen = []

    def check(record, view):
        seen.append(record.frame)
        assert view.left.rgb == arrays[record.frame].tobytes()
        assert view.right.rgb == arrays[record.right_index].tobytes()

    summary, records = run(left, right, on_record=check)
    assert seen == list(range(25)) and summary.identical == 25
    assert (summary.left_frames, summary.left_frames_exact) == (25, True)


def test_fps_gives_sequences_times_and_pairs_them_with_a_video(tmp_path):
    arrays = [picture(moment) for moment in moments(10, 25)]
    folder = write_sequence(tmp_path / "seq", arrays)
    video = write_video(tmp_path / "fast.mkv", moments(20, 50), 50)
    summary, records = run(folder, video, fps=25)
    assert summary.pairing == "time"
    assert [r.right_index for r in records] == [2 * k for k in range(10)]
    assert all(r.identical for r in records)
    assert [r.left_time for r in records] == pytest.approx([k / 25 for k in range(10)])


def test_a_sequence_without_a_rate_pairs_by_index_with_a_video(tmp_path):
    folder = write_sequence(tmp_path / "seq", [picture(m) for m in moments(10, 25)])
    video = write_video(tmp_path / "fast.mkv", moments(20, 50), 50)
    summary, records = run(folder, video)
    assert summary.pairing == "index" and summary.lengths_differ
    with pytest.raises(SourceError, match=r"needs a frame rate .*seq.*--fps"):
        run(folder, video, pair="time")


def test_multi_frame_gif_is_compared_frame_by_frame(tmp_path):
    # Few colours, so that the GIF palette keeps every pixel exact.
    arrays = []
    for k in range(5):
        array = np.zeros((24, 32, 3), np.uint8)
        array[:, k * 4 : k * 4 + 4] = (255, 0, 0)
        array[k * 2, :] = (0, 0, 255)
        arrays.append(array)
    gif = tmp_path / "anim.gif"
    images = [Image.fromarray(a) for a in arrays]
    images[0].save(gif, save_all=True, append_images=images[1:], duration=40, loop=0)
    folder = write_sequence(tmp_path / "png", arrays)
    changed = [a.copy() for a in arrays]
    changed[3][0, 0] = (0, 255, 0)
    other = write_sequence(tmp_path / "changed", changed)
    summary, records = run(gif, folder)
    assert len(records) == 5 and all(r.identical for r in records)
    assert summary.left_frames == 5 and not summary.lengths_differ
    summary, records = run(gif, other)
    assert [r.frame for r in records if not r.identical] == [3]
    # Inside a folder, a multi-frame file contributes every frame in its place.
    mixed = tmp_path / "mixed"
    mixed.mkdir()
    Image.fromarray(arrays[0]).save(mixed / "a0.png")
    images[1].save(mixed / "a1.gif", save_all=True, append_images=images[2:4], duration=40)
    Image.fromarray(arrays[4]).save(mixed / "a2.png")
    summary, records = run(mixed, folder)
    assert len(records) == 5 and all(r.identical for r in records)


@pytest.mark.parametrize(
    "names",
    [
        ["f1.png", "f2.png", "f10.png", "f1²2.png", "²1.png", "f¹⁰.png"],
        ["a\u0661\u0662.png", "a\u0663.png", "a7.png"],  # Arabic-Indic digits are decimal
        ["x.png", "x01.png", "x1.png", "X2.png"],
    ],
    ids=["superscripts", "arabic-indic", "leading-zeros"],
)
def test_natural_sort_never_fails_and_orders_numbers(names):
    ordered = sorted(reversed(names), key=natural_key)
    assert sorted(ordered, key=natural_key) == ordered
    # Among names of one prefix and a plain number, the numbers come in numeric order.
    numbers = [n for n in ordered if n[0] == ordered[0][0] and n[1:-4].isdecimal()]
    assert len(numbers) >= 2
    assert [int(n[1:-4]) for n in numbers] == sorted(int(n[1:-4]) for n in numbers)


def test_folder_with_superscript_names_opens_in_natural_order(tmp_path):
    folder = tmp_path / "seq"
    folder.mkdir()
    for name in ["frame10.png", "frame2.png", "frame1²3.png"]:
        Image.fromarray(picture(Fraction(0))).save(folder / name)
    source = open_source(str(folder))
    assert [p.rsplit("/", 1)[1] for p in source.paths] == [
        "frame1²3.png",
        "frame2.png",
        "frame10.png",
    ]


# --- refusals -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("content", "suffix"),
    [("a plain text file\n" * 20, ".txt"), ("not a video", ".mp4"), ("", ".mkv")],
    ids=["text", "text-named-mp4", "empty"],
)
def test_non_videos_are_refused(tmp_path, content, suffix):
    fake = tmp_path / f"fake{suffix}"
    fake.write_text(content)
    good = write_video(tmp_path / "good.mkv", moments(3, 25), 25)
    with pytest.raises(SourceError, match=f"cannot open .*fake{suffix}"):
        run(good, fake)
    assert fake.read_text() == content


def test_decode_error_mid_stream_names_the_file_and_frame(tmp_path):
    rng = np.random.default_rng(5)
    noise = lambda moment, width, height: rng.integers(0, 256, (height, width, 3), np.uint8)  # noqa: E731
    good = write_video(tmp_path / "good.mov", moments(10, 25), 25, codec="png", frame_maker=noise)
    data = good.read_bytes()
    middle = len(data) // 2
    broken = tmp_path / "broken.mov"
    broken.write_bytes(data[:middle] + bytes(2000) + data[middle + 2000 :])
    with pytest.raises(SourceError, match=r"cannot decode .*broken\.mov at frame [1-9]"):
        run(good, broken)
    assert not decode_threads()


def test_different_sizes_are_refused_naming_both(tmp_path):
    small = write_video(tmp_path / "small.mkv", moments(3, 25), 25, size=(32, 24))
    large = write_video(tmp_path / "large.mkv", moments(3, 25), 25)
    with pytest.raises(SourceError, match=r"frame 0: .*large\.mkv is 64x48, .*small\.mkv is 32x24"):
        run(large, small)


def test_a_size_change_midway_is_refused(tmp_path):
    arrays = scenes(4)
    arrays[2] = arrays[2][:24, :32].copy()
    left = write_sequence(tmp_path / "left", arrays)
    right = write_sequence(tmp_path / "right", arrays)
    with pytest.raises(SourceError, match=r"size changes at frame 2 from 64x48 to 32x24"):
        run(left, right)


@pytest.mark.parametrize("kind", ["video", "image"])
def test_max_pixels_refuses_before_decoding(tmp_path, kind):
    if kind == "video":
        path = write_video(tmp_path / "clip.mkv", moments(3, 25), 25)
    else:
        path = write_sequence(tmp_path / "seq", scenes(2)) / "frame0.png"
    with pytest.raises(SourceError, match=r"64x48 = 3072 pixels, more than the limit of 3071"):
        run(path, path, max_pixels=3071)
    assert run(path, path, max_pixels=3072)[0].compared >= 1


@pytest.mark.parametrize(
    "options",
    [
        {"ema": 0},
        {"ema": 1.5},
        {"every": 0},
        {"pair": "nearest"},
        {"fps": 0},
        {"fps": float("inf")},
        {"max_pixels": 0},
    ],
    ids=lambda o: next(iter(o)),
)
def test_bad_options_are_refused(options):
    with pytest.raises(ValueError):
        VideoOptions(**options)


# --- records, summary and stopping -----------------------------------------------------------


def test_every_compares_one_left_frame_in_n_and_summarises_them(tmp_path):
    lefts, rights = scenes(9), scenes(9, changed={3, 6})
    left = write_sequence(tmp_path / "left", lefts)
    right = write_sequence(tmp_path / "right", rights)
    summary, records = run(left, right, every=3)
    assert [r.frame for r in records] == [0, 3, 6]
    assert summary.compared == 3 and summary.identical == 1
    psnr = summary.figures["psnr"]
    values = [r.metrics.psnr for r in records]
    assert (psnr.min, psnr.max) == (min(values), max(values))
    assert psnr.mean == pytest.approx(sum(values) / 3)
    assert psnr.worst_frame == records[values.index(min(values))].frame
    assert summary.figures["mse"].worst_frame in (3, 6)
    assert [frame for frame, _ in summary.worst_frames] == sorted(
        (r.frame for r in records if not r.identical),
        key=lambda f: (values[[r.frame for r in records].index(f)], f),
    )


def test_pair_view_gives_the_stream_picture_only_during_the_callback(tmp_path):
    lefts, rights = scenes(4), scenes(4, changed={0, 1, 2, 3})
    left = write_sequence(tmp_path / "left", lefts)
    right = write_sequence(tmp_path / "right", rights)
    views, pictures = [], []

    def keep(record, view):
        assert isinstance(view, PairView)
        assert view.left.rgb == lefts[record.frame].tobytes()
        pictures.append(view.diff())
        views.append(view)

    run(left, right, on_record=keep, ema=0.5)
    with quillet.FrameComparer(ema_alpha=0.5) as comparer:
        for a, b, picture_seen in zip(lefts, rights, pictures, strict=True):
            comparer.compare(a, b)
            assert picture_seen == comparer.diff_picture()
    with pytest.raises(RuntimeError, match="only inside"):
        views[0].diff()


def test_ctrl_c_in_a_callback_ends_the_run_marked_interrupted(tmp_path):
    left = write_video(tmp_path / "left.mkv", moments(30, 25), 25)

    stop = KeyboardInterrupt("SIGTERM")

    def stop_at_five(record, view):
        if record.frame == 5:
            raise stop

    summary, records = run(left, left, on_record=stop_at_five)
    assert summary.interrupted and summary.interruption is stop
    # The pair whose callback was cut short is not counted: the summary covers pairs 0-4.
    assert summary.compared == 5 and len(records) == 6
    assert summary.figures["psnr"].min == 100.0
    assert not decode_threads()


def test_a_failing_callback_stops_and_joins_the_decoders(tmp_path):
    left = write_video(tmp_path / "left.mkv", moments(30, 25), 25)

    def fail(record, view):
        raise RuntimeError("callback failed")

    with pytest.raises(RuntimeError, match="callback failed"):
        run(left, left, on_record=fail)
    assert not decode_threads()


def test_lengths_differ_is_reported_with_the_common_part_compared(tmp_path):
    long = write_video(tmp_path / "long.mkv", moments(12, 25), 25)
    short = write_video(tmp_path / "short.mkv", moments(8, 25), 25)
    summary, records = run(long, short)
    assert summary.lengths_differ and len(records) == 8
    # The longer side is read only until it proves longer.
    assert summary.left_frames > summary.right_frames == 8


# --- decoding ahead ---------------------------------------------------------------------------


class CountingSource:
    def __init__(self, count):
        self.count = count
        self.produced = 0
        self.closed = False

    def __iter__(self):
        try:
            for index in range(self.count):
                self.produced += 1
                yield index
        finally:
            self.closed = True


@pytest.mark.parametrize("depth", [1, 2, 4])
def test_decode_ahead_holds_at_most_depth_items(depth):
    source = CountingSource(1000)
    with DecodeAhead(iter(source), depth=depth) as ahead:
        assert next(ahead) == 0
        time.sleep(0.2)  # ample time for the thread to fill the queue
        assert ahead.queued <= depth
        # One item handed out, depth queued, one more held by the blocked producer.
        assert source.produced <= 1 + depth + 1
    assert source.closed


def test_decode_ahead_delivers_in_order_and_passes_errors_where_they_happened():
    def failing():
        yield from range(3)
        raise SourceError("cannot decode x at frame 3")

    with DecodeAhead(failing(), depth=2) as ahead:
        assert [next(ahead) for _ in range(3)] == [0, 1, 2]
        with pytest.raises(SourceError, match="frame 3"):
            next(ahead)
        with pytest.raises(StopIteration):
            next(ahead)


def test_decode_ahead_passes_a_failure_at_the_first_item():
    def failing_at_once():
        raise SourceError("cannot open x as a video")
        yield  # a generator that fails when first advanced

    with DecodeAhead(failing_at_once()) as ahead:
        with pytest.raises(SourceError, match="cannot open x"):
            next(ahead)


def test_decode_ahead_close_stops_a_blocked_producer():
    source = CountingSource(10**9)
    ahead = DecodeAhead(iter(source), depth=2, name="decode-test")
    next(ahead)
    ahead.close()
    assert source.closed and not decode_threads()
    produced = source.produced
    time.sleep(0.1)
    assert source.produced == produced


# --- one core ----------------------------------------------------------------------------------


def test_one_core_runs_on_the_calling_thread_with_the_same_results(tmp_path):
    lefts, rights = scenes(12), scenes(12, changed={3, 7})
    sequences = (write_sequence(tmp_path / "left", lefts), write_sequence(tmp_path / "right", rights))
    # 25 against 50 frames a second: paired in time, half the right frames skipped.
    videos = (
        write_video(tmp_path / "left.mkv", moments(12, 25), 25),
        write_video(tmp_path / "right.mkv", moments(24, 50), 50),
    )
    for left, right in (sequences, videos):
        helpers_seen = []

        def look(record, view):
            helpers_seen.extend(
                t.name for t in threading.enumerate() if t.name.startswith("quillet-")
            )

        one_core, one_core_records = run(left, right, on_record=look, one_core=True)
        assert helpers_seen == []
        threaded, threaded_records = run(left, right)
        assert one_core_records == threaded_records
        assert (one_core.compared, one_core.identical) == (threaded.compared, threaded.identical)
