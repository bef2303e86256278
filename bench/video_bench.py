"""Whole videos side by side in one run: ``quillet video L R`` against FFmpeg's ``psnr`` filter
on the same pair (both decode both inputs and compare every frame), as ratios of medians.

The clips are made here from real photographs (scikit-image's sample pictures): a slow pan and
zoom over the photo gives motion, the left clip is encoded losslessly or at high quality and the
right one at a lower quality, with the FFmpeg command-line tool. Pairs: a PNG sequence against
an H.264 file (720p), two H.264 files (720p and 1080p), an FFV1 file against an H.264 file
(720p), and two 4K H.264 files. FFmpeg is installed from Debian when missing (as root).
Run by bench/run.sh; not part of the tests.
"""

from __future__ import annotations

import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

FRAMES = 150  # five seconds: long enough that start-up does not decide the ratio
FPS = 30
RUNS = 3


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def ensure_ffmpeg() -> None:
    if shutil.which("ffmpeg"):
        return
    if os.geteuid() == 0 and shutil.which("apt-get"):
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
        subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends", "ffmpeg"],
                       check=True, env=env, stdout=subprocess.DEVNULL)
    if not shutil.which("ffmpeg"):
        sys.exit("video bench: ffmpeg is missing (apt-get install ffmpeg)")


def photo() -> np.ndarray:
    """The largest RGB sample photo scikit-image ships (astronaut, coffee, chelsea...)."""
    import skimage.data

    best = None
    for name in ("astronaut", "coffee", "chelsea", "rocket"):
        try:
            image = getattr(skimage.data, name)()
        except Exception:  # a picture that needs a download, or is missing: skip it
            continue
        if image.ndim == 3 and image.shape[2] >= 3:
            image = np.ascontiguousarray(image[:, :, :3])
            if best is None or image.size > best.size:
                best = image
    if best is None:
        sys.exit("video bench: no scikit-image sample photo available")
    return best


def pan_and_zoom(image: np.ndarray, width: int, height: int, count: int):
    """`count` frames of width x height: a window that drifts across the photo and narrows,
    scaled to the frame size by nearest-neighbour sampling (the photo is enlarged first)."""
    from PIL import Image

    scale = max(2 * width / image.shape[1], 2 * height / image.shape[0], 1.0)
    big = np.asarray(
        Image.fromarray(image).resize(
            (int(image.shape[1] * scale), int(image.shape[0] * scale)), Image.Resampling.BICUBIC
        )
    )
    big_h, big_w = big.shape[:2]
    for i in range(count):
        t = i / max(count - 1, 1)
        zoom = 1.0 - 0.25 * t
        win_w, win_h = int(big_w * 0.5 * zoom), int(big_h * 0.5 * zoom)
        x0 = int((big_w - win_w) * (0.1 + 0.8 * t))
        y0 = int((big_h - win_h) * (0.2 + 0.5 * t))
        ys = y0 + (np.arange(height) * win_h) // height
        xs = x0 + (np.arange(width) * win_w) // width
        yield np.ascontiguousarray(big[ys][:, xs])


def encode(frames, width: int, height: int, path: Path, codec_args: list[str]) -> None:
    command = ["ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24",
               "-s", f"{width}x{height}", "-r", str(FPS), "-i", "-", *codec_args, str(path)]
    with subprocess.Popen(command, stdin=subprocess.PIPE) as process:
        assert process.stdin is not None
        for frame in frames:
            process.stdin.write(frame.tobytes())
        process.stdin.close()
        if process.wait() != 0:
            sys.exit(f"video bench: ffmpeg could not encode {path.name}")


H264_HIGH = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "12", "-pix_fmt", "yuv420p"]
H264_LOW = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "30", "-pix_fmt", "yuv420p"]
FFV1 = ["-c:v", "ffv1", "-pix_fmt", "yuv444p"]


def make_clips(folder: Path, image: np.ndarray) -> list[tuple[str, Path, Path]]:
    def clip(name, width, height, args):
        path = folder / name
        encode(pan_and_zoom(image, width, height, FRAMES), width, height, path, args)
        return path

    png_dir = folder / "png720"
    png_dir.mkdir()
    from PIL import Image

    for i, frame in enumerate(pan_and_zoom(image, 1280, 720, FRAMES)):
        Image.fromarray(frame).save(png_dir / f"frame_{i:04d}.png", compress_level=1)
    h264_720_low = clip("h264_720_low.mp4", 1280, 720, H264_LOW)
    pairs = [
        ("PNG sequence vs H.264, 720p", png_dir, h264_720_low),
        ("H.264 vs H.264, 720p", clip("h264_720_high.mp4", 1280, 720, H264_HIGH), h264_720_low),
        ("H.264 vs H.264, 1080p", clip("h264_1080_high.mp4", 1920, 1080, H264_HIGH),
         clip("h264_1080_low.mp4", 1920, 1080, H264_LOW)),
        ("FFV1 vs H.264, 720p", clip("ffv1_720.mkv", 1280, 720, FFV1), h264_720_low),
        ("H.264 vs H.264, 4K", clip("h264_4k_high.mp4", 3840, 2160, H264_HIGH),
         clip("h264_4k_low.mp4", 3840, 2160, H264_LOW)),
    ]
    return pairs


def ffmpeg_input(path: Path) -> list[str]:
    if path.is_dir():
        return ["-framerate", str(FPS), "-i", str(path / "frame_%04d.png")]
    return ["-i", str(path)]


def time_command(command: list[str]) -> tuple[float, float]:
    """Median wall-clock seconds and median CPU seconds (user + system, all threads)."""
    times, cpu = [], []
    for _ in range(RUNS):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        times.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
        # quillet video exits 1 when the videos differ, which they do here.
        if result.returncode not in (0, 1):
            sys.exit(f"video bench: {' '.join(command)} failed: {result.stderr.decode()[-400:]}")
    return statistics.median(times), statistics.median(cpu)


def main() -> None:
    ensure_ffmpeg()
    quillet_command = [sys.executable, "-m", "quillet", "video"]
    print(f"\nWhole videos: quillet video L R against ffmpeg ... psnr ({FRAMES} frames per clip, "
          f"median of {RUNS} runs; CPU = user + system seconds of all threads)")
    print(f"  machine: {cpu_model()}, {os.cpu_count()} logical CPUs")
    print('  ffmpeg: -lavfi "[0:v]format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr" -f null -\n')
    with tempfile.TemporaryDirectory(prefix="quillet-video-bench-") as tmp:
        pairs = make_clips(Path(tmp), photo())
        print(f"{'pair':34} {'quillet s':>10} {'ffmpeg s':>10} {'quillet/ffmpeg':>15}"
              f" {'quillet cpu s':>14} {'ffmpeg cpu s':>13} {'cpu ratio':>10}")
        for name, left, right in pairs:
            ours, our_cpu = time_command([*quillet_command, str(left), str(right)])
            theirs, their_cpu = time_command(
                ["ffmpeg", "-v", "error", *ffmpeg_input(left), *ffmpeg_input(right), "-lavfi",
                 "[0:v]format=rgb24[a];[1:v]format=rgb24[b];[a][b]psnr", "-f", "null", "-"]
            )
            print(f"{name:34} {ours:10.2f} {theirs:10.2f} {ours / theirs:14.2f}x"
                  f" {our_cpu:14.2f} {their_cpu:13.2f} {our_cpu / their_cpu:9.2f}x")


if __name__ == "__main__":
    main()
