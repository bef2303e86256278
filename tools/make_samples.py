"""Draw the two sample frames that ``quillet demo`` compares (needs Pillow).

Usage: python tools/make_samples.py [OUTPUT_DIR]   (default: python/quillet/samples)

The left frame is a small scene; the right one is the same scene with the ball moved, the sign
recoloured, a patch of fine noise (as an encoder might leave) and a faint brightness shift on the
hill that stays below the change threshold. The drawing is deterministic.
"""

from __future__ import annotations

import random
import sys
from pathlib import Path

from PIL import Image, ImageDraw

WIDTH, HEIGHT = 480, 270


def draw_scene(ball_x: int, sign_colour: tuple[int, int, int]) -> Image.Image:
    """The scene with the ball at ``ball_x`` and the sign in ``sign_colour``."""
    image = Image.new("RGB", (WIDTH, HEIGHT))
    draw = ImageDraw.Draw(image)
    for y in range(HEIGHT):
        shade = y / HEIGHT
        draw.line(
            [(0, y), (WIDTH, y)],
            fill=(int(90 + 80 * shade), int(150 + 70 * shade), 235),
        )
    draw.ellipse([380, 28, 440, 88], fill=(255, 214, 90))
    draw.ellipse([-120, 170, 300, 420], fill=(86, 160, 70))
    draw.ellipse([200, 190, 640, 430], fill=(70, 140, 60))
    draw.rectangle([70, 120, 170, 200], fill=(200, 120, 80))
    draw.polygon([(60, 120), (120, 75), (180, 120)], fill=(150, 50, 45))
    draw.rectangle([105, 160, 130, 200], fill=(90, 60, 40))
    draw.rectangle([300, 140, 305, 215], fill=(110, 90, 70))
    draw.rectangle([270, 120, 340, 150], fill=sign_colour)
    draw.text((281, 129), "quillet", fill=(255, 255, 255))
    draw.ellipse(
        [ball_x, 215, ball_x + 30, 245], fill=(230, 40, 40), outline=(120, 10, 10)
    )
    return image


def make_pair() -> tuple[Image.Image, Image.Image]:
    """The left and the right sample frame."""
    left = draw_scene(ball_x=200, sign_colour=(40, 90, 200))
    right = draw_scene(ball_x=226, sign_colour=(40, 150, 120))
    pixels = right.load()
    assert pixels is not None
    noise = random.Random(5)
    for y in range(30, 100):
        for x in range(30, 150):
            r, g, b = pixels[x, y]
            shift = noise.randint(-60, 60)
            pixels[x, y] = (max(0, min(255, r + shift)), max(0, min(255, g + shift)), b)
    # Too faint to count as a change: the picture keeps the left frame's colours here.
    for y in range(230, HEIGHT):
        for x in range(330, 470):
            r, g, b = pixels[x, y]
            pixels[x, y] = (r + 20, g + 20, b + 20)
    return left, right


def main() -> None:
    """Write left.png and right.png."""
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("python/quillet/samples")
    output.mkdir(parents=True, exist_ok=True)
    left, right = make_pair()
    left.save(output / "left.png", optimize=True)
    right.save(output / "right.png", optimize=True)


if __name__ == "__main__":
    main()
