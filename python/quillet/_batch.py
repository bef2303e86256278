"""Many pairs on a Dask cluster: one task per pair, each writing its frames to Parquet, and a
table of pairs that survives crashes and lets the next run resume where this one stopped.

The driver checks every pair before anything runs, skips pairs whose results already match
their inputs, runs the rest as one task each (on a local cluster it starts, or on the caller's
``distributed.Client``) and writes ``pairs.parquet`` from the rows the tasks return. A task
writes ``frames/NAME.parquet`` under a temporary name and renames it when complete, so a worker
killed in the middle leaves nothing half-written, and the rerun Dask makes of its task writes
the same file again: nothing is lost, nothing counted twice. With a report, each task also
writes its pair's page, worst-frame pictures included, before its frames file is renamed into
place, and the driver writes the batch's page after the run.
"""

from __future__ import annotations

import json
import os
import signal
import socket
import sys
import threading
import time
import uuid
from collections.abc import Callable, Iterable, Iterator, Mapping
from contextlib import ExitStack, contextmanager
from dataclasses import asdict, dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._locations import fetched, is_url
from ._manifest import BatchPair, PairLike, check_pairs, pairs_from, read_manifest
from ._outputs import atomic_output, check_outputs
from ._report import RunInfo, check_report_libraries
from ._report_batch import (
    PAGE_STAMP_KEY,
    REPORT_FILE,
    REPORTS_FOLDER,
    pair_page_file,
    write_batch_pages,
    write_compared_pair_page,
)
from ._report_video import VideoReportCollector
from ._standard import STANDARD_FIGURES
from ._thresholds import Thresholds
from ._video import PairRecord, VideoOptions, VideoSummary, compare_videos

if TYPE_CHECKING:
    import pyarrow as pa
    from distributed import Client

__all__ = [
    "BUILT_IN_FIGURES",
    "FRAMES_FOLDER",
    "PAIRS_FILE",
    "STANDARD_FIGURES",
    "BatchInterrupted",
    "PairPages",
    "batch_status",
    "frame_schema",
    "pair_verdict",
    "pairs_schema",
    "run_batch",
    "run_pair",
]

BUILT_IN_FIGURES = ("ssim", "psnr", "mse", "max_diff")
# Figures where a lower value is worse; for the others (mse, max_diff) a higher one is.
_HIGHER_IS_BETTER = frozenset({"ssim", "psnr", *STANDARD_FIGURES})

FRAMES_FOLDER = "frames"
PAIRS_FILE = "pairs.parquet"
_INPUTS_KEY = b"quillet.batch.inputs"
_ROW_KEY = b"quillet.batch.pair"
_ROWS_PER_BATCH = 4096
# Reruns of a task that raised (a full disk, a lost connection); a task whose worker died is
# rerun by the scheduler itself, up to its allowed-failures setting.
_TASK_RETRIES = 2

VERDICT_IDENTICAL = "identical"
VERDICT_WITHIN = "within thresholds"
VERDICT_DIFFERENT = "different"
VERDICT_ERROR = "error"


