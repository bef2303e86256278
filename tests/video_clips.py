"""Tiny generated clips for the video tests: frames whose picture depends only on their moment,
written with PyAV at any rate, with frames left out or added, and as image sequences."""

from fractions import Fraction

import numpy as np
import pytest

WIDTH, HEIGHT = 64, 48
TICKS_PER_SECOND = 100  # every moment used by the tests is a whole number of these


def picture(moment, width=WIDTH, height=HEIGHT):
    """The scene at ``moment`` (a Fraction of a second): a bar that moves one column per tick,
    on a background whose red level also changes each tick. Distinct for distinct ticks."""
    tick = int(moment * TICKS_PER_SECOND)
    array = np.zeros((height, width, 3), np.uint8)
    array[:, :, 0] = (tick * 37) % 256
    array[:, :, 1] = (tick * 11) % 256
    array[:, tick % width] = 255
    return array


def write_video(path, moments, rate, *, codec="ffv1", size=(WIDTH, HEIGHT), frame_maker=picture):
    """A lossless video of the scene at each moment (Fractions of a second), time base 1/rate."""
    av = pytest.importorskip("av")
    time_base = Fraction(1, rate)
    with av.open(str(path), "w") as container:
        stream = container.add_stream(codec, rate=rate)
        stream.width, stream.height = size
        stream.pix_fmt = {"ffv1": "bgr0", "png": "rgb24"}.get(codec, "yuv420p")
        stream.time_base = time_base
        for moment in moments:
            frame = av.VideoFrame.from_ndarray(frame_maker(moment, *size), format="rgb24")
            frame.pts = int(moment / time_base)
            frame.time_base = time_base
            container.mux(stream.encode(frame))
        container.mux(stream.encode(None))
    return path


def moments(count, rate, *, leave_out=(), start=0):
    """The moments of frames start .. start+count-1 at ``rate``, without those in leave_out."""
    return [
        Fraction(index, rate) for index in range(start, start + count) if index not in leave_out
    ]


def write_sequence(folder, arrays, pattern="frame{}.png"):
    """A folder of PNG images, one per array, named with the pattern."""
    image_module = pytest.importorskip("PIL.Image")
    folder.mkdir()
    for index, array in enumerate(arrays):
        image_module.fromarray(array).save(folder / pattern.format(index))
    return folder
