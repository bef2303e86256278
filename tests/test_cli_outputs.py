"""Outputs of the quillet command: refusal of outputs that would touch an input, checks made
before any work, atomic writes, a full disk, stop signals, a closed standard output, and the
one-line report of every failure."""

import contextlib
import csv
import io
import json
import os
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from quillet import _signals, cli
from quillet._cli_common import json_text
from quillet._outputs import (
    OutputError,
    PendingFile,
    atomic_output,
    check_outputs,
    save_picture,
)

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")


def quillet_command(*arguments):
    return [sys.executable, "-m", "quillet", *map(str, arguments)]


def run_quillet(*arguments, cwd=None, env=None, **options):
    return subprocess.run(
        quillet_command(*arguments),
        check=False,
        capture_output=True,
        text=True,
        cwd=cwd,
        env=env,
        timeout=180,
        **options,
    )


def assert_one_line_error(result, *fragments):
    assert result.returncode == 2, result.stderr
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quillet: error:"), result.stderr
    for fragment in fragments:
        assert str(fragment) in lines[0]


def snapshot(folder):
    """Every file under ``folder`` with its bytes, to prove that nothing changed."""
    return {
        path.relative_to(folder): path.read_bytes()
        for path in sorted(Path(folder).rglob("*"))
        if path.is_file()
    }


def leftovers(folder):
    """Temporary files left behind by an unfinished write."""
    return sorted(path.name for path in Path(folder).rglob(".*") if path.is_file())


def scene(seed, height=24, width=32):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


@pytest.fixture
def pair(tmp_path):
    """Two different images in a folder of their own."""
    folder = tmp_path / "in"
    folder.mkdir()
    for name, seed in (("left.png", 1), ("right.png", 2)):
        Image.fromarray(scene(seed)).save(folder / name)
    return folder


# --- outputs that would touch an input ------------------------------------------------------


def _spell_same_file(tmp_path, pair):
    return pair / "left.png", pair / "left.png"


def _spell_dot_dot(tmp_path, pair):
    return pair / "left.png", pair / ".." / "in" / "." / "left.png"


def _spell_symlink(tmp_path, pair):
    link = tmp_path / "link.png"
    link.symlink_to(pair / "left.png")
    return pair / "left.png", link


def _spell_symlinked_folder(tmp_path, pair):
    folder_link = tmp_path / "elsewhere"
    folder_link.symlink_to(pair)
    return pair / "left.png", folder_link / "left.png"


def _spell_hard_link(tmp_path, pair):
    link = tmp_path / "hard.png"
    os.link(pair / "left.png", link)
    return pair / "left.png", link


REFUSED_SPELLINGS = {
    "same-path": _spell_same_file,
    "dot-dot": _spell_dot_dot,
    "symlink": _spell_symlink,
    "through-symlinked-folder": _spell_symlinked_folder,
    "hard-link": _spell_hard_link,
}


@pytest.mark.parametrize("spell", REFUSED_SPELLINGS.values(), ids=REFUSED_SPELLINGS.keys())
def test_compare_refuses_a_diff_that_is_an_input(tmp_path, pair, spell):
    left, output = spell(tmp_path, pair)
    before = snapshot(tmp_path)
    result = run_quillet("compare", left, pair / "right.png", "--diff", output)
    assert_one_line_error(result, "refusing to write", output, left)
    assert snapshot(tmp_path) == before


def test_compare_refuses_a_relative_spelling_of_an_input(tmp_path, pair):
    before = snapshot(tmp_path)
    result = run_quillet(
        "compare", "in/left.png", "in/right.png", "--diff", "./in/../in/right.png", cwd=tmp_path
    )
    assert_one_line_error(result, "refusing to write", "in/right.png")
    assert snapshot(tmp_path) == before


VIDEO_REFUSALS = {
    # option, output relative to tmp_path, inputs are the folders in/ and other/
    "csv-inside-input-folder": ("--csv", "in/table.csv"),
    "csv-deep-inside-input-folder": ("--csv", "in/sub/../table.csv"),
    "diff-video-inside-input-folder": ("--diff-video", "other/d.mp4"),
    "diff-dir-is-input-folder": ("--diff-dir", "in"),
    "diff-dir-inside-input-folder": ("--diff-dir", "in/diffs"),
    "diff-dir-holds-input-folder": ("--diff-dir", "."),
}


