"""quillet batch: manifests, fingerprints, verdicts, and runs on real Dask clusters (a local one,
and a scheduler with two workers started as separate processes), including resumed runs, a
worker killed in the middle and Ctrl-C."""

import contextlib
import functools
import http.server
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
av = pytest.importorskip("av")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("pyarrow.compute")
pytest.importorskip("pyarrow.csv")
distributed = pytest.importorskip("distributed")
Image = pytest.importorskip("PIL.Image")

from quillet._locations import LocationError, fingerprint
from quillet._video import VideoOptions, compare_videos
from quillet.batch import (
    BatchPair,
    ManifestError,
    Thresholds,
    batch_status,
    pair_verdict,
    read_manifest,
    run_batch,
)
from quillet.cli import main

WIDTH, HEIGHT = 64, 48
QUILLET = [sys.executable, "-m", "quillet"]


# --- inputs ------------------------------------------------------------------------------


def scene(index, width=WIDTH, height=HEIGHT, seed=0):
    """A frame that differs from its neighbours: noise plus a bar that moves."""
    rng = np.random.default_rng(seed * 1000 + index)
    array = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    array[:, (index * 3) % width] = 255
    return array


def write_video(path, arrays, rate=10):
    with av.open(str(path), "w") as container:
        stream = container.add_stream("mpeg4", rate=rate)
        stream.height, stream.width = arrays[0].shape[:2]
        stream.pix_fmt = "yuv420p"
        for array in arrays:
            container.mux(
                stream.encode(av.VideoFrame.from_ndarray(array, format="rgb24"))
            )
        container.mux(stream.encode(None))
    return path


def write_folder(folder, arrays):
    folder.mkdir()
    for index, array in enumerate(arrays):
        Image.fromarray(array).save(folder / f"frame{index}.png")
    return folder


def write_manifest(path, rows, header="left,right,name"):
    path.write_text("\n".join([header, *(",".join(row) for row in rows)]) + "\n")
    return path


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Generated pairs: equal and differing clips, a shorter clip, image folders, a corrupt file."""
    folder = tmp_path_factory.mktemp("inputs")
    frames = [scene(index) for index in range(8)]
    changed = [array.copy() for array in frames]
    changed[4][10:30, 10:40] = 0
    write_video(folder / "ref.mp4", frames)
    write_video(folder / "enc.mp4", changed)
    write_video(folder / "short.mp4", frames[:5])
    write_folder(folder / "left_images", frames[:4])
    write_folder(folder / "right_images", [frames[0], frames[1], changed[4], frames[3]])
    write_video(folder / "large.mp4", [scene(index, 96, 64) for index in range(8)])
    (folder / "corrupt.mp4").write_bytes(b"\x00\x00\x00\x18ftypmp42" + os.urandom(4000))
    return folder


@pytest.fixture(scope="module")
def client():
    """A local cluster of two single-threaded worker processes, shared by this module's tests."""
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            scheduler_kwargs={"dashboard": False},
            host="127.0.0.1",
        ) as cluster,
        distributed.Client(cluster) as connected,
    ):
        yield connected


def frames_table(results, name):
    return pq.read_table(Path(results) / "frames" / f"{name}.parquet")


def engine_rows(left, right, options=None):
    """What the engine behind ``quillet video`` records for a pair, as frame-table rows."""
    options = options if options is not None else VideoOptions()
    rows = []

    def record(item, view):
        rows.append(
            {
                "frame": item.frame,
                "left_time": item.left_time,
                "right_index": item.right_index,
                "right_time": item.right_time,
                "identical": item.identical,
                **item.metrics._asdict(),
                **(item.standard._asdict() if item.standard is not None else {}),
            }
        )

    compare_videos(str(left), str(right), options, on_record=record)
    return rows


def temporaries(results):
    return [path.name for path in Path(results).rglob("*") if ".partial" in path.name]


# --- manifests ------------------------------------------------------------------------------


