"""The quillet command end to end, run as a separate process: exit statuses, JSON, CSV, image
sequences, videos (when PyAV is installed) and the demo; and the progress line it draws."""

import csv
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
import quillet
from quillet._progress import Progress, should_draw

np = pytest.importorskip("numpy")
Image = pytest.importorskip("PIL.Image")


def run_quillet(*arguments, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "quillet", *map(str, arguments)],
        check=False,
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
    )


def assert_one_line_error(result, fragment):
    assert result.returncode == 2
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quillet: error:")
    assert fragment in lines[0]


def save_png(path, array):
    Image.fromarray(array).save(path)
    return path


def scene(seed, height=24, width=32):
    return np.random.default_rng(seed).integers(
        0, 256, (height, width, 3), dtype=np.uint8
    )


@pytest.fixture
def images(tmp_path):
    """A reference image, a copy, a slightly changed and a strongly changed version."""
    base = scene(1)
    slight = base.copy()
    slight[0, 0] = base[0, 0] ^ 0x01  # one pixel, one bit
    strong = base.copy()
    strong[4:12, 4:12] = 255 - strong[4:12, 4:12]
    return {
        name: save_png(tmp_path / f"{name}.png", array)
        for name, array in (
            ("base", base),
            ("copy", base),
            ("slight", slight),
            ("strong", strong),
        )
    }


# --- compare --------------------------------------------------------------------------------

EXIT_CASES = {
    "identical": ("copy", [], 0),
    "identical-despite-threshold": ("copy", ["--min-psnr", "1000"], 0),
    "different-without-thresholds": ("slight", [], 1),
    "slight-within-psnr": ("slight", ["--min-psnr", "60"], 0),
    "slight-within-all": (
        "slight",
        ["--min-psnr", "60", "--max-mse", "1", "--min-ssim", "0.99", "--max-diff", "3"],
        0,
    ),
    "strong-outside-psnr": ("strong", ["--min-psnr", "30"], 1),
    "strong-outside-max-diff-only": (
        "strong",
        ["--min-psnr", "0", "--max-diff", "1000"],
        1,
    ),
    "strong-outside-ssim": ("strong", ["--min-ssim", "0.999"], 1),
}


@pytest.mark.parametrize(
    ("other", "options", "status"), EXIT_CASES.values(), ids=EXIT_CASES.keys()
)
def test_compare_exit_status(images, other, options, status):
    result = run_quillet("compare", images["base"], images[other], *options)
    assert result.returncode == status, result.stderr
    assert "ssim" in result.stdout and "psnr" in result.stdout


def test_compare_json_reports_figures_sizes_and_verdict(images, tmp_path):
    diff = tmp_path / "diff.png"
    result = run_quillet(
        "compare",
        images["base"],
        images["strong"],
        "--json",
        "--max-mse",
        "1",
        "--diff",
        diff,
    )
    assert result.returncode == 1
    report = json.loads(result.stdout)
    expected = quillet.compare(images["base"], images["strong"])
    assert {
        name: report[name] for name in quillet.Metrics._fields
    } == expected._asdict()
    assert (report["width"], report["height"]) == (32, 24)
    assert (report["compared_width"], report["compared_height"]) == (32, 24)
    assert report["identical"] is False
    assert report["passed"] is False
    assert report["thresholds"] == {"max_mse": 1.0}
    assert len(report["failed"]) == 1 and "mse" in report["failed"][0]
    assert report["diff"] == str(diff)


def test_compare_writes_the_difference_picture(images, tmp_path):
    diff = tmp_path / "diff.png"
    result = run_quillet("compare", images["base"], images["strong"], "--diff", diff)
    assert result.returncode == 1
    with Image.open(diff) as picture:
        assert (picture.mode, picture.size) == ("RGBA", (32, 24))
        pixels = np.asarray(picture)
    _, expected = quillet.compare_with_diff(images["base"], images["strong"])
    np.testing.assert_array_equal(pixels, expected.to_array())


def test_compare_reports_the_reduced_size(tmp_path):
    big = np.zeros((721, 1280, 3), np.uint8)
    left = save_png(tmp_path / "left.png", big)
    result = run_quillet("compare", left, left, "--json")
    report = json.loads(result.stdout)
    assert (report["compared_width"], report["compared_height"]) == (1278, 720)