@pytest.mark.parametrize(("option", "output"), VIDEO_REFUSALS.values(), ids=VIDEO_REFUSALS.keys())
def test_video_refuses_outputs_among_the_inputs(tmp_path, pair, option, output):
    (pair / "sub").mkdir()
    other = tmp_path / "other"
    other.mkdir()
    for name, seed in (("a.png", 3), ("b.png", 4)):
        Image.fromarray(scene(seed)).save(other / name)
    before = snapshot(tmp_path)
    result = run_quillet("video", "in", "other", option, output, cwd=tmp_path)
    assert_one_line_error(result, "refusing to write")
    assert snapshot(tmp_path) == before


def test_glob_input_refuses_an_output_it_would_match(tmp_path, pair):
    with pytest.raises(OutputError, match="matches the input"):
        check_outputs(inputs=[str(pair / "*.png")], outputs=[pair / "new.png"])


@pytest.mark.parametrize(
    ("inputs", "output"),
    [
        (["in/left.png"], "in/left-diff.png"),  # beside an input file, not inside it
        (["in"], "in-diff.png"),  # shares the folder's name as a prefix only
        (["in/*.png"], "in/table.csv"),  # in the glob's folder but not matched
    ],
    ids=["beside-input-file", "name-prefix-of-input-folder", "unmatched-by-glob"],
)
def test_outputs_that_touch_no_input_are_accepted(tmp_path, pair, monkeypatch, inputs, output):
    monkeypatch.chdir(tmp_path)
    check_outputs(inputs=inputs, outputs=[output])


# --- checks before any work -----------------------------------------------------------------


@pytest.fixture
def read_only_folder(tmp_path):
    """A folder that cannot be written: by permissions, or for root by a read-only mount."""
    folder = tmp_path / "locked"
    folder.mkdir()
    if os.geteuid() != 0:
        folder.chmod(0o555)
        yield folder
        folder.chmod(0o755)
        return
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "ro,size=64k", "tmpfs", str(folder)],
        capture_output=True,
        check=False,
    )
    if mounted.returncode != 0:
        pytest.skip("cannot make a read-only folder here")
    yield folder
    subprocess.run(["umount", str(folder)], check=False)


PRECHECK_CASES = {
    "missing-folder": ("missing/d.png", "does not exist"),
    "folder-is-a-file": ("in/left.png/d.png", "is not a folder"),
    "unknown-extension": ("d.xyz", "unknown picture format .xyz"),
    "no-extension": ("d", "unknown picture format"),
    "output-is-a-folder": ("in", "it is a folder"),
}


@pytest.mark.parametrize(("output", "fragment"), PRECHECK_CASES.values(), ids=PRECHECK_CASES.keys())
def test_compare_checks_the_diff_before_reading_inputs(tmp_path, pair, output, fragment):
    before = snapshot(tmp_path)
    # The inputs do not exist: a message about the output shows it was judged first.
    result = run_quillet("compare", "no-left.png", "no-right.png", "--diff", output, cwd=tmp_path)
    assert_one_line_error(result, fragment)
    assert snapshot(tmp_path) == before


def test_compare_refuses_a_read_only_destination(pair, read_only_folder):
    result = run_quillet(
        "compare", pair / "left.png", pair / "right.png", "--diff", read_only_folder / "d.png"
    )
    assert_one_line_error(result, "not writable", read_only_folder)


@pytest.mark.parametrize(
    ("option", "name", "fragment"),
    [
        ("--diff-video", "d.gif", "unknown video format"),
        ("--csv", "missing/t.csv", "does not exist"),
        ("--diff-dir", "in/left.png/sub", "is not a folder"),
    ],
    ids=["video-extension", "csv-folder-missing", "diff-dir-under-a-file"],
)
def test_video_checks_outputs_before_opening_inputs(tmp_path, pair, option, name, fragment):
    result = run_quillet("video", "nothing-a", "nothing-b", option, name, cwd=tmp_path)
    assert_one_line_error(result, fragment)


@pytest.mark.parametrize(
    ("name", "mode", "image_format"),
    [("d.jpg", "RGB", "JPEG"), ("d.png", "RGBA", "PNG"), ("d.tiff", "RGBA", "TIFF")],
)
def test_diff_picture_written_in_the_format_its_name_asks_for(
    tmp_path, pair, name, mode, image_format
):
    result = run_quillet(
        "compare", pair / "left.png", pair / "right.png", "--diff", tmp_path / name
    )
    assert result.returncode == 1, result.stderr
    with Image.open(tmp_path / name) as written:
        assert (written.format, written.mode) == (image_format, mode)
        assert written.size == (32, 24)
    assert leftovers(tmp_path) == []