BAD_MANIFESTS = {
    "missing right column": ("left,name\na.mp4,x\n", ["line 1", "missing: right"]),
    "unknown column": (
        "left,right,nmae\nref.mp4,enc.mp4,x\n",
        ["line 1", "unknown: nmae"],
    ),
    "empty file": ("", ["line 1", "empty"]),
    "header only": ("left,right\n", ["line 1", "no pairs"]),
    "too few cells": (
        "left,right,name\nref.mp4,enc.mp4,a\nref.mp4\n",
        ["line 3", "expected 3 columns"],
    ),
    "empty location": ("left,right\nref.mp4,\n", ["line 2", "no right location"]),
    "duplicate name": (
        "left,right,name\nref.mp4,enc.mp4,a\nref.mp4,ref.mp4,b\nenc.mp4,ref.mp4,A\n",
        ["line 4", "duplicate name 'A' (first on line 2)"],
    ),
    "duplicate default name": (
        "left,right\nref.mp4,enc.mp4\n./ref.mp4,enc.mp4\n",
        ["line 3", "duplicate name 'ref-vs-enc'"],
    ),
    "name leaving the results": (
        "left,right,name\nref.mp4,enc.mp4,../escape\n",
        ["line 2", "may use only"],
    ),
    "hidden name": (
        "left,right,name\nref.mp4,enc.mp4,.x\n",
        ["line 2", "may not start with '.'"],
    ),
    "missing location": (
        "left,right\nref.mp4,enc.mp4\nref.mp4,missing.mp4\n",
        ["line 3", "no such file or folder", "missing.mp4"],
    ),
    "empty glob": ("left,right\nref.mp4,nothing/*.png\n", ["line 2", "no files match"]),
    "folder without images": (
        "left,right\nref.mp4,empty_folder\n",
        ["line 2", "holds no images"],
    ),
    "unknown URL scheme": (
        "left,right\nref.mp4,nosuchscheme://x/y.mp4\n",
        ["line 2", "nosuchscheme"],
    ),
}


@pytest.mark.parametrize("case", list(BAD_MANIFESTS), ids=list(BAD_MANIFESTS))
def test_bad_manifest_is_one_line_naming_the_line_and_nothing_runs(
    inputs, tmp_path, capsys, case
):
    text, fragments = BAD_MANIFESTS[case]
    folder = tmp_path / "manifest"
    folder.mkdir()
    (folder / "empty_folder").mkdir()
    for name in ("ref.mp4", "enc.mp4"):
        shutil.copy(inputs / name, folder / name)
    manifest = folder / "pairs.csv"
    manifest.write_text(text)
    results = tmp_path / "results"
    status = main(["batch", str(manifest), "--out", str(results)])
    captured = capsys.readouterr()
    assert status == 2, captured.err
    assert captured.out == ""
    lines = captured.err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quillet: error: ")
    for fragment in fragments:
        assert fragment in lines[0]
    assert not results.exists()


@pytest.mark.parametrize(
    "results", ["left_images", "left_images/results", "right_images"]
)
def test_results_among_the_inputs_are_refused_before_anything_runs(
    inputs, tmp_path, capsys, results
):
    folder = tmp_path / "in"
    shutil.copytree(inputs / "left_images", folder / "left_images")
    (folder / "right_images").mkdir()
    shutil.copytree(inputs / "left_images", folder / "right_images" / "frames")
    manifest = write_manifest(
        folder / "pairs.csv",
        [
            ("left_images", "left_images", "a"),
            ("right_images/frames", "left_images", "b"),
        ],
    )
    before = sorted(path.relative_to(folder) for path in folder.rglob("*"))
    status = main(["batch", str(manifest), "--out", str(folder / results)])
    captured = capsys.readouterr()
    assert status == 2
    assert captured.err.startswith("quillet: error: refusing to write")
    assert captured.err.count("\n") == 1
    assert sorted(path.relative_to(folder) for path in folder.rglob("*")) == before


