"""Self-contained HTML reports of a video comparison and of a batch.

A report is one HTML file with its scripts, styles, chart data and pictures inline, so it
opens from disk with no network. Callers describe a run with the plain records below; every
text from them is escaped before it reaches the page.
"""

from __future__ import annotations

import base64
import datetime
import html
import json
import math
import os
import shlex
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from importlib import resources
from typing import Any

from . import _report_charts as charts

__all__ = [
    "BatchPair",
    "BatchReport",
    "FigureStats",
    "RunInfo",
    "VideoReport",
    "WorstFrame",
    "check_report_libraries",
    "figure_stats",
    "render_batch_report",
    "render_video_report",
    "write_batch_report",
    "write_video_report",
]


@dataclass(frozen=True, slots=True)
class RunInfo:
    """How a run was made, so that a report stands on its own later."""

    command: str
    version: str
    kernel: str
    date: str

    @classmethod
    def current(cls, argv: Sequence[str]) -> RunInfo:
        """The run of this process: the command line given, this quillet, now (UTC)."""
        import quillet

        version = getattr(quillet, "__version__", None) or _installed_version()
        kernel_name = getattr(quillet, "kernel_name", None)
        kernel = kernel_name() if callable(kernel_name) else "unknown"
        now = datetime.datetime.now(datetime.UTC).replace(microsecond=0)
        return cls(shlex.join(argv), version, kernel, now.isoformat().replace("+00:00", "Z"))


def _installed_version() -> str:
    from importlib import metadata

    try:
        return metadata.version("quillet")
    except metadata.PackageNotFoundError:
        return "unknown"


@dataclass(frozen=True, slots=True)
class WorstFrame:
    """One of the worst frames: its figures and PNG pictures (thumbnails, full size if asked)."""

    frame: int
    time: float | None
    values: Mapping[str, float]
    left: bytes
    right: bytes
    diff: bytes
    left_full: bytes | None = None
    right_full: bytes | None = None
    diff_full: bytes | None = None


@dataclass(frozen=True, slots=True)
class FigureStats:
    """Mean, lowest and highest value of a figure over all frames, and its worst frame."""

    mean: float
    minimum: float
    maximum: float
    worst_frame: int | None


def figure_stats(figure: str, frames: Sequence[int], values: Sequence[float]) -> FigureStats:
    """Statistics over every frame (never over what a chart draws); NaN values are left out."""
    known = [(value, frame) for frame, value in zip(frames, values, strict=True) if value == value]
    if not known:
        return FigureStats(math.nan, math.nan, math.nan, None)
    numbers = [value for value, _ in known]
    # fsum cannot add infinities of both signs; such a mean is undefined anyway.
    if all(map(math.isfinite, numbers)):
        mean = math.fsum(numbers) / len(numbers)
    else:
        mean = _mean_of_infinite(numbers)
    # The worst frame is the first one to reach the worst value.
    if charts.higher_is_better(figure):
        worst = min(known, key=lambda pair: pair[0])
    else:
        worst = max(known, key=lambda pair: pair[0])
    return FigureStats(mean, min(numbers), max(numbers), worst[1])


def _mean_of_infinite(numbers: Sequence[float]) -> float:
    signs = {math.copysign(1.0, n) for n in numbers if math.isinf(n)}
    return math.nan if len(signs) > 1 else signs.pop() * math.inf


@dataclass(slots=True)
class VideoReport:
    """Everything the report of one video comparison shows.

    ``figures`` maps each figure's name to its value for every compared frame, in the order of
    ``frames``; ``times`` holds the left frames' times in seconds (None where unknown).
    ``summary`` holds the facts of the run as (label, text) rows. ``verdict`` is the run's
    result in words and ``passed`` whether it counts as a match (None: no verdict given);
    ``failures`` explains a failed verdict, one line each.
    """

    left_name: str
    right_name: str
    frames: Sequence[int]
    times: Sequence[float | None]
    figures: Mapping[str, Sequence[float]]
    summary: Sequence[tuple[str, str]] = ()
    thresholds: Mapping[str, float] = field(default_factory=dict)
    verdict: str = ""
    passed: bool | None = None
    failures: Sequence[str] = ()
    worst: Sequence[WorstFrame] = ()
    worst_note: str = ""  # shown instead of the worst frames when there are none
    run: RunInfo | None = None
    max_points: int = charts.DEFAULT_MAX_POINTS