# --- atomic writes --------------------------------------------------------------------------


class Boom(Exception):
    pass


@pytest.mark.parametrize("existing", [None, b"old contents"], ids=["new", "replacing"])
@pytest.mark.parametrize("failure", [Boom, KeyboardInterrupt], ids=["error", "interrupt"])
def test_failed_write_leaves_the_destination_as_it_was(tmp_path, existing, failure):
    target = tmp_path / "out.bin"
    if existing is not None:
        target.write_bytes(existing)
    with pytest.raises(failure), atomic_output(target, "wb") as stream:
        stream.write(b"half of the ")
        raise failure()
    assert (target.read_bytes() if target.exists() else None) == existing
    assert leftovers(tmp_path) == []


def test_interrupted_write_is_kept_when_asked(tmp_path):
    target = tmp_path / "rows.csv"
    with pytest.raises(KeyboardInterrupt), atomic_output(
        target, "w", keep_on_interrupt=True
    ) as stream:
        stream.write("frame\n0\n")
        raise KeyboardInterrupt
    assert target.read_text() == "frame\n0\n"
    assert leftovers(tmp_path) == []


def test_completed_write_replaces_and_follows_the_umask(tmp_path):
    target = tmp_path / "out.txt"
    target.write_text("old")
    previous = os.umask(0o027)
    try:
        with atomic_output(target, "w") as stream:
            stream.write("new")
            # Until the block ends, the old contents stay in place.
            assert target.read_text() == "old"
    finally:
        os.umask(previous)
    assert target.read_text() == "new"
    assert target.stat().st_mode & 0o777 == 0o640
    assert leftovers(tmp_path) == []


def test_pending_file_keeps_the_extension_and_discards_cleanly(tmp_path):
    pending = PendingFile(tmp_path / "video.mp4")
    assert pending.temp_path.endswith(".mp4") and Path(pending.temp_path).exists()
    pending.discard()
    assert list(tmp_path.iterdir()) == []


def test_save_picture_refuses_an_unknown_format_without_a_file(tmp_path):
    from quillet import compare_with_diff

    _, picture = compare_with_diff(scene(1), scene(2))
    with pytest.raises(OutputError, match="unknown picture format"):
        save_picture(picture, tmp_path / "d.unknown")
    assert list(tmp_path.iterdir()) == []


# --- a full disk ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """Two 160x120 videos of 600 frames of noise (hard to compress, so writes are large)."""
    av = pytest.importorskip("av")
    folder = tmp_path_factory.mktemp("clips")
    for name, seed in (("left.mp4", 1), ("right.mp4", 2)):
        rng = np.random.default_rng(seed)
        with av.open(str(folder / name), "w") as container:
            stream = container.add_stream("mpeg4", rate=25)
            stream.width, stream.height, stream.pix_fmt = 160, 120, "yuv420p"
            for index in range(600):
                frame = av.VideoFrame.from_ndarray(
                    rng.integers(0, 256, (120, 160, 3), dtype=np.uint8), format="rgb24"
                )
                frame.pts = index
                container.mux(stream.encode(frame))
            container.mux(stream.encode(None))
    return folder


@pytest.fixture
def small_disk(tmp_path):
    """A 300 KiB file system (tmpfs; needs root)."""
    folder = tmp_path / "disk"
    folder.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=300k", "tmpfs", str(folder)],
        capture_output=True,
        check=False,
    )
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here (not root?)")
    yield folder
    subprocess.run(["umount", str(folder)], check=False)


def _file_size_limit(size):
    # Writing past the limit then fails with EFBIG (Python ignores SIGXFSZ).
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))


# option, output name, per-file limit small enough for that output to reach it
FULL_DISK_OUTPUTS = {
    "diff-video": ("--diff-video", "d.mp4", 300 * 1024),
    "csv": ("--csv", "t.csv", 512),
    "diff-dir": ("--diff-dir", "pictures", 16 * 1024),
}


