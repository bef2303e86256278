"""The comparison's fixed limits, in a module of their own so that the command line's help
can name them without loading the comparison API."""

__all__ = ["MAX_COMPARED_HEIGHT", "MAX_COMPARED_WIDTH", "MAX_SQUARED_DISTANCE"]

MAX_COMPARED_WIDTH = 1280
"""Frames wider than this (or taller than :data:`MAX_COMPARED_HEIGHT`) are compared reduced."""
MAX_COMPARED_HEIGHT = 720
"""See :data:`MAX_COMPARED_WIDTH`."""

MAX_SQUARED_DISTANCE = 195075
"""The largest squared RGB distance of one pixel, 3 * 255**2: the upper bound of ``max_diff``."""