def test_compare_errors_are_one_line(images, tmp_path):
    junk = tmp_path / "junk.png"
    junk.write_bytes(b"definitely not a picture")
    small = save_png(tmp_path / "small.png", scene(2, 10, 10))
    assert_one_line_error(
        run_quillet("compare", images["base"], tmp_path / "nope.png"), "no such file"
    )
    unreadable = run_quillet("compare", images["base"], junk)
    assert_one_line_error(unreadable, "cannot identify the file as an image")
    assert unreadable.stderr.count("junk.png") == 1, unreadable.stderr
    assert_one_line_error(run_quillet("compare", images["base"], small), "32x24")
    assert_one_line_error(run_quillet("compare", images["base"], tmp_path), "folder")
    assert_one_line_error(
        run_quillet(
            "compare",
            images["base"],
            images["strong"],
            "--diff",
            tmp_path / "x" / "d.png",
        ),
        "cannot write",
    )


def test_usage_errors_are_one_line_pointing_to_help(images):
    result = run_quillet("compare", images["base"])
    assert_one_line_error(result, "RIGHT")
    assert "quillet compare --help" in result.stderr


@pytest.mark.parametrize(
    ("command", "expected"),
    [
        ([], ["compare", "video", "demo", "exit status"]),
        (
            ["compare"],
            ["--diff", "--json", "--min-psnr", "--max-mse", "--min-ssim", "--max-diff"],
        ),
        (
            ["video"],
            ["--ema", "--csv", "--diff-dir", "--diff-video", "--every", "glob"],
        ),
        (["demo"], ["--out"]),
    ],
    ids=["top", "compare", "video", "demo"],
)
def test_help_describes_every_option(command, expected):
    result = run_quillet(*command, "--help")
    assert result.returncode == 0
    for word in expected:
        assert word in result.stdout


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("quillet")
    if not script.exists():
        pytest.skip("no console script beside this interpreter")
    result = subprocess.run(
        [script, "--help"], check=False, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0 and "quillet compare" in result.stdout


# --- video over image sequences ----------------------------------------------------------


def frames(count, seed=3, changed=()):
    """count frames of a moving pattern; the frames listed in changed get a bright square."""
    rng = np.random.default_rng(seed)
    out = []
    for index in range(count):
        frame = np.roll(
            rng.integers(0, 256, (16, 20, 3), dtype=np.uint8), index, axis=1
        )
        if index in changed:
            frame[2:8, 2:8] = 255
        out.append(frame)
    return out


def write_sequence(folder, arrays, pattern="frame{}.png"):
    folder.mkdir()
    for index, array in enumerate(arrays):
        save_png(folder / pattern.format(index), array)
    return folder


def read_csv(path):
    with open(path, newline="") as file:
        return list(csv.reader(file))


def test_video_on_folders_writes_one_csv_row_per_frame(tmp_path):
    lefts, rights = frames(12), frames(12, changed={3, 10})
    left = write_sequence(tmp_path / "left", lefts)
    right = write_sequence(tmp_path / "right", rights)
    table = tmp_path / "figures.csv"
    result = run_quillet("video", left, right, "--csv", table)
    assert result.returncode == 1, result.stderr
    rows = read_csv(table)
    assert rows[0] == [
        "frame", "left_time", "right_index", "right_time", "ssim", "psnr", "mse", "max_diff"
    ]
    # Natural name order: frame10.png comes after frame9.png. Sequences pair by index and
    # have no times.
    assert [(int(row[0]), row[1], int(row[2]), row[3]) for row in rows[1:]] == [
        (k, "", k, "") for k in range(12)
    ]
    with quillet.FrameComparer() as comparer:
        expected = [comparer.compare(a, b) for a, b in zip(lefts, rights, strict=True)]
    assert [tuple(map(float, row[4:])) for row in rows[1:]] == [
        tuple(m) for m in expected
    ]
    assert (
        "worst frames by psnr: 3" in result.stdout
        or "worst frames by psnr: 10" in result.stdout
    )
    assert "identical frames: 10 of 12" in result.stdout


def test_video_smoothing_is_applied_across_frames(tmp_path):
    lefts, rights = frames(4), frames(4, changed={1})
    left = write_sequence(tmp_path / "left", lefts)
    right = write_sequence(tmp_path / "right", rights)
    result = run_quillet("video", left, right, "--ema", "0.5", "--csv", "-")
    rows = list(csv.reader(io.StringIO(result.stdout)))[1:]
    assert (
        len(rows) == 4 and "frame pairs compared" in result.stderr
    )  # summary kept off the table
    with quillet.FrameComparer(ema_alpha=0.5) as comparer:
        expected = [comparer.compare(a, b) for a, b in zip(lefts, rights, strict=True)]
    assert [float(row[7]) for row in rows] == [m.max_diff for m in expected]
    assert (
        float(rows[2][7]) > 0 and float(rows[2][6]) == 0.0
    )  # smoothed leftover (max_diff), no raw change (mse)


def test_video_on_globs_with_every(tmp_path):
    left = write_sequence(tmp_path / "left", frames(7), "a_{}.png")
    right = write_sequence(tmp_path / "right", frames(7), "b_{}.png")
    diffs = tmp_path / "diffs"
    result = run_quillet(
        "video",
        f"{left}/a_*.png",
        f"{right}/b_*.png",
        "--every",
        "3",
        "--csv",
        "-",
        "--diff-dir",
        diffs,
    )
    assert result.returncode == 0, result.stderr
    indices = [line.split(",")[0] for line in result.stdout.splitlines()[1:]]
    assert indices == ["0", "3", "6"]
    assert sorted(path.name for path in diffs.iterdir()) == [
        "frame_000000.png",
        "frame_000003.png",
        "frame_000006.png",
    ]
    assert "result: identical" in result.stderr
    assert "\r" not in result.stderr  # no progress line when not on a terminal


def test_video_thresholds_apply_to_every_frame(tmp_path):
    left = write_sequence(tmp_path / "left", frames(5))
    right = write_sequence(tmp_path / "right", frames(5, changed={4}))
    assert run_quillet("video", left, right, "--min-psnr", "5").returncode == 0
    result = run_quillet("video", left, right, "--min-psnr", "30")
    assert result.returncode == 1
    assert "1 of 5 frame pairs outside the thresholds" in result.stdout


def test_video_with_different_lengths_compares_the_common_part(tmp_path):
    left = write_sequence(tmp_path / "left", frames(5))
    right = write_sequence(tmp_path / "right", frames(3))
    result = run_quillet("video", left, right, "--csv", "-")
    assert result.returncode == 1
    assert "has 5 frames" in result.stderr and "has 3" in result.stderr
    assert [row[0] for row in csv.reader(io.StringIO(result.stdout))] == [
        "frame",
        "0",
        "1",
        "2",
    ]
    assert "3 frame pairs compared" in result.stderr
    assert "result: different lengths" in result.stderr


def test_video_errors_are_one_line(tmp_path):
    left = write_sequence(tmp_path / "left", frames(2))
    small = write_sequence(tmp_path / "small", [scene(1, 8, 8)] * 2)
    empty = tmp_path / "empty"
    empty.mkdir()
    assert_one_line_error(run_quillet("video", left, small), "20x16")
    assert_one_line_error(run_quillet("video", left, empty), "holds no images")
    assert_one_line_error(
        run_quillet("video", left, tmp_path / "none_*.png"), "no files match"
    )
    assert_one_line_error(
        run_quillet("video", left, tmp_path / "missing.mp4"), "no such file"
    )


# --- video files (PyAV) -------------------------------------------------------------------


def write_video(path, arrays, rate=10):
    """A lossless video (PNG frames in a QuickTime file) that decodes to exactly these arrays."""
    av = pytest.importorskip("av")
    with av.open(str(path), "w") as container:
        stream = container.add_stream("png", rate=rate)
        stream.width, stream.height = arrays[0].shape[1], arrays[0].shape[0]
        stream.pix_fmt = "rgb24"
        for array in arrays:
            container.mux(
                stream.encode(av.VideoFrame.from_ndarray(array, format="rgb24"))
            )
        container.mux(stream.encode(None))
    return path


def test_video_files_are_decoded_and_compared(tmp_path):
    av = pytest.importorskip("av")
    # An odd width exercises the decoder's row padding and the padding of the diff video.
    lefts = [np.ascontiguousarray(f[:, :19]) for f in frames(6)]
    rights = [np.ascontiguousarray(f[:, :19]) for f in frames(6, changed={2})]
    left = write_video(tmp_path / "left.mov", lefts)
    right = write_video(tmp_path / "right.mov", rights)
    diff_video = tmp_path / "diff.mp4"
    table = tmp_path / "figures.csv"
    result = run_quillet(
        "video", left, right, "--csv", table, "--diff-video", diff_video
    )
    assert result.returncode == 1, result.stderr
    rows = read_csv(table)[1:]
    expected = [quillet.compare(a, b) for a, b in zip(lefts, rights, strict=True)]
    assert [tuple(map(float, row[4:])) for row in rows] == [tuple(m) for m in expected]
    with av.open(str(diff_video)) as container:
        decoded = list(container.decode(video=0))
    assert len(decoded) == 6
    assert (decoded[0].width, decoded[0].height) == (20, 16)

    same = run_quillet("video", left, tmp_path / "left.mov")
    assert same.returncode == 0 and "identical frames: 6 of 6" in same.stdout


def test_unreadable_video_is_a_one_line_error(tmp_path):
    pytest.importorskip("av")
    fake = tmp_path / "fake.mp4"
    fake.write_text("not a video")
    left = write_video(tmp_path / "left.mov", frames(2))
    assert_one_line_error(run_quillet("video", left, fake), "cannot open")


# --- demo ---------------------------------------------------------------------------------


def test_demo_writes_its_picture(tmp_path):
    result = run_quillet("demo", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with Image.open(tmp_path / "quillet-demo-diff.png") as picture:
        assert picture.mode == "RGBA"
        pixels = np.asarray(picture)
    assert (pixels == (255, 0, 0, 255)).all(axis=2).any()  # the largest difference
    assert "psnr" in result.stdout
    target = tmp_path / "pictures" / "demo.png"
    target.parent.mkdir()
    assert run_quillet("demo", "--out", target).returncode == 0
    assert target.stat().st_size > 0


@pytest.mark.parametrize(
    "arguments", [["--help"], ["compare", "--help"], ["video", "--help"]], ids=str
)
def test_help_imports_no_subcommand_body_and_no_optional_library(arguments):
    code = (
        "import sys\n"
        "from quillet.cli import main\n"
        "try:\n"
        f"    main({arguments!r})\n"
        "except SystemExit:\n"
        "    pass\n"
        "heavy = ('quillet._cli_compare', 'quillet._cli_video', 'quillet._cli_demo',\n"
        "         'quillet._sources', 'PIL', 'av', 'numpy')\n"
        "print('loaded:', sorted(name for name in heavy if name in sys.modules))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    assert result.stdout.strip().endswith("loaded: []")


# --- progress line ------------------------------------------------------------------------


class FakeClock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def test_progress_draws_a_bar_with_counts_and_erases_it():
    stream, clock = io.StringIO(), FakeClock()
    progress = Progress(
        10, label="comparing", stream=stream, enabled=True, clock=clock, width=60
    )
    for _ in range(3):
        clock.now += 0.5
        progress.update()
    line = stream.getvalue().split("\r")[-1]
    assert line.startswith("comparing [")
    assert "3/10" in line and "30%" in line and "2.0/s" in line and "eta 0:03" in line
    assert len(line) <= 59
    progress.close()
    assert stream.getvalue().endswith("\r")
    assert stream.getvalue().split("\r")[-2].strip() == ""


def test_progress_is_silent_when_disabled():
    stream = io.StringIO()  # not a terminal
    progress = Progress(5, stream=stream)
    progress.update(5)
    progress.close()
    assert stream.getvalue() == ""


def test_progress_never_shows_a_negative_eta_when_the_length_was_underestimated():
    stream, clock = io.StringIO(), FakeClock()
    progress = Progress(4, stream=stream, enabled=True, clock=clock, width=80)
    for _ in range(9):
        clock.now += 1.0
        progress.update()
    line = progress.line()
    assert "9 frames" in line and "-" not in line and "eta" not in line


@pytest.fixture
def terminals():
    """Two pseudo-terminals, opened as text streams, and a plain file."""
    opened = []

    def terminal():
        main_end, other_end = os.openpty()
        opened.append(main_end)
        stream = open(other_end, "w", closefd=True)
        opened.append(stream)
        return stream

    first, second = terminal(), terminal()
    plain = io.StringIO()
    yield {"tty": first, "same-tty": first, "other-tty": second, "file": plain}
    for item in opened:
        if isinstance(item, int):
            os.close(item)
        else:
            item.close()


@pytest.mark.parametrize(
    ("stderr", "stdout", "table_on_stdout", "expected"),
    [
        ("tty", "same-tty", False, True),
        ("tty", "same-tty", True, False),  # rows on the screen: no carriage returns among them
        ("tty", "other-tty", True, True),
        ("tty", "file", True, True),  # table redirected to a file
        ("file", "tty", False, False),  # standard error redirected
    ],
    ids=["summary-only", "table-on-same-terminal", "table-on-other-terminal",
         "table-to-file", "stderr-redirected"],
)
def test_progress_is_drawn_only_where_it_mixes_with_nothing(
    terminals, stderr, stdout, table_on_stdout, expected
):
    assert should_draw(
        table_on_stdout=table_on_stdout, stdout=terminals[stdout], stderr=terminals[stderr]
    ) is expected