def test_manifest_locations_are_relative_to_its_folder_and_names_default(
    inputs, tmp_path
):
    folder = tmp_path / "jobs"
    folder.mkdir()
    manifest = write_manifest(
        folder / "pairs.csv",
        [
            (f"../{inputs.name}/ref.mp4", str(inputs / "enc.mp4")),
            (f"file://{inputs}/left_images", f"{inputs}/right_images/*.png"),
        ],
        header="right,left",
    )
    (inputs_link := tmp_path / inputs.name).symlink_to(inputs)
    pairs = read_manifest(manifest)
    assert pairs == [
        BatchPair(
            str(inputs / "enc.mp4"), str(inputs_link / "ref.mp4"), "enc-vs-ref", 2
        ),
        BatchPair(
            f"{inputs}/right_images/*.png",
            str(inputs / "left_images"),
            "right_images-vs-left_images",
            3,
        ),
    ]


def test_names_given_in_python_are_checked_like_a_manifest(inputs, tmp_path):
    with pytest.raises(ManifestError, match=r"pairs: line 2: duplicate name 'x'"):
        run_batch(
            [
                (inputs / "ref.mp4", inputs / "enc.mp4", "x"),
                {
                    "left": str(inputs / "ref.mp4"),
                    "right": str(inputs / "ref.mp4"),
                    "name": "x",
                },
            ],
            tmp_path / "results",
        )
    assert not (tmp_path / "results").exists()


# --- fingerprints ------------------------------------------------------------------------------


def test_local_fingerprints_follow_size_time_and_folder_content(tmp_path):
    video = tmp_path / "clip.mp4"
    video.write_bytes(b"x" * 100)
    folder = write_folder(tmp_path / "images", [scene(0), scene(1)])
    pattern = str(folder / "*.png")
    before = {path: fingerprint(str(path)) for path in (video, folder, pattern)}
    assert before == {path: fingerprint(str(path)) for path in (video, folder, pattern)}

    os.utime(video, ns=(0, 123))
    Image.fromarray(scene(2)).save(folder / "frame2.png")
    after = {path: fingerprint(str(path)) for path in (video, folder, pattern)}
    assert all(after[path] != before[path] for path in before)
    with pytest.raises(LocationError, match="no such file or folder"):
        fingerprint(str(tmp_path / "missing.mp4"))


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


@pytest.fixture
def http_folder(tmp_path):
    """A folder served over HTTP on 127.0.0.1; yields (folder, base URL)."""
    folder = tmp_path / "served"
    folder.mkdir()
    handler = functools.partial(_QuietHandler, directory=str(folder))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield folder, f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()


def test_url_fingerprint_is_a_content_hash_without_a_tag(http_folder):
    pytest.importorskip("aiohttp")
    folder, base = http_folder
    (folder / "clip.mp4").write_bytes(b"a" * 5000)
    first = fingerprint(f"{base}/clip.mp4")
    (folder / "clip.mp4").write_bytes(b"b" * 5000)
    assert fingerprint(f"{base}/clip.mp4") != first
    assert fingerprint(f"{base}/clip.mp4").startswith("sha256=")
    with pytest.raises(LocationError, match="missing.mp4"):
        fingerprint(f"{base}/missing.mp4")


# --- verdicts ------------------------------------------------------------------------------------


def summary_row(**changes):
    row = {
        "compared": 10,
        "identical_frames": 10,
        "left_frames": 10,
        "right_frames": 10,
        "lengths_differ": False,
        "ssim_min": 1.0,
        "psnr_min": 100.0,
        "mse_max": 0.0,
        "max_diff_max": 0.0,
    }
    row.update(changes)
    return row


DIFFERING = {
    "identical_frames": 7,
    "psnr_min": 38.5,
    "ssim_min": 0.99,
    "mse_max": 9.2,
    "max_diff_max": 3000.0,
}