@dataclass(frozen=True, slots=True)
class BatchPair:
    """One pair of a batch: its summary figures, its verdict and the link to its own page."""

    name: str
    left: str
    right: str
    figures: Mapping[str, float]
    verdict: str
    passed: bool | None = None  # None: the verdict is neither a match nor a failure
    message: str = ""
    page: str | None = None  # a path relative to the batch page


@dataclass(slots=True)
class BatchReport:
    """Everything the page of a batch shows; ``columns`` orders the figures of the table."""

    title: str
    pairs: Sequence[BatchPair]
    columns: Sequence[str]
    distribution: str | None = None  # the figure whose distribution is charted
    thresholds: Mapping[str, float] = field(default_factory=dict)
    run: RunInfo | None = None


# --- rendering ------------------------------------------------------------------------------

_ASSETS = resources.files(__package__) / "_report_assets"


def _asset(name: str) -> str:
    return (_ASSETS / name).read_text(encoding="utf-8")


def _text(value: object) -> str:
    return html.escape(str(value), quote=True)


def _number(value: float) -> str:
    if math.isnan(value):
        return "n/a"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.6g}"


def _json_for_script(value: Any) -> str:
    # Inside <script> only "</script" or "<!--" could end or confuse the element; escaping
    # every '<', '>' and '&' as JSON unicode escapes rules both out.
    text = json.dumps(value, separators=(",", ":"), allow_nan=False)
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _png_uri(data: bytes) -> str:
    return "data:image/png;base64," + base64.b64encode(data).decode("ascii")


def _page(title: str, body: str, with_charts: bool) -> str:
    scripts = f"<script>{_safe_script(charts.vega_script())}</script>\n" if with_charts else ""
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        # An empty icon: without it the browser would ask for /favicon.ico.
        '<link rel="icon" href="data:,">\n'
        f"<title>{_text(title)}</title>\n"
        f"<style>{_asset('report.css')}</style>\n"
        f"{scripts}"
        f"<script>{_safe_script(_asset('report.js'))}</script>\n"
        f"</head>\n<body>\n{body}\n</body>\n</html>\n"
    )


def _safe_script(source: str) -> str:
    # A library script that contains "</script" would end the element early.
    return source.replace("</script", "<\\/script")


def _run_section(run: RunInfo | None) -> str:
    if run is None:
        return ""
    rows = [("command", run.command), ("quillet", run.version), ("kernel", run.kernel), ("date", run.date)]
    cells = "".join(f"<tr><td>{_text(k)}</td><td><code>{_text(v)}</code></td></tr>" for k, v in rows)
    return f'<h2>How this run was made</h2>\n<table class="run">{cells}</table>'


def _verdict(verdict: str, passed: bool | None) -> str:
    if not verdict:
        return ""
    kind = "none" if passed is None else "pass" if passed else "fail"
    return f'<p><span class="verdict {kind}">{_text(verdict)}</span></p>'


_FAILURES_SHOWN = 5


def _failures_list(failures: Sequence[str]) -> str:
    """The failure lines: the first few in view, the rest behind a disclosure."""
    if not failures:
        return ""
    items = [f"<li>{_text(line)}</li>" for line in failures]
    shown = f'<ul class="failures">{"".join(items[:_FAILURES_SHOWN])}</ul>'
    if len(items) <= _FAILURES_SHOWN:
        return shown
    rest = "".join(items[_FAILURES_SHOWN:])
    return (
        f"{shown}<details><summary>{len(items) - _FAILURES_SHOWN} more lines</summary>"
        f'<ul class="failures">{rest}</ul></details>'
    )


def _stats_table(report: VideoReport) -> str:
    titles = ("figure", "mean", "min", "max", "worst frame", "threshold")
    head = "<tr>" + "".join(f"<th>{title}</th>" for title in titles) + "</tr>"
    rows = []
    for name, values in report.figures.items():
        stats = figure_stats(name, report.frames, values)
        bound = report.thresholds.get(name)
        side = "≥ " if charts.higher_is_better(name) else "≤ "
        bound_text = "" if bound is None else side + _number(bound)
        worst = "" if stats.worst_frame is None else str(stats.worst_frame)
        rows.append(
            f"<tr><td>{_text(name)}</td>"
            + "".join(
                f'<td class="number">{_number(v)}</td>'
                for v in (stats.mean, stats.minimum, stats.maximum)
            )
            + f'<td class="number">{_text(worst)}</td><td>{_text(bound_text)}</td></tr>'
        )
    return f'<table class="stats"><thead>{head}</thead><tbody>{"".join(rows)}</tbody></table>'