@pytest.mark.parametrize("limit", ["tmpfs", "rlimit-fsize"])
@pytest.mark.parametrize(
    ("option", "name", "size_limit"), FULL_DISK_OUTPUTS.values(), ids=FULL_DISK_OUTPUTS.keys()
)
def test_full_disk_ends_with_one_line_naming_the_file(
    tmp_path, clips, request, limit, option, name, size_limit
):
    if limit == "tmpfs":
        folder, options = request.getfixturevalue("small_disk"), {}
        if option == "--csv":
            # A table grows slowly; fill the disk so that it is the one to hit the limit.
            with contextlib.suppress(OSError):
                (folder / "ballast").write_bytes(b"\0" * (296 * 1024))
    else:
        folder, options = tmp_path / "out", {"preexec_fn": _file_size_limit(size_limit)}
        folder.mkdir()
    result = run_quillet(
        "video", clips / "left.mp4", clips / "right.mp4", option, folder / name, **options
    )
    assert result.returncode == 2, (result.returncode, result.stderr)
    assert_one_line_error(result, "cannot write", folder / name)
    assert not (folder / name).exists() or (folder / name).is_dir()
    assert leftovers(folder) == []


# --- stop signals ---------------------------------------------------------------------------


def _wait_for_rows(folder, process, timeout=60.0):
    """Wait until the unfinished table has some rows on disk (it is written under a temp name)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        partial = [path for path in folder.glob(".t.*.partial.csv") if path.stat().st_size > 0]
        if partial:
            return
        if process.poll() is not None:
            pytest.fail(f"quillet ended early: {process.stderr.read()}")
        time.sleep(0.05)
    pytest.fail("the table never started")


STOPS = {
    "SIGTERM": ([signal.SIGTERM], {143}),
    "SIGHUP": ([signal.SIGHUP], {129}),
    "SIGINT": ([signal.SIGINT], {130}),
    # A second Ctrl-C while the files are being finished: the rows and the video survive.
    "SIGTERM-then-SIGINT": ([signal.SIGTERM, signal.SIGINT], {143, 130}),
}


@pytest.mark.integration
@pytest.mark.parametrize(("signals", "statuses"), STOPS.values(), ids=STOPS.keys())
def test_stop_signal_keeps_the_table_and_finishes_the_video(tmp_path, clips, signals, statuses):
    av = pytest.importorskip("av")
    process = subprocess.Popen(
        quillet_command(
            "video",
            clips / "left.mp4",
            clips / "right.mp4",
            "--csv",
            tmp_path / "t.csv",
            "--diff-video",
            tmp_path / "d.mp4",
        ),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        _wait_for_rows(tmp_path, process)
        for number in signals:
            process.send_signal(number)
            time.sleep(0.05)
        _, stderr = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode in statuses, stderr
    assert "Traceback" not in stderr
    assert stderr.strip().splitlines()[-1].startswith("quillet: interrupted")

    lines = (tmp_path / "t.csv").read_text().splitlines()
    if len(signals) == 1:
        assert lines[-1].startswith("# interrupted")
    if lines[-1].startswith("#"):
        lines.pop()
    rows = list(csv.reader(lines[1:]))
    assert lines[0].split(",")[0] == "frame"
    assert [int(row[0]) for row in rows] == list(range(len(rows)))
    assert 0 < len(rows) < 600
    assert all(len(row) == len(rows[0]) for row in rows)

    with av.open(str(tmp_path / "d.mp4")) as video:
        decoded = sum(1 for _ in video.decode(video=0))
    # The picture of the row being written when the signal came may be missing.
    assert len(rows) - 1 <= decoded <= len(rows)
    assert leftovers(tmp_path) == []


@pytest.fixture
def other_thread():
    """A thread that only waits, to receive a signal in place of the main thread."""
    import threading

    stop = threading.Event()
    thread = threading.Thread(target=stop.wait)
    thread.start()
    yield thread
    stop.set()
    thread.join()


@pytest.mark.parametrize("receiver", ["main-thread", "other-thread"])
def test_signals_deferred_holds_a_stop_until_the_block_ends(request, receiver):
    # Decoders run threads of their own; a signal may reach any of them.
    if receiver == "main-thread":
        send = lambda: os.kill(os.getpid(), signal.SIGINT)  # noqa: E731
    else:
        thread = request.getfixturevalue("other_thread")
        send = lambda: signal.pthread_kill(thread.ident, signal.SIGINT)  # noqa: E731
    # Start from Python's own handler (which raises KeyboardInterrupt) even if
    # an earlier, failed test left another one in place, and put that back after.
    handler_before = signal.getsignal(signal.SIGINT)
    if handler_before is not signal.default_int_handler:
        signal.signal(signal.SIGINT, signal.default_int_handler)
        request.addfinalizer(lambda: signal.signal(signal.SIGINT, handler_before))
    reached_end_of_block = False
    with pytest.raises(KeyboardInterrupt):
        with _signals.signals_deferred():
            send()
            for _ in range(50):  # bytecode boundaries, where a handler would run
                time.sleep(0.002)
            reached_end_of_block = True
    assert reached_end_of_block
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


@pytest.mark.parametrize(
    ("signal_number", "status"), [(signal.SIGTERM, 143), (signal.SIGHUP, 129)]
)
def test_termination_signals_raise_interrupted_with_their_status(signal_number, status):
    with pytest.raises(KeyboardInterrupt) as caught:
        with _signals.termination_signals_interrupt():
            os.kill(os.getpid(), signal_number)
            time.sleep(1)
    assert _signals.exit_status(caught.value) == status
    assert signal.getsignal(signal_number) is not _signals._raise_interrupted


# --- standard output, bugs and the core's failures -------------------------------------------


def test_closed_stdout_is_one_line_and_status_2(pair):
    result = subprocess.run(
        quillet_command("compare", pair / "left.png", pair / "right.png"),
        stdout=None,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: os.close(1),
        check=False,
    )
    assert_one_line_error(result, "standard output")


def test_reader_gone_is_one_line_and_status_2(pair):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        result = subprocess.run(
            quillet_command("compare", pair / "left.png", pair / "right.png"),
            stdout=write_end,
            stderr=subprocess.PIPE,
            text=True,
            check=False,
        )
    finally:
        os.close(write_end)
    assert_one_line_error(result, "standard output")


def test_bad_kernel_choice_ends_with_one_error_line(pair):
    env = {**os.environ, "QUILLET_KERNEL": "no-such-kernel"}
    result = run_quillet("compare", pair / "left.png", pair / "right.png", env=env)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    # The core reports its failure first (its own two lines); ours is the last line.
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("quillet: error:") and "QUILLET_KERNEL=no-such-kernel" in last


@pytest.mark.parametrize(
    ("raised", "fragment"),
    [
        (RuntimeError("something\nunexpected"), "internal error: RuntimeError: something unexpected"),
        (MemoryError(), "out of memory"),
        (type("PanicException", (BaseException,), {})("index out of bounds"), "index out of bounds"),
    ],
    ids=["bug", "memory", "panic"],
)
def test_failures_inside_a_command_are_one_line(pair, monkeypatch, capsys, raised, fragment):
    import quillet._cli_compare

    def fail(args):
        raise raised

    monkeypatch.setattr(quillet._cli_compare, "run", fail)
    monkeypatch.delenv("QUILLET_DEBUG", raising=False)
    status = cli.main(["compare", str(pair / "left.png"), str(pair / "right.png")])
    err = capsys.readouterr().err
    assert status == 2
    assert err.count("\n") == 1 and err.startswith("quillet: error:") and fragment in err
    if fragment.startswith("internal error"):
        assert "QUILLET_DEBUG=1" in err


@pytest.mark.parametrize(
    ("arguments", "fragment"),
    [
        (["video", "a", "b", "--every", "two"], "argument --every: expected a whole number, got 'two'"),
        (["video", "a", "b", "--ema", "1.5"], "argument --ema: must be in (0, 1]"),
        (["compare", "a", "b", "--min-psnr", "inf"], "must be a finite number"),
        (["compare", "a", "b", "--max-mse", "nan"], "must be a finite number"),
        (["compare", "a", "b", "--max-pixels", "0"], "must be at least 1"),
        (["frobnicate"], "invalid choice"),
    ],
    ids=["every-word", "ema-range", "infinite-threshold", "nan-threshold", "max-pixels", "command"],
)
def test_argument_errors_are_one_line_without_internal_names(arguments, fragment):
    result = run_quillet(*arguments)
    assert_one_line_error(result, fragment)
    assert "_positive_int" not in result.stderr and "_finite" not in result.stderr


def test_version_comes_from_the_installed_package():
    from importlib.metadata import version

    result = run_quillet("--version")
    assert result.returncode == 0
    assert result.stdout.strip() == f"quillet {version('quillet')}"


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ({"psnr": float("inf")}, {"psnr": None}),
        ({"values": [float("nan"), 1.5, -float("inf")]}, {"values": [None, 1.5, None]}),
        ({"nested": {"ssim": 0.5}}, {"nested": {"ssim": 0.5}}),
    ],
    ids=["infinite", "nan-in-list", "finite-untouched"],
)
def test_json_is_strict(value, expected):
    text = json_text(value)
    assert "Infinity" not in text and "NaN" not in text
    assert json.loads(text) == expected


def test_compare_json_parses_strictly(pair):
    result = run_quillet("compare", pair / "left.png", pair / "left.png", "--json")
    assert result.returncode == 0

    def refuse(constant):
        raise ValueError(constant)

    report = json.loads(result.stdout, parse_constant=refuse)
    assert report["identical"] is True and report["passed"] is True


def test_diff_video_of_odd_size_plays(tmp_path):
    av = pytest.importorskip("av")
    from fractions import Fraction

    from quillet import compare_with_diff
    from quillet._diff_writers import DiffVideoWriter

    with DiffVideoWriter(str(tmp_path / "d.mkv"), Fraction(10)) as writer:
        for index in range(5):
            _, picture = compare_with_diff(scene(index, 23, 31), scene(index + 9, 23, 31))
            writer.write(index, picture)
        assert not (tmp_path / "d.mkv").exists()  # unfinished, still under its temp name
    with av.open(str(tmp_path / "d.mkv")) as video:
        frames = list(video.decode(video=0))
    assert len(frames) == 5 and (frames[0].width, frames[0].height) == (32, 24)
    assert leftovers(tmp_path) == []


def test_diff_video_abandoned_on_error_leaves_nothing(tmp_path):
    pytest.importorskip("av")
    from fractions import Fraction

    from quillet import compare_with_diff
    from quillet._diff_writers import DiffVideoWriter

    _, small = compare_with_diff(scene(1, 8, 8), scene(2, 8, 8))
    _, large = compare_with_diff(scene(1, 16, 16), scene(2, 16, 16))
    with pytest.raises(OutputError, match="frame 1 is 16x16 but the video is 8x8"):
        with DiffVideoWriter(str(tmp_path / "d.mp4"), Fraction(10)) as writer:
            writer.write(0, small)
            writer.write(1, large)
    assert list(tmp_path.iterdir()) == []


def test_stdout_table_and_summary_stay_apart(tmp_path, pair):
    result = run_quillet("video", pair, pair, "--csv", "-")
    assert result.returncode == 0, result.stderr
    table = list(csv.reader(io.StringIO(result.stdout)))
    assert table[0][0] == "frame" and len(table) == 3
    assert "result: identical" in result.stderr


@pytest.mark.parametrize("command", ["compare", "video"])
def test_max_pixels_refuses_larger_pictures_naming_the_file(pair, command):
    left, right = (pair / "left.png", pair / "right.png")
    if command == "video":
        left, right = pair, pair
    refused = run_quillet(command, left, right, "--max-pixels", 32 * 24 - 1)
    assert_one_line_error(refused, "left.png")
    accepted = run_quillet(command, left, right, "--max-pixels", 32 * 24)
    assert accepted.returncode in (0, 1), accepted.stderr


def test_output_through_a_symlink_replaces_its_target_and_keeps_the_link(tmp_path):
    elsewhere = tmp_path / "runs"
    elsewhere.mkdir()
    (elsewhere / "42.csv").write_text("old")
    link = tmp_path / "latest.csv"
    link.symlink_to(elsewhere / "42.csv")
    with atomic_output(link, "w") as stream:
        stream.write("new")
    assert link.is_symlink() and (elsewhere / "42.csv").read_text() == "new"
    assert leftovers(tmp_path) == []


def test_device_output_is_written_in_place(tmp_path, pair):
    # Replacing /dev/null with a regular file (as root) would break the whole system.
    result = run_quillet("video", pair, pair, "--csv", os.devnull)
    assert result.returncode == 0, result.stderr
    assert Path(os.devnull).is_char_device()
    pending = PendingFile(os.devnull)
    assert pending.temp_path == os.devnull
    pending.commit()
    assert Path(os.devnull).is_char_device()


def test_warnings_during_a_command_are_one_line(pair):
    # A library warning (Pillow's, PyAV's) must not print its source line under ours.
    code = (
        "import sys, warnings\n"
        "import quillet._cli_compare as body\n"
        "from quillet.cli import main\n"
        "def run(args):\n"
        "    warnings.warn('this picture is suspiciously large', UserWarning)\n"
        "    return 0\n"
        "body.run = run\n"
        f"sys.exit(main(['compare', {str(pair / 'left.png')!r}, {str(pair / 'right.png')!r}]))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=False
    )
    assert result.returncode == 0
    assert result.stderr == "quillet: warning: this picture is suspiciously large\n"
