"""``quillet video`` end to end, run as a separate process on generated clips: pairing in time
in the table and the summary, the exit statuses, one-line refusals that leave no output behind,
and a run stopped by a signal that keeps its table and its difference video."""

import csv
import signal
import subprocess
import sys
import time

import pytest
from video_clips import moments, picture, write_sequence, write_video

av = pytest.importorskip("av")
np = pytest.importorskip("numpy")

COLUMNS = ["frame", "left_time", "right_index", "right_time", "ssim", "psnr", "mse", "max_diff"]


def quillet(*arguments, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "quillet", "video", *map(str, arguments)],
        check=False,
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
    )


def table(path):
    with open(path, newline="") as file:
        return list(csv.reader(file))


def assert_one_line_error(result, *fragments):
    assert result.returncode == 2, result.stdout + result.stderr
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quillet: error:"), result.stderr
    for fragment in fragments:
        assert fragment in lines[0]


@pytest.fixture
def clips(tmp_path):
    return {
        "25": write_video(tmp_path / "slow.mkv", moments(10, 25), 25),
        "50": write_video(tmp_path / "fast.mkv", moments(20, 50), 50),
        "dropped": write_video(tmp_path / "dropped.mkv", moments(10, 25, leave_out={4}), 25),
    }


def test_table_and_summary_show_the_pairing_in_time(clips, tmp_path):
    out = tmp_path / "pairs.csv"
    result = quillet(clips["25"], clips["50"], "--csv", out)
    assert result.returncode == 0, result.stderr
    rows = table(out)
    assert rows[0] == COLUMNS
    assert [(int(r[0]), int(r[2])) for r in rows[1:]] == [(k, 2 * k) for k in range(10)]
    assert [float(r[1]) for r in rows[1:]] == pytest.approx([k / 25 for k in range(10)])
    assert all(float(r[5]) == 100.0 for r in rows[1:])
    assert "paired by presentation time: 0 right frames repeated, 10 skipped" in result.stdout
    assert "result: identical" in result.stdout


@pytest.mark.parametrize(
    ("left", "right", "extra", "status", "expected"),
    [
        ("50", "25", [], 1, "10 right frames repeated, 0 skipped"),
        ("25", "dropped", [], 1, "1 right frames repeated, 0 skipped"),
        ("dropped", "25", [], 0, "0 right frames repeated, 1 skipped"),
        ("25", "50", ["--pair", "index"], 1, "lengths differ"),
        ("25", "dropped", ["--pair", "index"], 1, "drop"),
    ],
    ids=["50-vs-25", "dropped-right", "dropped-left", "index-rates-differ", "index-dropped"],
)
def test_exit_status_and_counts(clips, left, right, extra, status, expected):
    result = quillet(clips[left], clips[right], *extra)
    assert result.returncode == status, result.stdout + result.stderr
    assert expected in result.stdout


def test_fps_lets_a_sequence_pair_in_time_with_a_video(clips, tmp_path):
    folder = write_sequence(tmp_path / "seq", [picture(m) for m in moments(10, 25)])
    without = quillet(folder, clips["50"])
    assert without.returncode == 1 and "paired by index" in without.stdout
    with_rate = quillet(folder, clips["50"], "--fps", "25", "--csv", "-")
    assert with_rate.returncode == 0, with_rate.stderr
    assert "paired by presentation time" in with_rate.stderr  # summary beside the table
    assert [row.split(",")[2] for row in with_rate.stdout.splitlines()[1:]] == [
        str(2 * k) for k in range(10)
    ]
    assert_one_line_error(quillet(folder, clips["50"], "--pair", "time"), "--fps", "seq")


@pytest.mark.parametrize("value", ["0", "-25", "inf", "nan", "fast"])
def test_bad_fps_is_a_usage_error(clips, value):
    result = quillet(clips["25"], clips["50"], "--fps", value)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert "--fps" in result.stderr


def broken_video(tmp_path):
    rng = np.random.default_rng(7)
    noise = lambda moment, width, height: rng.integers(0, 256, (height, width, 3), np.uint8)  # noqa: E731
    good = write_video(tmp_path / "good.mov", moments(10, 25), 25, codec="png", frame_maker=noise)
    data = good.read_bytes()
    middle = len(data) // 2
    broken = tmp_path / "broken.mov"
    broken.write_bytes(data[:middle] + bytes(2000) + data[middle + 2000 :])
    return good, broken