@pytest.mark.parametrize(
    ("changes", "thresholds", "verdict", "reason"),
    [
        ({}, Thresholds(), "identical", None),
        ({}, Thresholds(min_psnr=200), "identical", None),
        (DIFFERING, Thresholds(), "different", "3 of 10 frames differ"),
        (DIFFERING, Thresholds(min_psnr=35, max_diff=3000), "within thresholds", None),
        (
            DIFFERING,
            Thresholds(min_psnr=40),
            "different",
            "psnr 38.5 < 40 (--min-psnr)",
        ),
        (DIFFERING, Thresholds(max_mse=9), "different", "mse 9.2 > 9 (--max-mse)"),
        (
            {"lengths_differ": True, "right_frames": 12},
            Thresholds(min_psnr=1),
            "different",
            "lengths differ (10 and 12 frames)",
        ),
        (
            {**DIFFERING, "psnr_min": float("nan")},
            Thresholds(min_psnr=1),
            "different",
            "psnr nan < 1",
        ),
        ({"error": "cannot decode x.mp4"}, Thresholds(), "error", None),
    ],
    ids=[
        "identical",
        "identical-any-bounds",
        "differs-no-bounds",
        "within",
        "below-min",
        "above-max",
        "lengths",
        "nan-fails",
        "error",
    ],
)
def test_pair_verdict(changes, thresholds, verdict, reason):
    found, reasons = pair_verdict(summary_row(**changes), thresholds)
    assert found == verdict
    if reason is None:
        assert reasons is None
    else:
        assert reason in reasons


@pytest.mark.parametrize(
    ("verdicts", "status"),
    [
        (["identical", "within thresholds"], 0),
        (["identical", "different"], 1),
        (["different", "error", "identical"], 2),
    ],
)
def test_batch_status_puts_failures_before_differences(verdicts, status):
    assert batch_status(pa.table({"verdict": verdicts})) == status


# --- runs on a local cluster ------------------------------------------------------------------------


@pytest.mark.integration
def test_results_equal_the_engine_frame_for_frame(
    inputs, tmp_path, client, http_folder
):
    pytest.importorskip("aiohttp")
    served, base = http_folder
    shutil.copy(inputs / "enc.mp4", served / "enc.mp4")
    pairs = [
        (inputs / "ref.mp4", inputs / "ref.mp4", "same"),
        (inputs / "ref.mp4", inputs / "enc.mp4", "encoded"),
        (inputs / "ref.mp4", f"{base}/enc.mp4", "over-http"),
        (inputs / "left_images", str(inputs / "right_images" / "*.png"), "images"),
        (inputs / "ref.mp4", inputs / "short.mp4", "shorter"),
    ]
    options = VideoOptions(ema=0.5, every=2)
    table = run_batch(
        pairs,
        tmp_path,
        options=options,
        thresholds=Thresholds(min_psnr=20),
        client=client,
    )

    assert table.column("name").to_pylist() == [name for _, _, name in pairs]
    assert table.column("verdict").to_pylist() == [
        "identical",
        "different",
        "different",
        "different",
        "different",
    ]
    assert pq.read_table(tmp_path / "pairs.parquet").equals(table)
    for left, right, name in pairs:
        local_right = inputs / "enc.mp4" if name == "over-http" else right
        expected = engine_rows(left, local_right, options)
        stored = frames_table(tmp_path, name)
        assert stored.to_pylist() == expected, name
        row = table.filter(pa.compute.equal(table.column("name"), name)).to_pylist()[0]
        assert row["compared"] == len(expected)
        assert row["psnr_min"] == min(item["psnr"] for item in expected)
        assert row["frames_file"] == f"frames/{name}.parquet"
        assert row["quillet_version"] and row["error"] is None and not row["resumed"]
    shorter = table.to_pylist()[-1]
    assert (
        shorter["left_frames"],
        shorter["right_frames"],
        shorter["lengths_differ"],
    ) == (8, 5, True)
    assert batch_status(table) == 1
    assert temporaries(tmp_path) == []


@pytest.mark.integration
def test_standard_figures_are_stored_and_bounded_when_asked_for(
    inputs, tmp_path, client
):
    import quillet

    pairs = [(inputs / "ref.mp4", inputs / "enc.mp4", "encoded")]
    # A bound on a standard figure asks for the standard figures by itself.
    table = run_batch(
        pairs,
        tmp_path,
        thresholds=Thresholds(min_psnr=1, min_psnr_rgb=30),
        client=client,
    )
    options = VideoOptions(standard=True)
    expected = engine_rows(inputs / "ref.mp4", inputs / "enc.mp4", options)
    assert frames_table(tmp_path, "encoded").to_pylist() == expected
    row = table.to_pylist()[0]
    worst = min(item["psnr_rgb"] for item in expected)
    assert row["psnr_rgb_min"] == worst
    assert row["verdict"] == "different"
    assert f"psnr_rgb {worst:.6g} < 30 (--min-psnr-rgb)" in row["failures"]
    assert row["kernel"] == quillet.kernel_name()


