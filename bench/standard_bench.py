"""Speed of the standard figures (quillet._measure) against the tools people check them
with, all timed in this process on the same frames: a real photograph scaled to 1280x720 and
1920x1080 against a JPEG (quality 30) of itself. Medians of wall-clock times; ratios printed.

- PSNR (default threads and one thread) against one pass reading both frames: NumPy summing
  each frame as uint64 words on one thread.
- SSIM (three channels and luma: four planes) on one thread and on the default number of
  threads, against scikit-image's structural_similarity (colour call + luma call, Gaussian
  window, population covariance), the usual OpenCV recipe (float64 cv2.GaussianBlur 11x11,
  sigma 1.5, border cropped), and FFmpeg's ssim filter (8x8 blocks, a cheaper definition;
  per-frame time from a 1-frame and a 21-frame run, so process start-up cancels out).
- MS-SSIM (five scales, four planes) against our SSIM.
Run by bench/run.sh."""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from bench_timing import median_ms

from quillet import _measure

try:
    import cv2
except ImportError:  # optional
    cv2 = None
try:
    from skimage import data as skimage_data
    from skimage.metrics import structural_similarity
except ImportError:  # optional
    skimage_data = structural_similarity = None

SIZES = [(1280, 720), (1920, 1080)]
WANG = {"gaussian_weights": True, "sigma": 1.5, "use_sample_covariance": False, "data_range": 255}
LUMA = np.array([0.2126, 0.7152, 0.0722])


def photo_pair(width: int, height: int) -> tuple[np.ndarray, np.ndarray]:
    from PIL import Image

    if skimage_data is not None:
        source = Image.fromarray(skimage_data.astronaut())
    else:  # a smooth synthetic picture when scikit-image is missing
        y, x = np.mgrid[0:512, 0:512]
        source = Image.fromarray(
            np.stack([x // 2, y // 2, (x + y) // 4], axis=-1).astype(np.uint8)
        )
    left = source.resize((width, height), Image.BICUBIC)
    buffer = io.BytesIO()
    left.save(buffer, format="JPEG", quality=30)
    right = Image.open(io.BytesIO(buffer.getvalue())).convert("RGB")
    return np.ascontiguousarray(np.asarray(left)), np.ascontiguousarray(np.asarray(right))


def opencv_ssim(left: np.ndarray, right: np.ndarray) -> float:
    """The usual recipe, on float64 planes, border cropped so the mean covers the same region."""

    def plane_ssim(x: np.ndarray, y: np.ndarray) -> np.ndarray:
        c1, c2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2
        blur = lambda a: cv2.GaussianBlur(a, (11, 11), 1.5)  # noqa: E731
        mx, my = blur(x), blur(y)
        vx, vy, vxy = blur(x * x) - mx * mx, blur(y * y) - my * my, blur(x * y) - mx * my
        s = ((2 * mx * my + c1) * (2 * vxy + c2)) / ((mx * mx + my * my + c1) * (vx + vy + c2))
        return s[5:-5, 5:-5]

    x, y = left.astype(np.float64), right.astype(np.float64)
    colour = plane_ssim(x, y).reshape(-1, 3).mean(axis=0)
    plane_ssim(x @ LUMA, y @ LUMA).mean()
    return float(colour.mean())


def scikit_ssim(left: np.ndarray, right: np.ndarray) -> float:
    value = structural_similarity(left, right, channel_axis=-1, **WANG)
    structural_similarity(left @ LUMA, right @ LUMA, **WANG)
    return float(value)


def ffmpeg_ms_per_frame(left: np.ndarray, right: np.ndarray) -> float | None:
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is None:
        return None
    height, width = left.shape[:2]
    with tempfile.TemporaryDirectory() as folder:
        def run(frames: int) -> float:
            paths = []
            for name, picture in (("left", left), ("right", right)):
                path = os.path.join(folder, f"{name}{frames}.rgb")
                with open(path, "wb") as out:
                    out.write(picture.tobytes() * frames)
                paths.append(path)
            raw = ["-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{width}x{height}"]
            command = [ffmpeg, "-v", "error", *raw, "-i", paths[0], *raw, "-i", paths[1],
                       "-lavfi", "[0:v][1:v]ssim", "-f", "null", "-"]
            return median_ms(lambda: subprocess.run(command, check=True), 3)

        return (run(21) - run(1)) / 20


def row(name: str, ms: float, base: float | None, note: str = "") -> str:
    ratio = f"{ms / base:8.2f}x" if base else " " * 9
    return f"  {name:<44}{ms:9.2f} ms {ratio}  {note}"


def main() -> None:
    print(f"standard figures: SSIM kernel {_measure.standard_kernel_name()}, PSNR kernel "
          f"{_measure.psnr_kernel_name()}, {os.cpu_count()} cores")
    print("(ratio column: time / the row's reference; the machine may be busy: compare within one run)")
    for width, height in SIZES:
        left, right = photo_pair(width, height)
        print(f"\n{width}x{height}, photograph against its JPEG (q30)")
        words = left.reshape(-1).view(np.uint64), right.reshape(-1).view(np.uint64)
        floor = median_ms(lambda: (words[0].sum(), words[1].sum()), 50)
        psnr = median_ms(lambda: _measure.psnr(left, right, width, height), 50)
        psnr_one = median_ms(lambda: _measure.psnr(left, right, width, height, threads=1), 50)
        print(row("memory floor (NumPy uint64 sum of both)", floor, None))
        print(row("quillet psnr (rgb, r, g, b), default threads", psnr, floor, "vs the floor"))
        print(row("quillet psnr, 1 thread", psnr_one, floor, "vs the floor"))

        threads = _measure.default_threads(width, height)
        one = median_ms(lambda: _measure.ssim(left, right, width, height, threads=1), 7)
        many = median_ms(lambda: _measure.ssim(left, right, width, height), 7)
        ours = _measure.ssim(left, right, width, height)
        print(row(f"quillet ssim, {threads} threads (rgb, r, g, b, y)", many, None))
        print(row("quillet ssim, 1 thread", one, many, "vs default threads"))
        if structural_similarity is not None:
            reference = median_ms(lambda: scikit_ssim(left, right), 3)
            gap = abs(scikit_ssim(left, right) - ours[0])
            print(row("scikit-image (colour + luma)", reference, many,
                      f"slower by this factor; |ssim_rgb difference| {gap:.1e}"))
        if cv2 is not None:
            recipe = median_ms(lambda: opencv_ssim(left, right), 5)
            gap = abs(opencv_ssim(left, right) - ours[0])
            print(row("OpenCV GaussianBlur recipe (float64)", recipe, many,
                      f"slower by this factor; |ssim_rgb difference| {gap:.1e}"))
        ms = median_ms(lambda: _measure.ms_ssim(left, right, width, height), 5)
        print(row("quillet ms_ssim (rgb, r, g, b, y)", ms, many, "vs quillet ssim"))
        ffmpeg = ffmpeg_ms_per_frame(left, right)
        if ffmpeg is not None:
            print(row("FFmpeg ssim filter (8x8 blocks), per frame", ffmpeg, many,
                      "a cheaper definition, for reference"))
        else:
            print("  (ffmpeg not found: its ssim filter not timed)")


if __name__ == "__main__":
    sys.exit(main())
