"""Batch throughput: pairs per second on a local Dask cluster of 1 and of 2 workers (the scaling
of one more worker), and what one worker does per second at 720p, 1080p and 4K, split into
decoding, comparison and the writing of the frames table. Clips are generated (H.264 when the
installed FFmpeg has it, else MPEG-4 Visual) into a temporary folder; figures are medians of a
few runs in this process. Run by bench/run.sh, or alone:

    python bench/batch_bench.py [--pairs 8] [--frames 48] [--runs 3] [--quick]
"""

from __future__ import annotations

import argparse
import os
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import av
import numpy as np
from quillet import FrameComparer
from quillet._batch import _FrameTableWriter
from quillet._sources import open_source
from quillet._video import VideoOptions, compare_videos
from quillet.batch import run_batch

RESOLUTIONS = {"720p": (1280, 720), "1080p": (1920, 1080), "4K": (3840, 2160)}


def picture(index: int, width: int, height: int, seed: int = 0) -> np.ndarray:
    """Smooth gradients with a moving bar and some noise: content a codec has work to do on."""
    rng = np.random.default_rng(seed * 7919 + index)
    x = np.linspace(0, 255, width, dtype=np.float32)[None, :]
    y = np.linspace(0, 255, height, dtype=np.float32)[:, None]
    array = np.empty((height, width, 3), np.uint8)
    array[:, :, 0] = (x + index * 3) % 256
    array[:, :, 1] = (y + index * 5) % 256
    array[:, :, 2] = ((x + y) / 2) % 256
    noise = rng.integers(0, 12, (height // 8, width // 8, 1), dtype=np.uint8)
    array[: height // 8 * 8, : width // 8 * 8] += np.kron(
        noise, np.ones((8, 8, 1), np.uint8)
    )
    array[:, (index * 17) % width] = 255
    return array


def codec_name() -> str:
    for name in ("libx264", "h264", "mpeg4"):
        try:
            av.Codec(name, "w")
        except ValueError:
            continue
        return name
    return "mpeg4"


def write_clip(path: Path, width: int, height: int, frames: int, seed: int) -> Path:
    distinct = [picture(index, width, height, seed) for index in range(min(frames, 8))]
    with av.open(str(path), "w") as container:
        stream = container.add_stream(codec_name(), rate=25)
        stream.width, stream.height = width, height
        stream.pix_fmt = "yuv420p"
        for index in range(frames):
            frame = av.VideoFrame.from_ndarray(
                distinct[index % len(distinct)], format="rgb24"
            )
            container.mux(stream.encode(frame))
        container.mux(stream.encode(None))
    return path


def median_seconds(body: Callable[[], object], runs: int) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        body()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def _workers_cpu_seconds(client: object) -> float:
    """CPU time used so far by the worker processes (decoder threads included)."""
    return sum(client.run(time.process_time).values())  # type: ignore[attr-defined]


def scaling(folder: Path, pairs: int, frames: int, runs: int) -> None:
    import distributed

    left = write_clip(folder / "left.mp4", 640, 360, frames, 1)
    right = write_clip(folder / "right.mp4", 640, 360, frames, 2)
    manifest = [(left, right, f"pair{index}") for index in range(pairs)]
    rates, cpu_rates = {}, {}
    for workers in (1, 2):
        with (
            distributed.LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
                scheduler_kwargs={"dashboard": False},
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            out = folder / f"results{workers}"
            # Warm the workers (imports, first decoder) before the clock runs.
            run_batch(manifest[:workers], out, client=client, force=True)
            cpu_before = _workers_cpu_seconds(client)
            seconds = median_seconds(
                lambda out=out, client=client: run_batch(
                    manifest, out, client=client, force=True
                ),
                runs,
            )
            cpu = (_workers_cpu_seconds(client) - cpu_before) / runs
        rates[workers] = pairs / seconds
        cpu_rates[workers] = pairs / cpu
        print(
            f"  {workers} worker{'s' if workers > 1 else ' '}: {rates[workers]:6.2f} pairs/s "
            f"({pairs} pairs of {frames} frames at 640x360, {pairs * frames / seconds:7.1f} "
            f"frames/s; {cpu_rates[workers]:5.2f} pairs per worker CPU-second)"
        )
    print(
        f"  scaling with 2 workers: {rates[2] / rates[1]:.2f}x by the clock (ideal 2.00x); "
        f"work per pair {cpu_rates[1] / cpu_rates[2]:.2f}x that of one worker (ideal 1.00x)"
    )


def per_core(
    folder: Path, name: str, size: tuple[int, int], frames: int, runs: int
) -> None:
    width, height = size
    left = write_clip(folder / f"{name}-left.mp4", width, height, frames, 1)
    right = write_clip(folder / f"{name}-right.mp4", width, height, frames, 2)
    options = VideoOptions(max_pixels=None)

    def decode() -> None:
        for location in (left, right):
            source = open_source(str(location), max_pixels=None)
            try:
                for _ in source.frames():
                    pass
            finally:
                source.close()

    source = open_source(str(left), max_pixels=None)
    try:
        decoded = [
            item.frame for _, item in zip(range(8), source.frames(), strict=False)
        ]
    finally:
        source.close()

    def compare() -> None:
        with FrameComparer() as comparer:
            for index in range(frames):
                comparer.compare(
                    decoded[index % len(decoded)], decoded[(index + 1) % len(decoded)]
                )

    def engine() -> None:
        compare_videos(str(left), str(right), options)

    records = []
    compare_videos(
        str(left),
        str(right),
        options,
        on_record=lambda record, view: records.append(record),
    )

    def store() -> None:
        with open(os.devnull, "wb") as sink:
            writer = _FrameTableWriter(sink, standard=False)
            for repeat in range(1000):
                for record in records:
                    writer.add(record)
            writer.close({})

    rows = 1000 * len(records)
    figures = {}
    for label, body, count in (
        ("decode both", decode, frames),
        ("compare", compare, frames),
        ("whole pair", engine, frames),
    ):
        cpu_start = time.process_time()
        seconds = median_seconds(body, runs)
        cpu = (time.process_time() - cpu_start) / runs
        figures[label] = (count / seconds, count / cpu)
    store_rate = rows / median_seconds(store, runs)
    print(
        f"  {name:>5} {width}x{height}: "
        + "  ".join(
            f"{label} {wall:7.1f} fps ({per_cpu:6.1f}/cpu-s)"
            for label, (wall, per_cpu) in figures.items()
        )
        + f"  frames table {store_rate / 1000:.0f}k rows/s"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=8)
    parser.add_argument("--frames", type=int, default=48)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument(
        "--quick", action="store_true", help="fewer frames, one run, no 4K"
    )
    args = parser.parse_args()
    if args.quick:
        args.pairs, args.frames, args.runs = 4, 24, 1
    print(
        f"batch benchmark on {os.cpu_count()} cores (a shared machine gives noisy figures)"
    )
    with tempfile.TemporaryDirectory(prefix="quillet-batch-bench-") as temporary:
        folder = Path(temporary)
        print("pairs per second on a local cluster:")
        scaling(folder, args.pairs, args.frames, args.runs)
        print(
            "one worker, per resolution: frames/s by the clock, and per CPU-second of this "
            "process (the figure that does not depend on what else runs on the machine):"
        )
        for name, size in RESOLUTIONS.items():
            if args.quick and name == "4K":
                continue
            per_core(
                folder,
                name,
                size,
                max(args.frames // (4 if name == "4K" else 1), 6),
                args.runs,
            )


if __name__ == "__main__":
    main()