def _require(module: str, purpose: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(
            f"{purpose} needs {module.split('.')[0]}, which is not installed; "
            "install it with: pip install 'quillet[batch]'"
        ) from error


# --- tables ------------------------------------------------------------------------------


def frame_schema(standard: bool) -> pa.Schema:
    """Columns of ``frames/NAME.parquet``: one row per compared frame pair."""
    pa = _require("pyarrow", "batch results")
    columns = [
        ("frame", pa.int64()),
        ("left_time", pa.float64()),
        ("right_index", pa.int64()),
        ("right_time", pa.float64()),
        ("identical", pa.bool_()),
        *((figure, pa.float64()) for figure in BUILT_IN_FIGURES),
    ]
    if standard:
        columns += [(figure, pa.float64()) for figure in STANDARD_FIGURES]
    return pa.schema(columns)


def pairs_schema() -> pa.Schema:
    """Columns of ``pairs.parquet``: one row per pair. Figure columns of the standard figures
    are null when they were not asked for."""
    pa = _require("pyarrow", "batch results")
    figure_columns = []
    for figure in (*BUILT_IN_FIGURES, *STANDARD_FIGURES):
        figure_columns += [
            (f"{figure}_mean", pa.float64()),
            (f"{figure}_min", pa.float64()),
            (f"{figure}_max", pa.float64()),
            (f"{figure}_worst_frame", pa.int64()),
        ]
    return pa.schema(
        [
            ("name", pa.string()),
            ("left", pa.string()),
            ("right", pa.string()),
            ("verdict", pa.string()),
            ("failures", pa.string()),
            ("error", pa.string()),
            ("left_frames", pa.int64()),
            ("right_frames", pa.int64()),
            ("compared", pa.int64()),
            ("identical_frames", pa.int64()),
            ("repeated", pa.int64()),
            ("skipped", pa.int64()),
            ("lengths_differ", pa.bool_()),
            ("pairing", pa.string()),
            ("width", pa.int64()),
            ("height", pa.int64()),
            ("compared_width", pa.int64()),
            ("compared_height", pa.int64()),
            *figure_columns,
            ("left_fingerprint", pa.string()),
            ("right_fingerprint", pa.string()),
            ("quillet_version", pa.string()),
            ("kernel", pa.string()),
            ("worker", pa.string()),
            ("seconds", pa.float64()),
            ("frames_file", pa.string()),
            ("resumed", pa.bool_()),
        ]
    )


class _FrameTableWriter:
    """Streams frame rows into a Parquet file in batches, so memory stays small however long the
    pair; the pair's row and inputs go into the file's metadata when it is closed."""

    def __init__(self, file: Any, standard: bool) -> None:
        self._pa = _require("pyarrow", "batch results")
        parquet = _require("pyarrow.parquet", "batch results")
        self.schema = frame_schema(standard)
        self._writer = parquet.ParquetWriter(file, self.schema)
        self._columns: dict[str, list[Any]] = {name: [] for name in self.schema.names}
        self._figures = (*BUILT_IN_FIGURES, *(STANDARD_FIGURES if standard else ()))
        self._closed = False

    def add(self, record: PairRecord) -> None:
        columns = self._columns
        columns["frame"].append(record.frame)
        columns["left_time"].append(record.left_time)
        columns["right_index"].append(record.right_index)
        columns["right_time"].append(record.right_time)
        columns["identical"].append(record.identical)
        for figure in self._figures:
            source = record.metrics if figure in BUILT_IN_FIGURES else record.standard
            columns[figure].append(float(getattr(source, figure)))
        if len(columns["frame"]) >= _ROWS_PER_BATCH:
            self._flush()

    def _flush(self) -> None:
        if not self._columns["frame"]:
            return
        batch = self._pa.record_batch(
            [
                self._pa.array(self._columns[name], type=field.type)
                for name, field in zip(self.schema.names, self.schema)
            ],
            schema=self.schema,
        )
        self._writer.write_batch(batch)
        for values in self._columns.values():
            values.clear()

    def close(self, metadata: Mapping[bytes, bytes]) -> None:
        self._flush()
        self._writer.add_key_value_metadata(dict(metadata))
        self._closed = True
        self._writer.close()

    def discard(self) -> None:
        """Close an unfinished file, whose temporary name is then removed unrenamed."""
        if not self._closed:
            self._closed = True
            self._writer.close()


# --- one pair, on a worker -------------------------------------------------------------


def _run_information() -> dict[str, Any]:
    import quillet

    kernel_name: Callable[[], str] | None = getattr(quillet, "kernel_name", None)
    version = getattr(quillet, "__version__", None)
    if version is None:
        from importlib.metadata import PackageNotFoundError
        from importlib.metadata import version as package_version

        try:
            version = package_version("quillet")
        except PackageNotFoundError:
            version = None
    return {
        "quillet_version": version,
        "kernel": kernel_name() if kernel_name is not None else None,
        "worker": socket.gethostname(),
    }


def _inputs_key(
    pair: BatchPair, fingerprints: tuple[str, str], options: VideoOptions
) -> str:
    """What the results of a pair depend on; equal keys mean the stored results still hold."""
    return json.dumps(
        {
            "left": pair.left,
            "right": pair.right,
            "left_fingerprint": fingerprints[0],
            "right_fingerprint": fingerprints[1],
            # How the work is spread over cores does not change the results.
            "options": {
                name: value for name, value in asdict(options).items() if name != "one_core"
            },
        },
        sort_keys=True,
    )


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.strerror}: {error.filename}"
    return str(error) or type(error).__name__


@dataclass(frozen=True, slots=True)
class PairPages:
    """Asks each pair's task for the pair's report page: the thresholds of its verdict and how
    the run was made."""

    thresholds: Thresholds
    run: RunInfo | None = None


def _page_collector(pages: PairPages | None) -> VideoReportCollector | None:
    if pages is None:
        return None
    return VideoReportCollector(pages.thresholds)


