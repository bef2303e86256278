"""Acceptance thresholds: the one rule that decides whether figures are close enough.

``Metrics.within()`` and every command line verdict go through :class:`Thresholds`, so a bound
means the same thing everywhere: a ``min_*`` bound holds when the figure is at least the bound,
a ``max_*`` bound when it is at most the bound (bounds included). A figure that is NaN meets no
bound.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass, fields
from typing import Any, Literal

__all__ = ["THRESHOLD_FIGURES", "Thresholds"]

# Each threshold field: the figure it bounds and which side of the bound is acceptable.
THRESHOLD_FIGURES: dict[str, tuple[str, Literal["min", "max"]]] = {
    "min_ssim": ("ssim", "min"),
    "min_psnr": ("psnr", "min"),
    "max_mse": ("mse", "max"),
    "max_diff": ("max_diff", "max"),
    "min_psnr_rgb": ("psnr_rgb", "min"),
    "min_ssim_rgb": ("ssim_rgb", "min"),
}


def _format_bound(bound: float) -> str:
    """A bound as the user would have typed it: 35 rather than 35.0, every digit kept."""
    if bound.is_integer() and abs(bound) < 1e15:
        return str(int(bound))
    return repr(bound)


def _format_figure(value: float, bound_text: str) -> str:
    """Six significant digits, or every digit when six would print the bound itself.

    A figure just past its bound must not read as equal to it ("max_diff 100 > 100").
    """
    text = f"{value:.6g}"
    if text == bound_text or (not math.isnan(value) and float(text) == float(bound_text)):
        return repr(float(value))
    return text


def _figure_value(values: Mapping[str, float] | Any, figure: str) -> float:
    try:
        value = values[figure] if isinstance(values, Mapping) else getattr(values, figure)
    except (KeyError, AttributeError):
        raise ValueError(
            f"a threshold on {figure} was given but the figures have no {figure}"
        ) from None
    return float(value)


@dataclass(frozen=True, slots=True)
class Thresholds:
    """Bounds on the comparison figures; a field left at None is not checked.

    Every bound must be a finite number: a NaN bound would fail (or, negated, pass) everything
    in silence, and an infinite one cannot be written to strict JSON.
    """

    min_ssim: float | None = None
    min_psnr: float | None = None
    max_mse: float | None = None
    max_diff: float | None = None
    min_psnr_rgb: float | None = None
    min_ssim_rgb: float | None = None

    def __post_init__(self) -> None:
        for field in fields(self):
            bound = getattr(self, field.name)
            if bound is None:
                continue
            if isinstance(bound, bool) or not isinstance(bound, (int, float)):
                raise TypeError(
                    f"the {field.name} threshold must be a number, not {type(bound).__name__}"
                )
            if not math.isfinite(bound):
                raise ValueError(
                    f"the {field.name} threshold must be a finite number, got {bound}"
                )
            object.__setattr__(self, field.name, float(bound))

    @property
    def is_empty(self) -> bool:
        """Whether no bound is set (then only identical input counts as a match)."""
        return all(getattr(self, name) is None for name in THRESHOLD_FIGURES)

    def given(self) -> dict[str, float]:
        """The bounds that are set, by field name, in a fixed order."""
        return {
            name: bound
            for name in THRESHOLD_FIGURES
            if (bound := getattr(self, name)) is not None
        }

    def failures(self, values: Mapping[str, float] | Any) -> list[str]:
        """One line per bound that ``values`` misses, e.g. ``psnr 31.2 < 35 (--min-psnr)``.

        ``values`` is a mapping from figure name to value or an object with the figures as
        attributes (:class:`~quillet.Metrics`). Raises ValueError when a bound is set on a
        figure that ``values`` lacks. An empty list means every bound holds.
        """
        lines = []
        for name, bound in self.given().items():
            figure, side = THRESHOLD_FIGURES[name]
            value = _figure_value(values, figure)
            # Written as "not (acceptable)" so that a NaN figure fails every bound.
            if side == "min":
                missed, relation = not value >= bound, "<"
            else:
                missed, relation = not value <= bound, ">"
            if missed:
                bound_text = _format_bound(bound)
                option = "--" + name.replace("_", "-")
                lines.append(
                    f"{figure} {_format_figure(value, bound_text)} {relation} {bound_text} ({option})"
                )
        return lines

    @property
    def bounds_standard_figures(self) -> bool:
        """Whether a bound is set on a standard figure, which must then be computed."""
        from ._standard import STANDARD_FIGURES

        return any(THRESHOLD_FIGURES[name][0] in STANDARD_FIGURES for name in self.given())

    def hold(self, values: Mapping[str, float] | Any) -> bool:
        """Whether every bound that is set holds for ``values``."""
        return not self.failures(values)
