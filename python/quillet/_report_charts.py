"""Charts of a report: what is drawn of long series, and the Vega-Lite chart definitions.

Charts are Vega-Lite chart definitions built with Altair and drawn in the page by the Vega
libraries that vl-convert ships as one script, so a report needs no network when opened.
Only what is drawn is thinned out: summaries are always computed from every frame.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

from ._optional import require_report_library

__all__ = [
    "DEFAULT_MAX_POINTS",
    "FRAMES_DATASET",
    "batch_distribution_spec",
    "drawn_indices",
    "higher_is_better",
    "points_mark_name",
    "video_charts_spec",
    "vega_script",
]

DEFAULT_MAX_POINTS = 1000
"""Points drawn per chart at most; longer series keep each bucket's lowest and highest frame."""

FRAMES_DATASET = "frames"
CHART_WIDTH = 860
CHART_HEIGHT = 170


def higher_is_better(figure: str) -> bool:
    """Whether a larger value of the figure means the frames are closer (ssim and psnr figures)."""
    return figure.startswith(("ssim", "psnr"))


def points_mark_name(figure: str) -> str:
    """The name of the chart layer whose marks are the figure's drawn points."""
    return f"points_{figure}"


def drawn_indices(values: Sequence[float], max_points: int = DEFAULT_MAX_POINTS) -> list[int]:
    """Positions of the values to draw: all of them when they fit, else each bucket's extremes.

    The series is cut into ``max_points // 2`` buckets of consecutive frames; each bucket keeps
    its lowest and its highest finite value (one position when they coincide), so every dip and
    every peak stays visible however long the series. Non-finite values are never drawn.
    """
    if max_points < 2:
        raise ValueError(f"max_points must be at least 2, not {max_points}")
    count = len(values)
    if count <= max_points:
        return [i for i in range(count) if math.isfinite(values[i])]
    buckets = max_points // 2
    chosen: list[int] = []
    for bucket in range(buckets):
        start = bucket * count // buckets
        stop = (bucket + 1) * count // buckets
        low = high = -1
        for i in range(start, stop):
            value = values[i]
            if not math.isfinite(value):
                continue
            if low < 0 or value < values[low]:
                low = i
            if high < 0 or value > values[high]:
                high = i
        chosen.extend(sorted({i for i in (low, high) if i >= 0}))
    return chosen


def _rounded(value: float) -> float | None:
    # Six significant digits are plenty on a chart and keep the embedded data small.
    return float(f"{value:.6g}") if math.isfinite(value) else None


def video_rows(
    frames: Sequence[int],
    times: Sequence[float | None],
    figures: Mapping[str, Sequence[float]],
    max_points: int = DEFAULT_MAX_POINTS,
) -> tuple[list[dict[str, Any]], dict[str, int]]:
    """The rows drawn by the charts and the number of points each figure's chart draws.

    Every row is one frame with all its figures (so a point's tooltip shows the whole frame)
    and ``drawn``, a bit mask of the charts that draw it (bit i: the i-th figure).
    """
    masks: dict[int, int] = {}
    counts: dict[str, int] = {}
    for bit, (name, values) in enumerate(figures.items()):
        chosen = drawn_indices(values, max_points)
        counts[name] = len(chosen)
        for position in chosen:
            masks[position] = masks.get(position, 0) | (1 << bit)
    rows = []
    for position in sorted(masks):
        row: dict[str, Any] = {"frame": frames[position], "drawn": masks[position]}
        time = times[position] if position < len(times) else None
        if time is not None:
            row["time"] = _rounded(time)
        for name, values in figures.items():
            row[name] = _rounded(values[position])
        rows.append(row)
    return rows, counts


