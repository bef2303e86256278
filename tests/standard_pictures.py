"""Real photographs from scikit-image and degraded versions of them, made in the tests."""

from __future__ import annotations

import io

import numpy as np
import pytest

skimage_data = pytest.importorskip("skimage.data")
Image = pytest.importorskip("PIL.Image")

# (name, rows, columns): whole pictures and crops with odd sides.
PHOTOS = [
    ("astronaut", 512, 512),
    ("coffee", 400, 600),
    ("chelsea", 300, 451),
    ("astronaut", 101, 77),
    ("coffee", 33, 13),
    ("chelsea", 11, 11),
    ("astronaut", 12, 29),
]


def photo(name: str, rows: int, columns: int) -> np.ndarray:
    picture = getattr(skimage_data, name)()
    return np.ascontiguousarray(picture[:rows, :columns, :3])


def jpeg_degraded(picture: np.ndarray, quality: int) -> np.ndarray:
    buffer = io.BytesIO()
    Image.fromarray(picture).save(buffer, format="JPEG", quality=quality)
    buffer.seek(0)
    return np.asarray(Image.open(buffer).convert("RGB"))


def photo_pairs() -> list:
    """pytest params: (reference, degraded) photographs at JPEG quality 30 and 70."""
    params = []
    for name, rows, columns in PHOTOS:
        for quality in (30, 70):
            params.append(
                pytest.param(name, rows, columns, quality, id=f"{name}-{columns}x{rows}-q{quality}")
            )
    return params


def luma(picture: np.ndarray) -> np.ndarray:
    """BT.709 luma in float64, in the order the library uses: (0.2126 R + 0.7152 G) + 0.0722 B."""
    rgb = picture.astype(np.float64)
    return 0.2126 * rgb[..., 0] + 0.7152 * rgb[..., 1] + 0.0722 * rgb[..., 2]