def _write_pair_page(
    frames_dir: str, row: Mapping[str, Any], collector: VideoReportCollector, pages: PairPages
) -> bytes:
    """Write the page of the pair just compared beside ``frames_dir``; return its stamp."""
    verdict, failures = pair_verdict(row, pages.thresholds)
    return write_compared_pair_page(
        os.path.dirname(os.path.normpath(frames_dir)),
        {**row, "verdict": verdict, "failures": failures},
        collector,
        pages.thresholds,
        pages.run,
    )


def run_pair(
    pair: BatchPair,
    fingerprints: tuple[str, str],
    options: VideoOptions,
    frames_dir: str,
    write_csv: bool = False,
    pages: PairPages | None = None,
) -> dict[str, Any]:
    """Compare one pair and write ``frames_dir/NAME.parquet``; return the pair's row.

    With ``pages``, the pair's report page (``reports/NAME.html`` beside ``frames_dir``) is
    written too, with pictures of its worst frames taken during the comparison; the frames file
    keeps the page's stamp. The page is written before the frames file is renamed into place,
    so a frames file that carries a stamp always had its page written.

    This is the body of one Dask task. Every failure of the pair (an unreadable input, frames of
    different sizes, results or a page that cannot be written) is caught and returned as the
    row's ``error``, with no frames file left behind, so that the other pairs go on.
    """
    started = time.perf_counter()
    frames_file = os.path.join(frames_dir, f"{pair.name}.parquet")
    row: dict[str, Any] = {
        "name": pair.name,
        "left": pair.left,
        "right": pair.right,
        "left_fingerprint": fingerprints[0],
        "right_fingerprint": fingerprints[1],
        "resumed": False,
        **_run_information(),
    }
    try:
        with ExitStack() as stack:
            left = stack.enter_context(fetched(pair.left))
            right = stack.enter_context(fetched(pair.right))
            output = stack.enter_context(atomic_output(frames_file, mode="wb"))
            writer = _FrameTableWriter(output, options.standard)
            stack.callback(writer.discard)
            collector = _page_collector(pages)

            def on_record(record: PairRecord, view: Any) -> None:
                writer.add(record)
                if collector is not None:
                    # Keeps the figures and thumbnails of the few worst frames only.
                    collector.on_record(record, view)

            summary = compare_videos(left, right, options, on_record=on_record)
            if summary.interrupted:
                raise RuntimeError("the comparison was interrupted")
            if not summary.compared:
                raise ValueError("there were no frame pairs to compare")
            row.update(_summary_columns(summary))
            row["frames_file"] = os.path.join(FRAMES_FOLDER, f"{pair.name}.parquet")
            row["seconds"] = time.perf_counter() - started
            metadata = {
                _INPUTS_KEY: _inputs_key(pair, fingerprints, options).encode(),
                _ROW_KEY: json.dumps(row).encode(),
            }
            if collector is not None and pages is not None:
                metadata[PAGE_STAMP_KEY] = _write_pair_page(frames_dir, row, collector, pages)
            writer.close(metadata)
        if write_csv:
            _write_csv_copy(frames_file)
    except Exception as error:  # noqa: BLE001 - the pair failed; its row says why, the batch goes on
        row["error"] = _describe(error)
        row["seconds"] = time.perf_counter() - started
    return row


def _summary_columns(summary: VideoSummary) -> dict[str, Any]:
    names = (
        "left_frames",
        "right_frames",
        "compared",
        "repeated",
        "skipped",
        "lengths_differ",
        "pairing",
        "width",
        "height",
        "compared_width",
        "compared_height",
    )
    columns = {name: getattr(summary, name) for name in names}
    columns["identical_frames"] = summary.identical
    for figure, stats in summary.figures.items():
        columns[f"{figure}_mean"] = stats.mean
        columns[f"{figure}_min"] = stats.min
        columns[f"{figure}_max"] = stats.max
        columns[f"{figure}_worst_frame"] = stats.worst_frame
    return columns


def _stored_row(frames_file: str, key: str) -> dict[str, Any] | None:
    """The row stored with a pair's frames, if the file is whole and its inputs match ``key``."""
    parquet = _require("pyarrow.parquet", "batch results")
    try:
        metadata = parquet.read_metadata(frames_file).metadata or {}
        if metadata.get(_INPUTS_KEY, b"").decode() != key:
            return None
        row: dict[str, Any] = json.loads(metadata[_ROW_KEY])
    except (OSError, ValueError, KeyError):
        return None
    return row