@pytest.mark.integration
def test_progress_bar_counts_pairs_and_frames_per_second(
    inputs, tmp_path, client, capsys
):
    pairs = [
        (inputs / "ref.mp4", inputs / "enc.mp4", "a"),
        (inputs / "ref.mp4", inputs / "ref.mp4", "b"),
    ]
    run_batch(pairs[:1], tmp_path, client=client)
    run_batch(pairs, tmp_path, client=client, progress=True)
    bar = capsys.readouterr().err.replace("\r", "\n").splitlines()
    assert any("1/2" in line for line in bar)  # the pair kept from the first run
    assert any("2/2" in line and "frames/s" in line for line in bar)
    run_batch(pairs, tmp_path, client=client, progress=False)
    assert capsys.readouterr().err == ""


@pytest.mark.integration
def test_failing_pairs_are_recorded_and_the_others_go_on(inputs, tmp_path, client):
    pairs = [
        (inputs / "ref.mp4", inputs / "ref.mp4", "good"),
        (inputs / "corrupt.mp4", inputs / "ref.mp4", "corrupt"),
        (inputs / "ref.mp4", inputs / "large.mp4", "sizes"),
    ]
    table = run_batch(pairs, tmp_path, client=client)
    rows = {row["name"]: row for row in table.to_pylist()}
    assert rows["good"]["verdict"] == "identical" and rows["good"]["error"] is None
    assert (
        rows["corrupt"]["verdict"] == "error"
        and "corrupt.mp4" in rows["corrupt"]["error"]
    )
    assert (
        rows["sizes"]["verdict"] == "error"
        and "differ in size" in rows["sizes"]["error"]
    )
    assert sorted(path.name for path in (tmp_path / "frames").iterdir()) == [
        "good.parquet"
    ]
    assert batch_status(table) == 2


@pytest.mark.integration
def test_rerun_resumes_and_compares_changed_inputs_again(inputs, tmp_path, client):
    folder = tmp_path / "in"
    shutil.copytree(
        inputs, folder, ignore=shutil.ignore_patterns("corrupt.mp4", "large.mp4")
    )
    pairs = [
        (folder / "ref.mp4", folder / "ref.mp4", "same"),
        (folder / "ref.mp4", folder / "enc.mp4", "encoded"),
        (folder / "left_images", folder / "right_images", "images"),
    ]
    results = tmp_path / "results"
    # A partial run: the first pair only, as if the run had been stopped after it.
    run_batch(pairs[:1], results, client=client)
    first_file = results / "frames" / "same.parquet"
    written = first_file.stat().st_mtime_ns

    table = run_batch(pairs, results, client=client)
    assert table.column("resumed").to_pylist() == [True, False, False]
    assert first_file.stat().st_mtime_ns == written
    encoded = frames_table(results, "encoded")

    # A changed input is compared again; the others are kept; changed options redo all.
    write_video(folder / "enc.mp4", [scene(index) for index in range(8)])
    table = run_batch(pairs, results, client=client)
    assert table.column("resumed").to_pylist() == [True, False, True]
    assert table.column("verdict").to_pylist() == [
        "identical",
        "identical",
        "different",
    ]
    assert not frames_table(results, "encoded").equals(encoded)
    table = run_batch(pairs, results, client=client, options=VideoOptions(every=2))
    assert table.column("resumed").to_pylist() == [False, False, False]
    table = run_batch(
        pairs, results, client=client, options=VideoOptions(every=2), force=True
    )
    assert table.column("resumed").to_pylist() == [False, False, False]
    assert len(pq.read_table(results / "pairs.parquet")) == 3


def write_slow_folder(folder, frames):
    """Frames that take a while to read (noise at 720p, about 30 ms a PNG on a busy core), as
    links to one image: long enough to interrupt a pair in the middle, quick to make."""
    folder.mkdir()
    Image.fromarray(scene(0, 1280, 720)).save(folder / "base.png", compress_level=1)
    for index in range(frames - 1):
        (folder / f"frame{index:04d}.png").symlink_to(folder / "base.png")
    return folder


