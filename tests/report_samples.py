"""Report records built from made-up comparisons, for the report tests and the benchmark."""

import math
import random

from quillet import Frame
from quillet._api import DiffPicture
from quillet._report import BatchPair, BatchReport, RunInfo, VideoReport
from quillet._report_pictures import worst_frame_pictures

HOSTILE_NAME = "<script>alert(1)</script>.mp4"


def sample_figures(count, seed=1):
    rng = random.Random(seed)
    psnr = [32 + 8 * math.sin(i / 40) + rng.random() for i in range(count)]
    return {
        "ssim": [1 - rng.random() * 0.05 for _ in range(count)],
        "psnr": psnr,
        "mse": [65025 / 10 ** (p / 10) for p in psnr],
        "max_diff": [rng.random() * 5000 for _ in range(count)],
    }


def sample_frame(width, height, shade):
    pixels = bytes((x * 7 + y * 3 + shade) % 256 for y in range(height) for x in range(width) for _ in range(3))
    return Frame(pixels, width, height)


def sample_worst(figures, count=6, full_size=False, width=96, height=54):
    psnr = figures["psnr"]
    order = sorted(range(len(psnr)), key=lambda i: (psnr[i], i))[:count]
    worst = []
    for frame in order:
        left = sample_frame(width, height, frame)
        right = sample_frame(width, height, frame + 40)
        diff = DiffPicture(bytes([200, 30, 30, 255]) * (width * height), width, height)
        values = {name: column[frame] for name, column in figures.items()}
        worst.append(worst_frame_pictures(frame, frame / 25, values, left, right, diff, full_size))
    return worst


def sample_video_report(count, left_name=HOSTILE_NAME, worst=True, full_size=False, times=True):
    figures = sample_figures(count)
    return VideoReport(
        left_name=left_name,
        right_name="right <b>bold</b> & more.mp4",
        frames=list(range(count)),
        times=[i / 25 for i in range(count)] if times else [None] * count,
        figures=figures,
        summary=[("frames compared", str(count)), ("pairing", "time")],
        thresholds={"psnr": 30.0, "ssim": 0.96},
        verdict="3 of 100 frame pairs outside the thresholds",
        passed=False,
        failures=["frame 7: psnr 24.1 < 30 (--min-psnr) <img src=x onerror=alert(2)>"],
        worst=sample_worst(figures, full_size=full_size) if worst else (),
        run=RunInfo("quillet video '<a>' b.mp4 --report r.html", "0.1.0", "scalar", "2026-01-01T00:00:00Z"),
    )


def sample_batch_report(count=12, seed=3):
    rng = random.Random(seed)
    pairs = []
    for i in range(count):
        psnr = round(20 + rng.random() * 30, 3)
        verdict = "different" if psnr < 30 else "within thresholds"
        pairs.append(
            BatchPair(
                name=f"clip{i:02d}" if i else HOSTILE_NAME,
                left=f"left/clip{i:02d}.mp4",
                right=f"right/clip{i:02d}.mp4",
                figures={"psnr_mean": psnr, "ssim_mean": round(0.9 + rng.random() / 10, 4)},
                verdict=verdict,
                passed=psnr >= 30,
                message=f"psnr {psnr} < 30 (--min-psnr)" if psnr < 30 else "",
                page=f"reports/clip{i:02d}.html",
            )
        )
    pairs.append(BatchPair("broken", "l.mp4", "r.mp4", {}, "error", False, "l.mp4: cannot decode frame 3"))
    return BatchReport(
        title="batch of <i>clips</i>",
        pairs=pairs,
        columns=["psnr_mean", "ssim_mean"],
        distribution="psnr_mean",
        run=RunInfo("quillet batch L R --report", "0.1.0", "scalar", "2026-01-01T00:00:00Z"),
    )


def write_sample_batch_results(folder, count=4, frames=120, seed=5):
    """A batch's results as the batch command leaves them: frames/NAME.parquet per pair and the
    pairs' rows (returned); the last pair failed and has no frames file."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    (folder / "frames").mkdir(parents=True, exist_ok=True)
    rows = []
    for i in range(count):
        name = f"clip{i}" if i else "a <b> & 'c'"
        figures = sample_figures(frames, seed + i)
        columns = {
            "frame": list(range(frames)),
            "left_time": [f / 25 for f in range(frames)],
            "right_index": list(range(frames)),
            "right_time": [f / 25 for f in range(frames)],
            "identical": [False] * frames,
            **figures,
        }
        pq.write_table(pa.table(columns), folder / "frames" / f"{name}.parquet")
        row = {
            "name": name, "left": f"L/{name}.mp4", "right": f"R/{name}.mp4",
            "verdict": "different" if i % 2 else "within thresholds",
            "failures": "psnr 24.2 < 30 (--min-psnr)" if i % 2 else None, "error": None,
            "left_frames": frames, "right_frames": frames, "compared": frames,
            "identical_frames": 0, "repeated": 0, "skipped": 0, "lengths_differ": False,
            "pairing": "time", "width": 64, "height": 36, "compared_width": 64, "compared_height": 36,
            "frames_file": f"frames/{name}.parquet",
        }
        for figure, values in figures.items():
            row[f"{figure}_mean"] = sum(values) / frames
            row[f"{figure}_min"] = min(values)
            row[f"{figure}_max"] = max(values)
        rows.append(row)
    rows.append({"name": "broken", "left": "L/x.mp4", "right": "R/x.mp4", "verdict": "error",
                 "failures": None, "error": "L/x.mp4: cannot decode frame 3", "frames_file": None})
    return rows
