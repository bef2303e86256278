"""``quillet demo``: compare the two bundled sample frames and write their difference picture."""

from __future__ import annotations

import argparse
from importlib import resources

from ._api import compare_with_diff
from ._cli_common import (
    EXIT_SAME,
    EXPLANATIONS,
    FIGURES,
    format_figure,
)
from ._frames import Frame
from ._outputs import check_outputs, check_picture_format, save_picture

__all__ = ["run"]


def run(args: argparse.Namespace) -> int:
    """Compare the sample frames, write the picture to args.out; return the exit status."""
    check_outputs(inputs=[], outputs=[args.out])
    check_picture_format(args.out)
    samples = resources.files("quillet") / "samples"
    frames = []
    for name in ("left.png", "right.png"):
        with resources.as_file(samples / name) as path:
            frames.append(Frame.open(path))
    left, right = frames
    metrics, picture = compare_with_diff(left, right)
    save_picture(picture, args.out)
    print(
        f"Compared two {left.width}x{left.height} sample frames shipped with quillet: a scene, and "
        "the same scene with the ball moved, the sign recoloured and a patch of noise."
    )
    for name in FIGURES:
        value = format_figure(name, getattr(metrics, name))
        print(f"  {name:<9}{value:>14}   {EXPLANATIONS[name]}")
    print(
        f"Difference picture: {args.out}\n"
        "  where the frames agree it shows the left frame; where they differ, a heat colour\n"
        "  from blue (small) through green to red (the largest difference)."
    )
    print("Next: quillet compare LEFT.png RIGHT.png --diff diff.png")
    return EXIT_SAME
