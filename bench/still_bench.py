"""Still images side by side in one run: the ``quillet compare`` command against ImageMagick's
``compare`` (decode and encode included) at 720p, 1080p, 4K and on a tall text page; the array
path (``quillet.compare`` on NumPy arrays) against OpenCV and scikit-image; and the streaming
loop from Python against the copies it must make. Medians; ratios against the tool users would
run instead, measured in the same run. Run by bench/run.sh, which installs what it needs.
"""

from __future__ import annotations

import io
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from bench_timing import median_ms
from PIL import Image, ImageDraw

import quillet
from quillet import _core, _direct

try:
    import cv2
except ImportError:  # optional: the OpenCV rows are left out
    cv2 = None
try:
    import skimage.data
    import skimage.metrics
except ImportError:  # optional: a synthetic picture and no scikit-image rows
    skimage = None

SIZES = {"720p": (1280, 720), "1080p": (1920, 1080), "4K": (3840, 2160)}
TALL = (3446, 10728)


def cpu_model() -> str:
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def photo(width: int, height: int) -> np.ndarray:
    """A photograph scaled to the size (scikit-image's sample), with a little sensor noise."""
    if skimage is not None:
        source = Image.fromarray(skimage.data.astronaut())
    else:
        x = np.linspace(0, 255, 512, dtype=np.float32)
        source = Image.fromarray(np.stack([np.add.outer(x, x) / 2] * 3, axis=2).astype(np.uint8))
    scaled = np.asarray(source.resize((width, height), Image.Resampling.BICUBIC)).astype(np.int16)
    noise = np.random.default_rng(width).integers(-2, 3, scaled.shape, dtype=np.int16)
    return np.clip(scaled + noise, 0, 255).astype(np.uint8)