def _thumbnail(label: str, caption: str, thumb: bytes, full: bytes | None) -> str:
    alt = _text(f"{label}, {caption}")
    image = f'<img src="{_png_uri(thumb)}" alt="{alt}" class="{_text(label)}">'
    # The full-size picture waits in a template, so it is decoded only when opened.
    enlarged = f'<template><img src="{_png_uri(full)}" alt="{alt}"></template>' if full is not None else ""
    return f'<a class="thumb" href="#">{image}{enlarged}</a>'


def _worst_section(report: VideoReport) -> str:
    if not report.worst:
        if not report.worst_note:
            return ""
        return f'<h2>Worst frames</h2>\n<p class="note">{_text(report.worst_note)}</p>'
    blocks = []
    for worst in report.worst:
        when = f"frame {worst.frame}" + ("" if worst.time is None else f" at {worst.time:.3f} s")
        values = ", ".join(f"{name} {_number(value)}" for name, value in worst.values.items())
        caption = f"{when}: {values}"
        pictures = "".join(
            _thumbnail(label, when, thumb, full)
            for label, thumb, full in (
                ("left", worst.left, worst.left_full),
                ("right", worst.right, worst.right_full),
                ("difference", worst.diff, worst.diff_full),
            )
        )
        blocks.append(
            f'<figure><figcaption>{_text(caption)}</figcaption><div class="row">{pictures}</div></figure>'
        )
    full = any(w.left_full is not None for w in report.worst)
    note = (
        "click a picture to open it full size"
        if full
        else "click a picture to enlarge it (thumbnails only)"
    )
    return (
        f'<h2>Worst frames</h2>\n<p class="note">left, right, difference; {note}</p>\n'
        f'<div class="worst">{"".join(blocks)}</div>\n'
        '<dialog id="enlarged"><figure><img alt=""><figcaption></figcaption></figure></dialog>'
    )


def render_video_report(report: VideoReport) -> str:
    """The HTML text of a video comparison's report."""
    count = len(report.frames)
    spec, drawn = charts.video_charts_spec(
        report.frames, report.times, report.figures, report.thresholds, report.max_points
    )
    if count > report.max_points:
        note = (
            f"{count} frames; each chart draws each bucket's lowest and highest frame "
            f"({max(drawn.values(), default=0)} points at most); the summary uses every frame."
        )
    else:
        note = f"{count} frames, every one drawn."
    if any(not math.isfinite(v) for values in report.figures.values() for v in values):
        note += " Infinite values (standard PSNR of identical frames) are not drawn."
    names = (
        f'<table class="names"><tr><td>left</td><td>{_text(report.left_name)}</td></tr>'
        f"<tr><td>right</td><td>{_text(report.right_name)}</td></tr></table>"
    )
    summary_rows = "".join(f"<tr><td>{_text(k)}</td><td>{_text(v)}</td></tr>" for k, v in report.summary)
    body = (
        f"<h1>{_text(report.left_name)} vs {_text(report.right_name)}</h1>\n{names}\n"
        f"{_verdict(report.verdict, report.passed)}\n{_failures_list(report.failures)}\n"
        f'<h2>Summary</h2>\n<table class="summary">{summary_rows}</table>\n{_stats_table(report)}\n'
        f'<h2>Figures over time</h2>\n<p class="note">{_text(note)} '
        "Hover a point for its frame's figures, click it to keep them below.</p>\n"
        f'<div id="charts"></div>\n<p id="frame-details"></p>\n'
        f'<script type="application/json" class="chart-spec" data-target="charts" '
        f'data-details="frame-details">{_json_for_script(spec)}</script>\n'
        f"{_worst_section(report)}\n{_run_section(report.run)}"
    )
    return _page(f"quillet: {report.left_name} vs {report.right_name}", body, with_charts=True)