def _write_csv_copy(parquet_file: str) -> None:
    parquet = _require("pyarrow.parquet", "CSV copies of batch results")
    pyarrow_csv = _require("pyarrow.csv", "CSV copies of batch results")
    table = parquet.read_table(parquet_file)
    with atomic_output(
        str(Path(parquet_file).with_suffix(".csv")), mode="wb"
    ) as output:
        pyarrow_csv.write_csv(table, output)


# --- verdicts ------------------------------------------------------------------------------


def _worst_values(row: Mapping[str, Any]) -> dict[str, float]:
    """Each figure's worst value over the pair's frames: a bound holds on every frame exactly
    when it holds on the worst one."""
    values = {}
    for figure in (*BUILT_IN_FIGURES, *STANDARD_FIGURES):
        side = "min" if figure in _HIGHER_IS_BETTER else "max"
        value = row.get(f"{figure}_{side}")
        if value is not None:
            values[figure] = float(value)
    return values


def pair_verdict(
    row: Mapping[str, Any], thresholds: Thresholds
) -> tuple[str, str | None]:
    """The verdict of one pair's row and, when it is not a match, the reasons in one line."""
    if row.get("error"):
        return VERDICT_ERROR, None
    reasons = []
    if row.get("lengths_differ"):
        reasons.append(
            f"lengths differ ({row.get('left_frames')} and {row.get('right_frames')} frames)"
        )
    all_identical = row.get("identical_frames") == row.get("compared")
    if all_identical and not reasons:
        return VERDICT_IDENTICAL, None
    if thresholds.is_empty:
        if not all_identical:
            reasons.append(
                f"{row['compared'] - row['identical_frames']} of {row['compared']} frames differ"
            )
    else:
        reasons += thresholds.failures(_worst_values(row))
    if reasons:
        return VERDICT_DIFFERENT, "; ".join(reasons)
    return VERDICT_WITHIN, None


# --- the driver ----------------------------------------------------------------------------


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a batch; the pairs finished so far are kept and the next run resumes."""

    def __init__(self, finished: int, total: int) -> None:
        super().__init__(f"{finished} of {total} pairs finished")
        self.finished = finished
        self.total = total


class BatchProgress:
    """A progress bar of pairs (with frames per second) drawn by tqdm, or nothing at all."""

    def __init__(self, total: int, done: int, enabled: bool) -> None:
        self._bar: Any = None
        self._frames = 0
        self._started = time.monotonic()
        if enabled:
            tqdm = _require("tqdm", "the batch progress bar")
            self._bar = tqdm.tqdm(
                total=total,
                initial=done,
                unit="pair",
                file=sys.stderr,
                dynamic_ncols=True,
            )

    def note(self, text: str) -> None:
        if self._bar is not None:
            self._bar.write(text, file=sys.stderr)

    def pair_done(self, frames: int) -> None:
        if self._bar is None:
            return
        self._frames += frames
        elapsed = max(time.monotonic() - self._started, 1e-9)
        self._bar.set_postfix_str(
            f"{self._frames / elapsed:.1f} frames/s", refresh=False
        )
        self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _progress_wanted() -> bool:
    return sys.stderr.isatty() and not os.environ.get("CI")


@contextmanager
def _local_client(workers: int) -> Any:
    """A local cluster of ``workers`` processes with one thread each, closed on exit. The
    dashboard is served only when bokeh is installed."""
    import importlib.util
    import logging

    distributed = _require("distributed", "quillet batch")
    from ._batch_plugins import IgnoreInterrupts

    # Ctrl-C on a terminal reaches every process of the group: the workers must leave it to
    # this process, which cancels the tasks and closes the cluster. Workers started while
    # SIGINT is ignored inherit that; a worker restarted later ignores it through the plugin.
    with _interrupts_ignored():
        # The scheduler's web server always runs (health checks); a free port keeps two runs
        # from colliding on the default one.
        cluster = distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            scheduler_kwargs={
                "dashboard": importlib.util.find_spec("bokeh") is not None
            },
            silence_logs=logging.ERROR,
        )
    try:
        with distributed.Client(cluster) as client:
            client.register_plugin(IgnoreInterrupts())
            yield client
    finally:
        cluster.close()


@contextmanager
def _interrupts_ignored() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _dashboard_link(client: Client, local: bool) -> str | None:
    """The address of the cluster's dashboard; a local cluster has one only with bokeh."""
    import importlib.util

    if local and importlib.util.find_spec("bokeh") is None:
        return None
    try:
        link: str | None = client.dashboard_link
    except (KeyError, OSError):
        return None
    return link