def video_charts_spec(
    frames: Sequence[int],
    times: Sequence[float | None],
    figures: Mapping[str, Sequence[float]],
    thresholds: Mapping[str, float],
    max_points: int = DEFAULT_MAX_POINTS,
) -> tuple[dict[str, Any], dict[str, int]]:
    """One chart per figure over the frames, thresholds as rules; with the points drawn per chart."""
    alt = require_report_library("an HTML report")
    rows, counts = video_rows(frames, times, figures, max_points)
    on_time = bool(frames) and all(t is not None for t in times)
    x_field, x_title = ("time", "time (s)") if on_time else ("frame", "frame")
    tooltip = [alt.Tooltip("frame:Q", title="frame")]
    if on_time:
        tooltip.append(alt.Tooltip("time:Q", title="time (s)", format=".3f"))
    tooltip += [alt.Tooltip(f"{name}:Q", title=name, format=".6g") for name in figures]
    source = alt.NamedData(name=FRAMES_DATASET)
    charts = []
    for bit, name in enumerate(figures):
        drawn = alt.Chart(source).transform_filter(f"(datum.drawn & {1 << bit}) != 0")
        x = alt.X(f"{x_field}:Q", title=x_title)
        y = alt.Y(f"{name}:Q", title=name, scale=alt.Scale(zero=False))
        line = drawn.mark_line(strokeWidth=1, color="#4c78a8").encode(x=x, y=y)
        points = (
            drawn.mark_point(filled=True, size=14, color="#4c78a8")
            .encode(x=x, y=y, tooltip=tooltip)
            .properties(name=points_mark_name(name))
        )
        layers = [line, points]
        bound = thresholds.get(name)
        if bound is not None and math.isfinite(bound):
            rule_data = alt.Data(values=[{"bound": bound}])
            layers.append(
                alt.Chart(rule_data)
                .mark_rule(color="#d62728", strokeDash=[6, 4])
                .encode(y="bound:Q", tooltip=alt.Tooltip("bound:Q", title=f"{name} threshold"))
            )
        charts.append(
            alt.layer(*layers).properties(
                width=CHART_WIDTH,
                height=CHART_HEIGHT,
                title=alt.TitleParams(name, anchor="start"),
            )
        )
    spec: dict[str, Any] = alt.vconcat(*charts).resolve_scale(x="shared").to_dict()
    spec["datasets"] = {FRAMES_DATASET: rows}
    return spec, counts


def batch_distribution_spec(figure: str, values: Sequence[float]) -> dict[str, Any]:
    """A histogram of one summary figure over the pairs of a batch."""
    alt = require_report_library("an HTML report")
    rows = [{figure: _rounded(v)} for v in values if math.isfinite(v)]
    chart = (
        alt.Chart(alt.NamedData(name=FRAMES_DATASET))
        .mark_bar(color="#4c78a8")
        .encode(
            x=alt.X(f"{figure}:Q", bin=alt.Bin(maxbins=30), title=figure),
            y=alt.Y("count():Q", title="pairs"),
            tooltip=[alt.Tooltip("count():Q", title="pairs")],
        )
        .properties(width=CHART_WIDTH, height=200, title=f"distribution of {figure}", name="bars")
    )
    spec: dict[str, Any] = chart.to_dict()
    spec["datasets"] = {FRAMES_DATASET: rows}
    return spec


def vega_script() -> str:
    """The Vega, Vega-Lite and vega-embed libraries as one script, matching Altair's schema.

    vl-convert bundles the script in a few seconds, so the result is kept in the user's cache
    folder, one file per vl-convert and Vega-Lite version; without a usable cache folder it is
    bundled every time.
    """
    alt = require_report_library("an HTML report")
    vl_convert = require_report_library("an HTML report", module="vl_convert")
    version = "_".join(alt.SCHEMA_VERSION.split(".")[:2])
    cached = _cache_folder() / f"vega-{vl_convert.__version__}-{version}.js"
    try:
        return cached.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError):
        pass
    script: str = vl_convert.javascript_bundle(vl_version=version)
    try:
        from ._outputs import atomic_output

        cached.parent.mkdir(parents=True, exist_ok=True)
        with atomic_output(cached, "w", encoding="utf-8") as out:
            out.write(script)
    except OSError:
        pass  # a cache that cannot be written only costs the bundling next time
    return script


def _cache_folder() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "quillet"
