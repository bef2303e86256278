"""The comparison's fixed limits, in a module of their own so that the command line's help
can name them without loading the comparison API."""

__all__ = [
    "DEFAULT_MAX_PIXELS",
    "MAX_COMPARED_HEIGHT",
    "MAX_COMPARED_WIDTH",
    "MAX_SQUARED_DISTANCE",
]

MAX_COMPARED_WIDTH = 1280
"""Frames wider than this (or taller than :data:`MAX_COMPARED_HEIGHT`) are compared reduced."""
MAX_COMPARED_HEIGHT = 720
"""See :data:`MAX_COMPARED_WIDTH`."""

MAX_SQUARED_DISTANCE = 195075
"""The largest squared RGB distance of one pixel, 3 * 255**2: the upper bound of ``max_diff``."""

DEFAULT_MAX_PIXELS = 120_000_000
"""The default limit on the pixels of one image: 120 megapixels.

It admits 100-megapixel photos (11648 x 8736) and 12K video frames (12288 x 6480) and refuses
the pictures that only a malformed or hostile file claims. Reading costs about 7 bytes per pixel
(Pillow's 4 plus 3 of packed RGB), so a pair at the limit needs about 1.7 GB. It lies below
Pillow's own refusal (twice ``PIL.Image.MAX_IMAGE_PIXELS``, 179 megapixels by default), so
the message users see is this limit's.
"""
