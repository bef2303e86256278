"""Make the README's report screenshot: two generated clips, quillet video --report, headless Chromium.

Usage: python tools/report_screenshot.py [OUTPUT.png]   (default: docs/images/report.png)

The left clip is a lossless 10-second scene; the right one is the same scene through MPEG-4 at a
low bit rate. Grain grows in the second half, which the encoder cannot keep, so the quality
drops there and the report has something to show. Needs the `video`, `report`
and `test` extras and Debian's chromium and chromium-driver.
"""

from __future__ import annotations

import os
import sys
import tempfile
from fractions import Fraction
from pathlib import Path

import av
import numpy as np
from PIL import Image

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from test_report_browser import open_report, start_browser  # noqa: E402

from quillet.cli import main as quillet  # noqa: E402

WIDTH, HEIGHT, RATE, SECONDS = 320, 180, 25, 10


def scene(index: int) -> np.ndarray:
    """A moving gradient with a bouncing square and fine stripes (hard for a coarse encoder)."""
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH]
    frame = np.empty((HEIGHT, WIDTH, 3), np.uint8)
    frame[..., 0] = (x + 2 * index) % 256
    frame[..., 1] = (y * 1.4 + index) % 256
    frame[..., 2] = 128 + 100 * np.sin((x + y + 3 * index) / 3.0)
    left = int((WIDTH - 60) * (0.5 + 0.5 * np.sin(index / 20)))
    frame[60:120, left : left + 60] = (250, 230, 40)
    grain = max(0, index - RATE * SECONDS // 2) // 4
    if grain:
        noise = np.random.default_rng(index).integers(-grain, grain + 1, frame.shape)
        frame = np.clip(frame.astype(np.int16) + noise, 0, 255).astype(np.uint8)
    return frame


def write_clip(path: Path, codec: str, bit_rate: int | None) -> None:
    with av.open(str(path), "w") as container:
        stream = container.add_stream(codec, rate=RATE)
        stream.width, stream.height = WIDTH, HEIGHT
        stream.pix_fmt = "bgr0" if codec == "ffv1" else "yuv420p"
        stream.time_base = Fraction(1, RATE)
        if bit_rate:
            stream.bit_rate = bit_rate
        for index in range(RATE * SECONDS):
            frame = av.VideoFrame.from_ndarray(scene(index), format="rgb24")
            frame.pts = index
            container.mux(stream.encode(frame))
        container.mux(stream.encode(None))


def main() -> None:
    output = Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "docs/images/report.png").resolve()
    with tempfile.TemporaryDirectory() as folder:
        reference, encoded = Path(folder) / "reference.mkv", Path(folder) / "encoded.mp4"
        write_clip(reference, "ffv1", None)
        write_clip(encoded, "mpeg4", 1_500_000)
        report = Path(folder) / "report.html"
        os.chdir(folder)  # short names in the report
        quillet(["video", reference.name, encoded.name, "--min-psnr", "20", "--report", report.name])
        browser = start_browser()
        try:
            open_report(browser, report)
            height = browser.execute_script("return document.documentElement.scrollHeight")
            browser.set_window_size(1000, height + 140)  # the whole page in one picture
            open_report(browser, report)
            shot = Path(folder) / "shot.png"
            browser.save_screenshot(str(shot))
        finally:
            browser.quit()
        # Smaller for the repository: 70 % of the size, 256 colours.
        image = Image.open(shot).convert("RGB")
        image = image.resize((700, round(image.height * 700 / image.width)), Image.Resampling.LANCZOS)
        image.quantize(256, Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE).save(output, optimize=True)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