def edited(image: np.ndarray) -> np.ndarray:
    """The photo re-encoded as JPEG (small changes everywhere) with one patch painted over."""
    buffer = io.BytesIO()
    Image.fromarray(image).save(buffer, "JPEG", quality=92)
    changed = np.asarray(Image.open(io.BytesIO(buffer.getvalue())).convert("RGB")).copy()
    height, width = changed.shape[:2]
    changed[height // 3 : height // 3 + height // 10, width // 2 : width // 2 + width // 8] = (250, 30, 30)
    return changed


def text_page(width: int, height: int) -> tuple[np.ndarray, np.ndarray]:
    """A tall screenshot-like page of text, and the same page with one line of text changed."""
    page = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(page)
    rng = np.random.default_rng(0)
    words = "the quick brown fox jumps over lazy dogs while seven wizards box nightly".split()
    lines = []
    for y in range(24, height - 40, 22):
        text = " ".join(rng.choice(words, 48))
        draw.text((40, y), text, fill=(30, 30, 30))
        lines.append((y, text))
    left = np.asarray(page).copy()
    y, text = lines[len(lines) // 2 + 7]
    draw.rectangle((40, y, width - 1, y + 16), fill="white")
    draw.text((40, y), text.replace("o", "0"), fill=(30, 30, 30))
    return left, np.asarray(page).copy()


# Debian's ImageMagick policy caps its pixel cache at 256 MiB of memory and 1 GiB of disk,
# which refuses the tall page ("cache resources exhausted"); the bench gives it room, as a
# user who hit that would.
MAGICK_POLICY = """<?xml version="1.0" encoding="UTF-8"?>
<policymap>
  <policy domain="resource" name="memory" value="2GiB"/>
  <policy domain="resource" name="map" value="4GiB"/>
  <policy domain="resource" name="area" value="1GP"/>
  <policy domain="resource" name="disk" value="8GiB"/>
  <policy domain="resource" name="width" value="64KP"/>
  <policy domain="resource" name="height" value="64KP"/>
</policymap>
"""


def run_checked(command: list[str], output: str, env: dict[str, str] | None = None) -> None:
    """Run a command that writes `output`; exit status 0 or 1 (different) is success."""
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                            text=True, check=False, env=env)
    if result.returncode not in (0, 1) or not os.path.exists(output):
        raise RuntimeError(f"{command[0]} failed: {result.stderr.strip()[:200]}")


def cli_table(folder: str) -> None:
    quillet_command = [sys.executable, "-m", "quillet", "compare"]
    magick = shutil.which("compare")
    policy_folder = os.path.join(folder, "magick-policy")
    os.makedirs(policy_folder)
    with open(os.path.join(policy_folder, "policy.xml"), "w") as policy:
        policy.write(MAGICK_POLICY)
    magick_env = {**os.environ, "MAGICK_CONFIGURE_PATH": policy_folder}
    print("\n## quillet compare A B --diff D.png vs ImageMagick compare -metric PSNR A B D.png")
    print("(PNG inputs written by Pillow at its default level; decode, compare and encode included;")
    print("ImageMagick's pixel cache limits raised so that it can take the tall page)\n")
    print("| image | quillet ms | ImageMagick ms | ImageMagick / quillet | quillet D.png | ImageMagick D.png |")
    print("|---|---:|---:|---:|---:|---:|")
    cases = [(name, *size, False) for name, size in SIZES.items()]
    cases += [("tall page, picture reduced", *TALL, False), ("tall page, --diff-full-size", *TALL, True)]
    made: dict[tuple[int, int], tuple[str, str]] = {}
    for name, width, height, full_size in cases:
        if (width, height) not in made:
            if (width, height) == TALL:
                left, right = text_page(width, height)
            else:
                left = photo(width, height)
                right = edited(left)
            paths = (os.path.join(folder, f"{width}x{height}-a.png"), os.path.join(folder, f"{width}x{height}-b.png"))
            Image.fromarray(left).save(paths[0])
            Image.fromarray(right).save(paths[1])
            made[(width, height)] = paths
        a, b = made[(width, height)]
        ours, theirs = os.path.join(folder, "quillet-diff.png"), os.path.join(folder, "magick-diff.png")
        extra = ["--diff-full-size"] if full_size else []
        runs = 5 if width * height <= 1920 * 1080 else 3
        for stale in (ours, theirs):
            if os.path.exists(stale):
                os.unlink(stale)
        quillet_ms = median_ms(lambda: run_checked([*quillet_command, a, b, "--diff", ours, *extra], ours), runs)
        magick_ms, ratio, magick_size = "-", "-", "-"
        if magick:
            command = [magick, "-metric", "PSNR", a, b, theirs]
            try:
                measured = median_ms(lambda: run_checked(command, theirs, magick_env), runs)
            except RuntimeError as error:
                magick_ms = str(error)
            else:
                magick_ms, ratio = f"{measured:.0f}", f"{measured / quillet_ms:.2f}"
                magick_size = f"{os.path.getsize(theirs) / 1e6:.2f} MB"
        print(f"| {name} {width}x{height} | {quillet_ms:.0f} | {magick_ms} | {ratio} | "
              f"{os.path.getsize(ours) / 1e6:.2f} MB | {magick_size} |")


def picture_encoding_table(folder: str) -> None:
    """What the fast PNG setting costs in file size, on the 1080p photo's picture."""
    left = photo(1920, 1080)
    _, diff = quillet.compare_with_diff(left, edited(left))
    image = diff.to_image()
    print("\n## The 1080p difference picture (1280x720) written as PNG\n")
    print("| writer | ms | bytes |")
    print("|---|---:|---:|")
    from quillet._png import write_rgba_png

    path = os.path.join(folder, "picture.png")
    for label, body in [
        ("quillet streaming writer, zlib level 1", lambda: write_rgba_png(path, diff.rgba, diff.width, diff.height)),
        ("Pillow, compress_level=1", lambda: image.save(path, compress_level=1)),
        ("Pillow, default (level 6)", lambda: image.save(path)),
    ]:
        ms = median_ms(body, 5)
        print(f"| {label} | {ms:.1f} | {os.path.getsize(path)} |")


def array_table() -> None:
    print("\n## Arrays in memory: quillet.compare on uint8 (H, W, 3) arrays vs OpenCV and scikit-image\n")
    header = "| size | compare ms | compare_with_diff ms | with_diff / compare |"
    header += " OpenCV absdiff+grey+colour map ms | compare / OpenCV | cv2.PSNR ms |" if cv2 else ""
    header += " skimage PSNR ms |" if skimage else ""
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    for name, (width, height) in SIZES.items():
        left = photo(width, height)
        right = edited(left)
        runs = 30 if width <= 1920 else 10
        ours = median_ms(lambda: quillet.compare(left, right), runs)
        with_diff = median_ms(lambda: quillet.compare_with_diff(left, right), runs)
        row = f"| {name} | {ours:.2f} | {with_diff:.2f} | {with_diff / ours:.2f} |"
        if cv2:
            def opencv_picture() -> None:
                grey = cv2.cvtColor(cv2.absdiff(left, right), cv2.COLOR_RGB2GRAY)
                cv2.applyColorMap(grey, cv2.COLORMAP_JET)

            theirs = median_ms(opencv_picture, runs)
            psnr = median_ms(lambda: cv2.PSNR(left, right), runs)
            row += f" {theirs:.2f} | {ours / theirs:.2f} | {psnr:.2f} |"
        if skimage:
            row += f" {median_ms(lambda: skimage.metrics.peak_signal_noise_ratio(left, right), max(3, runs // 5)):.2f} |"
        print(row)


def picture_cases(width: int, height: int) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """Pairs whose picture costs differ: changes in a few clusters, everywhere, nowhere."""
    rng = np.random.default_rng(width + height)
    left = photo(width, height)
    clustered = left.copy()
    # Five patches of noise, each a tenth of the width and of the height: 5 % of the pixels.
    for _ in range(5):
        y = int(rng.integers(0, height - height // 10))
        x = int(rng.integers(0, width - width // 10))
        clustered[y : y + height // 10, x : x + width // 10] = rng.integers(
            0, 256, (height // 10, width // 10, 3), dtype=np.uint8)
    random_pair = (rng.integers(0, 256, left.shape, dtype=np.uint8),
                   rng.integers(0, 256, left.shape, dtype=np.uint8))
    return {"5 % changed in clusters": (left, clustered), "random (differ everywhere)": random_pair,
            "identical": (left, left.copy()), "photo vs JPEG re-encode + patch": (left, edited(left))}


def picture_cost_table(rounds: int = 200) -> None:
    """compare_with_diff against compare on the same arrays, interleaved call by call."""
    print("\n## The difference picture's cost: compare_with_diff against compare on the same arrays\n")
    print(f"({rounds} rounds of one call each, interleaved; median times, the median of the "
          "per-round ratios, and the ratio of the fastest calls, which other jobs disturbed least)\n")
    print("| size | frames | compare ms | compare_with_diff ms | with_diff / compare | fastest / fastest |")
    print("|---|---|---:|---:|---:|---:|")
    for name in ("720p", "1080p"):
        width, height = SIZES[name]
        for label, (left, right) in picture_cases(width, height).items():
            def timed(body) -> float:
                start = time.perf_counter()
                body(left, right)
                return (time.perf_counter() - start) * 1000.0

            for _ in range(5):
                timed(quillet.compare)
                timed(quillet.compare_with_diff)
            plain, with_diff, ratios = [], [], []
            for _ in range(rounds):
                plain.append(timed(quillet.compare))
                with_diff.append(timed(quillet.compare_with_diff))
                ratios.append(with_diff[-1] / plain[-1])
            print(f"| {name} | {label} | {statistics.median(plain):.3f} | "
                  f"{statistics.median(with_diff):.3f} | {statistics.median(ratios):.2f} | "
                  f"{min(with_diff) / min(plain):.2f} |")


def streaming_table() -> None:
    print("\n## Streaming from Python: cache_frame x 2, compare, picture vs the copies it must make\n")
    print("| size | loop ms | floor ms (2 frame copies + 1 pass + 1 picture copy) | loop / floor |")
    print("|---|---:|---:|---:|")
    for name, (width, height) in SIZES.items():
        left = photo(width, height)
        right = edited(left)
        left_bytes, right_bytes = left.tobytes(), right.tobytes()
        _core.init_frame_cache(width, height)

        def loop() -> None:
            _core.cache_frame(0, left_bytes, width, height)
            _core.cache_frame(1, right_bytes, width, height)
            _core.compare_cached_frames()
            _core.get_diff_rgba()

        left_copy, right_copy = np.empty_like(left), np.empty_like(right)
        picture = bytearray(quillet.compared_size(width, height)[0] * quillet.compared_size(width, height)[1] * 4)

        def floor() -> None:
            np.copyto(left_copy, left)
            np.copyto(right_copy, right)
            _direct.compare(left_copy, right_copy, width, height)
            bytes(picture)

        runs = 30 if width <= 1920 else 10
        loop_ms, floor_ms = median_ms(loop, runs), median_ms(floor, runs)
        print(f"| {name} | {loop_ms:.2f} | {floor_ms:.2f} | {loop_ms / floor_ms:.2f} |")
        _core.clear_frame_cache()


def main() -> None:
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"# Still images: {cpu_model()}, {os.cpu_count()} cores, load average {load:.1f}, "
          f"kernel {os.environ.get('QUILLET_KERNEL', 'auto')}")
    with tempfile.TemporaryDirectory(prefix="quillet-still-bench-") as folder:
        cli_table(folder)
        picture_encoding_table(folder)
    array_table()
    picture_cost_table()
    streaming_table()


if __name__ == "__main__":
    main()