def render_batch_report(report: BatchReport) -> str:
    """The HTML text of a batch's page: the table of pairs, a distribution, the failures."""
    head = "".join(f"<th>{_text(c)}</th>" for c in ("pair", "left", "right", *report.columns, "verdict"))
    rows = []
    for pair in report.pairs:
        name = _text(pair.name)
        link = f'<a href="{_text(_relative_link(pair.page))}">{name}</a>' if pair.page else name
        figures = "".join(
            f'<td class="number" data-sort="{_sort_value(pair.figures.get(c))}">'
            f"{_number(pair.figures[c]) if c in pair.figures else ''}</td>"
            for c in report.columns
        )
        verdict = _text(pair.verdict)
        # Failed pairs sort first, then by the verdict's words.
        verdict_key = _text(("0 " if pair.passed is False else "1 ") + pair.verdict)
        rows.append(
            f'<tr class="{_outcome_class(pair.passed)}"><td data-sort="{name}">{link}</td>'
            f'<td class="location">{_text(pair.left)}</td>'
            f'<td class="location">{_text(pair.right)}</td>{figures}'
            f'<td class="verdict-cell" data-sort="{verdict_key}">{verdict}</td></tr>'
        )
    counts: dict[str, int] = {}
    for pair in report.pairs:
        counts[pair.verdict] = counts.get(pair.verdict, 0) + 1
    tally = ", ".join(f"{n} {_text(v)}" for v, n in sorted(counts.items()))
    failed = [p for p in report.pairs if p.passed is False]
    failure_items = "".join(
        f"<li><strong>{_text(p.name)}</strong> ({_text(p.verdict)})"
        f"{': ' + _text(p.message) if p.message else ''}</li>"
        for p in failed
    )
    failures = f'<h2>Failures</h2>\n<ul class="failures">{failure_items}</ul>' if failed else ""
    chart = ""
    if report.distribution is not None:
        values = [p.figures[report.distribution] for p in report.pairs if report.distribution in p.figures]
        spec = charts.batch_distribution_spec(report.distribution, values)
        chart = (
            f"<h2>Distribution</h2>\n<div id=\"distribution\"></div>\n"
            f'<script type="application/json" class="chart-spec" data-target="distribution">'
            f"{_json_for_script(spec)}</script>"
        )
    bounds = ", ".join(
        f"{name} {'≥' if charts.higher_is_better(name) else '≤'} {_number(bound)}"
        for name, bound in report.thresholds.items()
    )
    thresholds = f'<p class="note">thresholds on every frame: {_text(bounds)}</p>' if bounds else ""
    body = (
        f"<h1>{_text(report.title)}</h1>\n<p>{len(report.pairs)} pairs: {tally or 'none'}</p>\n"
        f"{thresholds}\n"
        f'<h2>Pairs</h2>\n<p class="note">Click a column header to sort by it.</p>\n'
        f'<div class="table-scroll"><table class="sortable pairs"><thead><tr>{head}</tr></thead>'
        f'<tbody>{"".join(rows)}</tbody></table></div>\n'
        f"{failures}\n{chart}\n{_run_section(report.run)}"
    )
    return _page(f"quillet: {report.title}", body, with_charts=report.distribution is not None)


def _outcome_class(passed: bool | None) -> str:
    return "other" if passed is None else "pass" if passed else "fail"


def _sort_value(value: float | None) -> str:
    # Sorting keys for figures: numbers as text JavaScript's Number() reads; "" (no value) sorts last.
    if value is None or math.isnan(value):
        return ""
    return "Infinity" if value == math.inf else "-Infinity" if value == -math.inf else repr(value)


def _relative_link(path: str) -> str:
    from urllib.parse import quote

    # Each segment percent-encoded: a name such as "a#b?.html" stays one file name, and no
    # scheme ("javascript:") can be smuggled in through a pair's name.
    return "/".join(quote(part, safe="") for part in path.replace(os.sep, "/").split("/"))


# --- writing --------------------------------------------------------------------------------


def check_report_libraries() -> None:
    """Raise ImportError naming the ``report`` extra unless every library a report needs is here.

    Called before a long comparison, so that a missing library is not found only at its end.
    """
    from ._optional import require_pillow, require_report_library

    require_report_library("an HTML report")
    require_report_library("an HTML report", module="vl_convert")
    require_pillow("the pictures of an HTML report")


def _write_text_atomically(path: str | os.PathLike[str], text: str) -> None:
    # Rendered in full first: a failure while rendering leaves no file at all.
    from ._outputs import atomic_output

    with atomic_output(path, "w", encoding="utf-8") as out:
        out.write(text)


def write_video_report(path: str | os.PathLike[str], report: VideoReport) -> None:
    """Write the report of a video comparison as one self-contained HTML file, atomically."""
    _write_text_atomically(path, render_video_report(report))


def write_batch_report(path: str | os.PathLike[str], report: BatchReport) -> None:
    """Write the page of a batch as one self-contained HTML file, atomically."""
    _write_text_atomically(path, render_batch_report(report))
