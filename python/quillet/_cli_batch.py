"""``quillet batch``: compare the pairs of a manifest on a Dask cluster, results in Parquet."""

from __future__ import annotations

import argparse
import os
import sys
from collections import Counter
from contextlib import ExitStack
from typing import Any

from ._batch import (
    FRAMES_FOLDER,
    PAIRS_FILE,
    VERDICT_DIFFERENT,
    VERDICT_ERROR,
    VERDICT_IDENTICAL,
    VERDICT_WITHIN,
    BatchInterrupted,
    batch_status,
    run_batch,
)
from ._cli_common import UsageError, thresholds_from_args
from ._report import RunInfo, check_report_libraries
from ._report_batch import REPORT_FILE
from ._signals import exit_status
from ._video import VideoOptions

__all__ = ["run"]


def _connect(address: str, stack: ExitStack) -> Any:
    try:
        import distributed
    except ImportError as error:
        raise ImportError(
            "quillet batch needs Dask distributed, which is not installed; "
            "install it with: pip install 'quillet[batch]'"
        ) from error
    try:
        client = distributed.Client(address)
    except (OSError, TimeoutError, ValueError) as error:
        raise UsageError(
            f"cannot reach the Dask scheduler at {address}: {error}"
        ) from error
    stack.callback(client.close)
    return client


def _report(table: Any, out: str) -> None:
    rows = table.to_pylist()
    for row in rows:
        if row["verdict"] == VERDICT_ERROR:
            print(
                f"quillet: pair {row['name']} failed: {row['error']}", file=sys.stderr
            )
        elif row["verdict"] == VERDICT_DIFFERENT:
            print(f"different: {row['name']}: {row['failures']}")
    counts = Counter(row["verdict"] for row in rows)
    resumed = sum(1 for row in rows if row["resumed"])
    parts = [
        f"{counts[verdict]} {label}"
        for verdict, label in (
            (VERDICT_IDENTICAL, "identical"),
            (VERDICT_WITHIN, "within the thresholds"),
            (VERDICT_DIFFERENT, "different"),
            (VERDICT_ERROR, "failed"),
        )
        if counts[verdict]
    ]
    resumed_note = f" ({resumed} kept from an earlier run)" if resumed else ""
    print(f"{len(rows)} pairs: {', '.join(parts)}{resumed_note}")
    print(
        f"results: {os.path.join(out, PAIRS_FILE)} and "
        f"{os.path.join(out, FRAMES_FOLDER, '')}NAME.parquet"
    )


def run(args: argparse.Namespace) -> int:
    """Run ``quillet batch`` and return its exit status."""
    options = VideoOptions(
        ema=args.ema,
        every=args.every,
        max_pixels=args.max_pixels,
        standard=args.standard,
    )
    if args.scheduler and args.workers:
        raise UsageError(
            "--workers sizes the local cluster; an existing cluster has its own workers"
        )
    if args.report:
        check_report_libraries()  # before the run, not after it
    run_info = RunInfo.current(getattr(args, "command_line", sys.argv))
    with ExitStack() as stack:
        client = _connect(args.scheduler, stack) if args.scheduler else None
        try:
            table = run_batch(
                args.manifest,
                args.out,
                options=options,
                thresholds=thresholds_from_args(args),
                client=client,
                workers=args.workers,
                force=args.force,
                csv=args.csv,
                progress=None,
                report=args.report,
                run_info=run_info,
            )
        except BatchInterrupted as interrupted:
            print(
                f"quillet: interrupted: {interrupted.finished} of {interrupted.total} pairs "
                "finished; run the same command again to resume",
                file=sys.stderr,
            )
            cause = interrupted.__cause__
            return exit_status(
                cause if isinstance(cause, KeyboardInterrupt) else interrupted
            )
    _report(table, args.out)
    if args.report:
        print(f"report: {os.path.join(args.out, REPORT_FILE)}")
    return batch_status(table)