def _gather(
    client: Client,
    jobs: list[tuple[BatchPair, tuple[str, str]]],
    options: VideoOptions,
    frames_dir: str,
    write_csv: bool,
    pages: PairPages | None,
    progress: BatchProgress,
    finished: dict[str, dict[str, Any]],
) -> None:
    """Run one task per pair and collect their rows into ``finished`` as they complete."""
    distributed = _require("distributed", "quillet batch")
    futures = {}
    for pair, fingerprints in jobs:
        future = client.submit(
            run_pair,
            pair,
            fingerprints,
            options,
            frames_dir,
            write_csv,
            pages,
            key=f"quillet-pair-{pair.name}-{uuid.uuid4().hex[:12]}",
            pure=False,
            retries=_TASK_RETRIES,
        )
        futures[future] = pair
    try:
        for future in distributed.as_completed(futures):
            pair = futures[future]
            try:
                row = future.result()
            except Exception as error:  # noqa: BLE001 - the task failed: its worker kept dying, ...
                row = {
                    "name": pair.name,
                    "left": pair.left,
                    "right": pair.right,
                    "error": f"the task failed: {_describe(error)}",
                }
            finished[pair.name] = row
            progress.pair_done(row.get("compared") or 0)
    except BaseException:
        client.cancel(list(futures))
        raise


def _remove_stale_temporaries(folder: str | os.PathLike[str]) -> None:
    """Remove the temporary files of writes that a killed worker or run left behind (hidden
    names with ``.partial``, as atomic_output makes them)."""
    if not os.path.isdir(folder):
        return
    for entry in os.scandir(folder):
        if entry.name.startswith(".") and ".partial" in entry.name and entry.is_file():
            try:
                os.unlink(entry.path)
            except FileNotFoundError:
                pass


def _with_standard_if_bounded(
    thresholds: Thresholds, options: VideoOptions
) -> VideoOptions:
    """A bound on a standard figure needs the standard figures: it turns them on."""
    if options.standard or not thresholds.bounds_standard_figures:
        return options
    return replace(options, standard=True)