@pytest.mark.parametrize(
    ("case", "fragments"),
    [
        ("text", ["notes.txt", "cannot open"]),
        ("sizes", ["small.mkv is 32x24", "slow.mkv is 64x48"]),
        ("decode", ["broken.mov", "at frame"]),
        ("max-pixels", ["slow.mkv", "more than the limit of 100"]),
    ],
)
def test_bad_inputs_are_one_line_errors_without_outputs(clips, tmp_path, case, fragments):
    left, right, extra = clips["25"], None, []
    if case == "text":
        right = tmp_path / "notes.txt"
        right.write_text("frame one\nframe two\n")
    elif case == "sizes":
        right = write_video(tmp_path / "small.mkv", moments(10, 25), 25, size=(32, 24))
    elif case == "decode":
        left, right = broken_video(tmp_path)
    else:
        right, extra = clips["50"], ["--max-pixels", "100"]
    before = {path: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()}
    result = quillet(
        left, right, "--csv", tmp_path / "out.csv", "--diff-video", tmp_path / "d.mp4", *extra
    )
    assert_one_line_error(result, *fragments)
    after = {path: path.read_bytes() for path in tmp_path.iterdir() if path.is_file()}
    assert after == before  # inputs untouched, no output or temporary file left


@pytest.mark.integration
@pytest.mark.parametrize("signal_number", [signal.SIGTERM, signal.SIGINT, signal.SIGHUP])
def test_a_stopped_run_keeps_its_rows_and_a_playable_difference_video(tmp_path, signal_number):
    left = write_video(tmp_path / "left.mkv", moments(3000, 50), 50)
    right = write_video(
        tmp_path / "right.mkv",
        moments(3000, 50),
        50,
        frame_maker=lambda moment, w, h: 255 - picture(moment, w, h),
    )
    out, diff = tmp_path / "pairs.csv", tmp_path / "diff.mkv"
    process = subprocess.Popen(
        [sys.executable, "-m", "quillet", "video", left, right, "--csv", out, "--diff-video", diff],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    # Wait until the table (still under its temporary name) holds a few hundred rows.
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        partial = [p for p in tmp_path.iterdir() if p.name.startswith(".pairs.")]
        if partial and partial[0].stat().st_size > 20_000:
            break
        time.sleep(0.02)
    process.send_signal(signal_number)
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 128 + signal_number, stderr
    assert "Traceback" not in stderr
    rows = table(out)
    name = signal.Signals(signal_number).name
    reason = "Ctrl-C" if signal_number == signal.SIGINT else name
    compared = len(rows) - 2
    assert rows[-1] == [f"# interrupted ({reason}) after {compared} compared frame pairs"]
    assert 0 < compared < 3000
    assert [int(row[0]) for row in rows[1:-1]] == list(range(compared))
    assert f"result: interrupted ({reason}) after {compared} frame pairs" in stdout
    with av.open(str(diff)) as container:
        assert sum(1 for _ in container.decode(video=0)) == compared
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]


def test_standard_figures_add_columns_and_bounds(clips, tmp_path):
    pytest.importorskip("quillet._measure")
    out = tmp_path / "pairs.csv"
    result = quillet(clips["50"], clips["25"], "--standard", "--csv", out)
    rows = table(out)
    standard = ["psnr_rgb", "psnr_r", "psnr_g", "psnr_b", "ssim_rgb", "ssim_r", "ssim_g"]
    assert rows[0] == COLUMNS + [*standard, "ssim_b", "ssim_y"]
    # Identical pairs have an infinite standard PSNR, written as inf.
    assert rows[1][8] == "inf" and float(rows[2][8]) < 100
    assert "psnr_rgb" in result.stdout and result.returncode == 1
    # A bound on a standard figure computes them without --standard, and decides the status.
    lenient = quillet(clips["50"], clips["25"], "--min-psnr-rgb", "5", "--min-psnr", "0")
    strict = quillet(clips["50"], clips["25"], "--min-psnr-rgb", "90", "--min-psnr", "0")
    assert (lenient.returncode, strict.returncode) == (0, 1), lenient.stderr + strict.stderr
    assert "outside the thresholds" in strict.stdout