@pytest.mark.integration
def test_killed_worker_loses_and_duplicates_nothing(inputs, tmp_path, client):
    slow = write_slow_folder(tmp_path / "slow", 60)
    pairs = [(slow, slow, "slow"), (inputs / "ref.mp4", inputs / "enc.mp4", "quick")]
    outcome = {}
    runner = threading.Thread(
        target=lambda: outcome.update(
            table=run_batch(pairs, tmp_path / "results", client=client)
        )
    )
    runner.start()

    deadline = time.monotonic() + 60
    victim = None
    while victim is None and time.monotonic() < deadline:
        for address, keys in client.processing().items():
            if any("pair-slow" in str(key) for key in keys):
                victim = address
        time.sleep(0.05)
    assert victim is not None, "the slow pair never started"
    time.sleep(0.5)  # inside the pair's frames now
    pid = client.run(os.getpid, workers=[victim])[victim]
    os.kill(pid, signal.SIGKILL)
    runner.join(timeout=120)

    table = outcome["table"]
    assert table.column("name").to_pylist() == ["slow", "quick"]
    assert table.column("error").to_pylist() == [None, None]
    slow_frames = frames_table(tmp_path / "results", "slow")
    assert slow_frames.column("frame").to_pylist() == list(range(60))
    assert table.to_pylist()[0]["compared"] == 60
    assert temporaries(tmp_path / "results") == []
    client.wait_for_workers(2, timeout=60)


# --- the command ------------------------------------------------------------------------------------


def run_quillet(*arguments, **options):
    return subprocess.run(
        [*QUILLET, *map(str, arguments)],
        capture_output=True,
        text=True,
        timeout=180,
        check=False,
        **options,
    )


