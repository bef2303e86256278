"""Times compare() and the streaming loop from Python against a NumPy version
of the same four figures and picture (and OpenCV when installed), all in this
process; medians of many runs, ratios printed. Run by bench/run.sh."""

from __future__ import annotations

import math
import sys
import time

import numpy as np

from bench_timing import median_ms

import quillet._core as core

try:
    import cv2
except ImportError:  # OpenCV is optional
    cv2 = None

W, H = 1280, 720
LUMA = np.array([0.2126, 0.7152, 0.0722], dtype=np.float32)
THRESHOLD = np.float32(2809.08)


def scene(w: int, h: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    x = np.arange(w, dtype=np.int32)[None, :]
    y = np.arange(h, dtype=np.int32)[:, None]
    img = np.empty((h, w, 3), np.uint8)
    img[..., 0] = (x * 255 // w + rng.integers(0, 4, (h, w))).astype(np.uint8)
    img[..., 1] = (y * 255 // h + rng.integers(0, 4, (h, w))).astype(np.uint8)
    img[..., 2] = ((x + y) * 127 // (w + h) + rng.integers(0, 4, (h, w))).astype(np.uint8)
    return img


def frames(kind: str, w: int = W, h: int = H) -> tuple[bytes, bytes]:
    rng = np.random.default_rng(7)
    if kind == "random":
        return rng.integers(0, 256, (h, w, 3), np.uint8).tobytes(), rng.integers(
            0, 256, (h, w, 3), np.uint8
        ).tobytes()
    left = scene(w, h, 1)
    right = left.copy()
    if kind == "5% clustered":
        target = w * h // 20
        while target > 0:
            rw, rh = int(rng.integers(8, 68)), int(rng.integers(8, 48))
            x0, y0 = int(rng.integers(0, w - rw)), int(rng.integers(0, h - rh))
            right[y0 : y0 + rh, x0 : x0 + rw] += rng.integers(40, 220, (rh, rw, 3)).astype(np.uint8)
            target -= rw * rh
    elif kind == "5% scattered":
        idx = rng.integers(0, w * h, w * h // 20)
        flat = right.reshape(-1, 3)
        flat[idx] += rng.integers(40, 220, (idx.size, 3)).astype(np.uint8)
    return left.tobytes(), right.tobytes()


def numpy_compare(left: bytes, right: bytes, w: int, h: int, k: float = 1.0):
    """The four figures and the picture as a NumPy user would write them."""
    l8 = np.frombuffer(left, np.uint8).reshape(h, w, 3)
    lf = l8.astype(np.float32)
    rf = np.frombuffer(right, np.uint8).reshape(h, w, 3).astype(np.float32)
    diff = lf - rf
    d = np.einsum("ijk,ijk->ij", diff, diff)
    similarity = 1.0 - np.abs(lf @ LUMA - rf @ LUMA) / 255.0
    ssim = float(similarity.mean())
    mse = float(d.mean())
    psnr = 10.0 * math.log10(65025.0 / mse) if mse > 0 else 100.0
    max_diff = float(d.max())
    s = np.minimum(np.sqrt(np.float32(k) * d), 1.0)
    q = 2.0 * s - 1.0
    heat = np.stack([255.0 * np.maximum(q, 0), 255.0 * (1.0 - np.abs(q)), 255.0 * np.maximum(-q, 0)], -1)
    rgba = np.empty((h, w, 4), np.uint8)
    rgba[..., :3] = np.where((d >= THRESHOLD)[..., None], heat.astype(np.uint8), l8)
    rgba[..., 3] = 255
    return (ssim, psnr, mse, max_diff), rgba.tobytes()


def opencv_compare(left: bytes, right: bytes, w: int, h: int, k: float = 1.0):
    """The same with OpenCV primitives."""
    l8 = np.frombuffer(left, np.uint8).reshape(h, w, 3)
    lf = l8.astype(np.float32)
    rf = np.frombuffer(right, np.uint8).reshape(h, w, 3).astype(np.float32)
    diff = cv2.subtract(lf, rf)
    d = cv2.transform(cv2.multiply(diff, diff), np.ones((1, 3), np.float32))
    weights = LUMA.reshape(1, 3)
    similarity = 1.0 - cv2.absdiff(cv2.transform(lf, weights), cv2.transform(rf, weights)) / 255.0
    ssim = cv2.mean(similarity)[0]
    mse = cv2.mean(d)[0]
    psnr = 10.0 * math.log10(65025.0 / mse) if mse > 0 else 100.0
    max_diff = cv2.minMaxLoc(d)[1]
    s = cv2.min(cv2.sqrt(d * np.float32(k)), 1.0)
    q = 2.0 * s - 1.0
    heat = cv2.merge([cv2.max(q, 0) * 255.0, (1.0 - cv2.absdiff(q, 0)) * 255.0, cv2.max(-q, 0) * 255.0])
    mask = (d >= THRESHOLD).astype(np.uint8)
    picture = l8.copy()
    cv2.copyTo(heat.astype(np.uint8), mask, picture)
    rgba = cv2.cvtColor(picture, cv2.COLOR_RGB2RGBA)
    return (ssim, psnr, mse, max_diff), rgba.tobytes()


def main() -> int:
    print(f"\nFrom Python ({sys.version.split()[0]}, NumPy {np.__version__}"
          + (f", OpenCV {cv2.__version__}" if cv2 else ", OpenCV not installed") + "; median ms)\n")
    head = f"{'case':<22}{'compare()':>11}{'NumPy':>10}{'x faster':>10}"
    if cv2:
        head += f"{'OpenCV':>10}{'x faster':>10}"
    print(head + f"{'|ssim diff|':>13}")
    for kind in ["identical", "5% clustered", "5% scattered", "random"]:
        left, right = frames(kind)
        ours = median_ms(lambda: core.compare(left, right, W, H), 201, warmup=2)
        figures = core.compare(left, right, W, H)
        numpy_ms = median_ms(lambda: numpy_compare(left, right, W, H), 15, warmup=2)
        np_figures, np_picture = numpy_compare(left, right, W, H)
        line = f"{'720p ' + kind:<22}{ours:>11.3f}{numpy_ms:>10.2f}{numpy_ms / ours:>9.1f}x"
        if cv2:
            cv_ms = median_ms(lambda: opencv_compare(left, right, W, H), 15, warmup=2)
            line += f"{cv_ms:>10.2f}{cv_ms / ours:>9.1f}x"
        line += f"{abs(figures[0] - np_figures[0]):>13.2e}"
        print(line)

    for w, h in [(1920, 1080), (3840, 2160)]:
        left, right = frames("5% clustered", w, h)
        ours = median_ms(lambda: core.compare(left, right, w, h), 51, warmup=2)
        print(f"{f'{w}x{h} 5% clustered':<22}{ours:>11.3f}   (reduced to 1280x720)")

    print("\nStreaming loop (cache_frame x2, compare_cached_frames, get_diff_rgba)\n")
    for kind in ["5% clustered", "random"]:
        left, right = frames(kind)
        core.init_frame_cache(W, H)

        def step() -> None:
            core.cache_frame(0, left, W, H)
            core.cache_frame(1, right, W, H)
            core.compare_cached_frames()
            core.get_diff_rgba()

        ms = median_ms(step, 301, warmup=2)
        count = 500
        start = time.perf_counter()
        for _ in range(count):
            step()
        rate = count / (time.perf_counter() - start)
        print(f"{'720p ' + kind:<22}{ms:>8.3f} ms per pair (median), {rate:>7.0f} pairs/s sustained")
    return 0


if __name__ == "__main__":
    sys.exit(main())
