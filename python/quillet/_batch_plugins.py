"""Dask worker plugins of the local cluster that ``quillet batch`` starts (imported only then,
since it needs Dask distributed)."""

from __future__ import annotations

import signal
import threading
from typing import Any

from distributed.diagnostics.plugin import WorkerPlugin

__all__ = ["IgnoreInterrupts"]


class IgnoreInterrupts(WorkerPlugin):
    """Makes a worker ignore SIGINT: Ctrl-C on a terminal reaches every process of the group,
    and only the driver should act on it (cancel the tasks, close the cluster). Workers the
    nanny restarts after a crash get it too."""

    name = "quillet-ignore-interrupts"

    def setup(self, worker: Any) -> None:
        # Signal handlers belong to the main thread; a worker running in-process has its event
        # loop elsewhere and shares the driver's handler, which stays as it is.
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, signal.SIG_IGN)