@pytest.mark.integration
def test_command_stops_cleanly_on_ctrl_c_and_the_next_run_resumes(inputs, tmp_path):
    slow = write_slow_folder(tmp_path / "slow", 1500)
    for name in ("ref.mp4", "enc.mp4"):
        (tmp_path / name).symlink_to(inputs / name)
    manifest = write_manifest(
        tmp_path / "pairs.csv",
        [
            ("ref.mp4", "enc.mp4", "encoded"),
            ("slow", "slow", "slow"),
            ("ref.mp4", "ref.mp4", "same"),
        ],
    )
    results = tmp_path / "results"
    command = [
        *QUILLET,
        "batch",
        manifest,
        "--out",
        results,
        "--csv",
        "--min-psnr",
        "60",
    ]
    process = subprocess.Popen(
        list(map(str, command)),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    deadline = time.monotonic() + 90
    quick = [results / "frames" / f"{name}.parquet" for name in ("encoded", "same")]
    while not all(path.exists() for path in quick) and time.monotonic() < deadline:
        time.sleep(0.05)
    # As a terminal's Ctrl-C does: SIGINT to the whole process group, workers included.
    os.killpg(process.pid, signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    # The interruption is reported in one line; a loaded machine may add warnings of its own.
    assert (
        "quillet: interrupted: 2 of 3 pairs finished; run the same command again to resume\n"
        in stderr
    )
    assert "Traceback" not in stderr, stderr
    assert not (results / "pairs.parquet").exists()
    assert not (results / "frames" / "slow.parquet").exists()
    assert temporaries(results) == []

    # Fewer frames make the interrupted pair quick to finish now (and its input changed).
    for link in sorted(slow.glob("frame*.png"))[3:]:
        link.unlink()
    again = run_quillet(*command[3:])
    assert again.returncode == 1, again.stderr
    assert "quillet:" not in again.stderr and "Traceback" not in again.stderr, (
        again.stderr
    )
    assert "different: encoded: psnr" in again.stdout and "(--min-psnr)" in again.stdout
    assert (
        "3 pairs: 2 identical, 1 different (2 kept from an earlier run)" in again.stdout
    )
    assert frames_table(results, "slow").num_rows == 4
    pairs_csv = pa.csv.read_csv(results / "pairs.csv")
    assert pairs_csv.column("name").to_pylist() == ["encoded", "slow", "same"]
    for name in ("encoded", "slow", "same"):
        frames_csv = pa.csv.read_csv(results / "frames" / f"{name}.csv")
        assert frames_csv.column("psnr").to_pylist() == (
            frames_table(results, name).column("psnr").to_pylist()
        )


@pytest.mark.integration
def test_command_on_an_existing_scheduler_with_two_workers(inputs, tmp_path):
    def free_port():
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            return probe.getsockname()[1]

    dask = str(Path(sys.executable).with_name("dask"))
    port = free_port()
    address = f"tcp://127.0.0.1:{port}"
    with contextlib.ExitStack() as stack:

        def start(*command):
            process = subprocess.Popen(
                command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
            )
            stack.callback(process.wait, 30)
            stack.callback(process.terminate)
            return process

        start(
            dask,
            "scheduler",
            "--host",
            "127.0.0.1",
            "--port",
            str(port),
            "--no-dashboard",
        )
        for _ in range(2):
            start(
                dask,
                "worker",
                address,
                "--nthreads",
                "1",
                "--host",
                "127.0.0.1",
                "--no-dashboard",
            )
        with distributed.Client(address, timeout=60) as watcher:
            watcher.wait_for_workers(2, timeout=60)
            manifest = write_manifest(
                tmp_path / "pairs.csv",
                [
                    (str(inputs / "ref.mp4"), str(inputs / "enc.mp4"), "encoded"),
                    (
                        str(inputs / "left_images"),
                        str(inputs / "left_images"),
                        "images",
                    ),
                    (str(inputs / "ref.mp4"), str(inputs / "short.mp4"), "shorter"),
                ],
            )
            result = run_quillet(
                "batch", manifest, "--out", tmp_path / "results", "--scheduler", address
            )
            prefixes = watcher.run_on_scheduler(
                lambda dask_scheduler: list(dask_scheduler.task_prefixes)
            )
    assert result.returncode == 1, result.stderr
    assert "3 pairs: 1 identical, 2 different" in result.stdout
    assert any(prefix.startswith("quillet-pair") for prefix in prefixes)
    table = pq.read_table(tmp_path / "results" / "pairs.parquet")
    assert table.column("verdict").to_pylist() == [
        "different",
        "identical",
        "different",
    ]
    assert frames_table(tmp_path / "results", "encoded").to_pylist() == engine_rows(
        inputs / "ref.mp4", inputs / "enc.mp4"
    )


def test_unreachable_scheduler_is_a_one_line_error(inputs, tmp_path):
    manifest = write_manifest(
        tmp_path / "pairs.csv",
        [(str(inputs / "ref.mp4"), str(inputs / "ref.mp4"), "x")],
    )
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    result = run_quillet(
        "batch",
        manifest,
        "--out",
        tmp_path / "results",
        "--scheduler",
        f"tcp://127.0.0.1:{port}",
        env={**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"},
    )
    assert result.returncode == 2
    assert (
        result.stderr.count("\n") == 1
        and "cannot reach the Dask scheduler" in result.stderr
    )


def test_workers_with_a_scheduler_is_a_usage_error(inputs, tmp_path, capsys):
    manifest = write_manifest(
        tmp_path / "pairs.csv",
        [(str(inputs / "ref.mp4"), str(inputs / "ref.mp4"), "x")],
    )
    arguments = ["--out", str(tmp_path / "results"), "--scheduler", "tcp://127.0.0.1:1"]
    assert main(["batch", str(manifest), *arguments, "--workers", "2"]) == 2
    assert "--workers sizes the local cluster" in capsys.readouterr().err
    assert not (tmp_path / "results").exists()


def test_importing_quillet_does_not_import_the_batch_libraries(run_python):
    result = run_python(
        """
        import sys, quillet
        heavy = [name for name in ("dask", "distributed", "pyarrow", "fsspec", "tqdm") if name in sys.modules]
        print(heavy)
        sys.modules["pyarrow"] = None
        from quillet.batch import run_batch
        try:
            run_batch([("a", "b")], "out")
        except ImportError as error:
            print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    heavy, message = result.stdout.splitlines()
    assert heavy == "[]"
    assert "pip install 'quillet[batch]'" in message