def run_batch(
    pairs: str | os.PathLike[str] | Iterable[PairLike],
    out_dir: str | os.PathLike[str],
    *,
    options: VideoOptions | None = None,
    thresholds: Thresholds | None = None,
    client: Client | None = None,
    workers: int | None = None,
    force: bool = False,
    csv: bool = False,
    progress: bool | None = False,
    report: bool = False,
    run_info: RunInfo | None = None,
) -> pa.Table:
    """Compare many pairs on a Dask cluster and return the table written to ``pairs.parquet``.

    ``pairs`` is the path of a manifest CSV (``left,right[,name]``) or an iterable of
    :class:`BatchPair`, ``(left, right[, name])`` tuples or mappings. Each location is what
    ``quillet video`` accepts or an fsspec URL (fetched to a local temporary copy by the worker).

    Every location is checked first; a bad pair raises :class:`ManifestError` naming its line
    before anything runs. Pairs whose ``out_dir/frames/NAME.parquet`` was written for the same
    inputs (locations, fingerprints, options) are not compared again unless ``force``. The others
    run as one task each on ``client``, or on a local cluster of ``workers`` processes (default:
    one per core) started and stopped here. A pair that fails is recorded with its ``error``.

    ``thresholds`` decide each pair's ``verdict`` (identical, within thresholds, different,
    error); a bound on a standard figure turns the standard figures on; ``csv`` also writes CSV
    copies; ``progress`` draws a bar on standard error (None: only on a terminal, not under CI).
    Ctrl-C cancels the tasks and raises :class:`BatchInterrupted`: finished pairs stay in
    ``frames/`` for the next run.

    ``report`` also writes ``out_dir/report.html`` and a page per pair in ``out_dir/reports/``
    (``run_info`` says how the run was made; default: this process). Each pair compared now
    gets its page from its own task, with pictures of its worst frames. A pair kept from an
    earlier run keeps the page its task wrote, unless the thresholds changed or the page was
    replaced since; otherwise (it ran without a report) its page is built from its frames file,
    with charts and figures but no pictures.
    """
    pa = _require("pyarrow", "quillet batch")
    _require("distributed", "quillet batch")
    if report:
        check_report_libraries()  # before the run, not after it
    options = options if options is not None else VideoOptions()
    thresholds = thresholds if thresholds is not None else Thresholds()
    options = _with_standard_if_bounded(thresholds, options)
    # Each worker process compares one pair at a time on one core; more workers, not more
    # threads per pair, use more cores.
    options = replace(options, one_core=True)
    if isinstance(pairs, (str, os.PathLike)):
        source = os.fspath(pairs)
        pair_list = read_manifest(source)
    else:
        source = "pairs"
        pair_list = pairs_from(pairs, source)
    fingerprints = check_pairs(pair_list, source)

    out = Path(out_dir)
    frames_dir = out / FRAMES_FOLDER
    local_inputs = sorted(
        {location for location in fingerprints if not is_url(location)}
    )
    check_outputs(inputs=local_inputs, folders=[frames_dir])
    frames_dir.mkdir(parents=True, exist_ok=True)
    tables = [
        out / PAIRS_FILE,
        *([(out / PAIRS_FILE).with_suffix(".csv")] if csv else []),
    ]
    check_outputs(inputs=local_inputs, outputs=tables)
    pages = None
    if report:
        check_outputs(
            inputs=local_inputs, outputs=[out / REPORT_FILE], folders=[out / REPORTS_FOLDER]
        )
        (out / REPORTS_FOLDER).mkdir(exist_ok=True)
        run_info = run_info if run_info is not None else RunInfo.current(sys.argv)
        pages = PairPages(thresholds, run_info)
    _remove_stale_temporaries(frames_dir)
    _remove_stale_temporaries(out / REPORTS_FOLDER)

    finished: dict[str, dict[str, Any]] = {}
    jobs = []
    for pair in pair_list:
        pair_fingerprints = (fingerprints[pair.left], fingerprints[pair.right])
        frames_file = str(frames_dir / f"{pair.name}.parquet")
        stored = (
            None
            if force
            else _stored_row(frames_file, _inputs_key(pair, pair_fingerprints, options))
        )
        if stored is not None:
            finished[pair.name] = {**stored, "resumed": True}
            if csv and not os.path.exists(Path(frames_file).with_suffix(".csv")):
                _write_csv_copy(frames_file)
        else:
            jobs.append((pair, pair_fingerprints))

    show = _progress_wanted() if progress is None else progress
    bar = BatchProgress(len(pair_list), len(finished), show)
    try:
        if jobs:
            with ExitStack() as stack:
                local = client is None
                if client is None:
                    count = min(workers or os.cpu_count() or 1, len(jobs))
                    client = stack.enter_context(_local_client(count))
                if show and (link := _dashboard_link(client, local)):
                    bar.note(f"dashboard: {link}")
                _gather(client, jobs, options, str(frames_dir), csv, pages, bar, finished)
    except KeyboardInterrupt as interrupt:
        # Count what the next run will keep: a task may have written its results just before
        # its answer would have arrived here.
        kept = (
            len(pair_list)
            - len(jobs)
            + sum(
                _stored_row(
                    str(frames_dir / f"{pair.name}.parquet"),
                    _inputs_key(pair, pair_fingerprints, options),
                )
                is not None
                for pair, pair_fingerprints in jobs
            )
        )
        raise BatchInterrupted(kept, len(pair_list)) from interrupt
    finally:
        bar.close()
        _remove_stale_temporaries(frames_dir)
        _remove_stale_temporaries(out / REPORTS_FOLDER)

    rows = []
    for pair in pair_list:
        row = dict(finished[pair.name])
        row["verdict"], row["failures"] = pair_verdict(row, thresholds)
        if row["verdict"] == VERDICT_ERROR:
            # Results of an earlier run no longer describe these inputs.
            stale = frames_dir / f"{pair.name}.parquet"
            for path in (stale, stale.with_suffix(".csv"), out / pair_page_file(pair.name)):
                path.unlink(missing_ok=True)
            row["frames_file"] = None
        rows.append(row)
    table = pa.Table.from_pylist(rows, schema=pairs_schema())
    parquet = _require("pyarrow.parquet", "batch results")
    with atomic_output(str(out / PAIRS_FILE), mode="wb") as output:
        parquet.write_table(table, output)
    if csv:
        _write_csv_copy(str(out / PAIRS_FILE))
    if pages is not None:
        write_batch_pages(out, table.to_pylist(), thresholds, pages.run)
    return table


def batch_status(table: pa.Table) -> int:
    """The exit status of a batch: 2 if any pair failed, else 1 if any differed, else 0."""
    verdicts = set(table.column("verdict").to_pylist())
    if VERDICT_ERROR in verdicts:
        return 2
    if VERDICT_DIFFERENT in verdicts:
        return 1
    return 0
