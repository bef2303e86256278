"""Stopping requests (Ctrl-C, SIGTERM, SIGHUP) turned into one exception, and quiet moments for
the steps that must not be cut in half.

How to use it:

* ``main()`` runs the command inside ``termination_signals_interrupt()``: SIGTERM and SIGHUP then
  raise :class:`Interrupted` (a ``KeyboardInterrupt``) exactly where Ctrl-C would, so the same
  clean-up runs for all three. ``exit_status(error)`` gives the status to exit with: 130 for
  Ctrl-C, 143 for SIGTERM, 129 for SIGHUP (128 + the signal number, as shells report it).
* Code that finishes outputs after an interruption (writing an "interrupted" marker, flushing an
  encoder, renaming a file into place) runs inside ``with signals_deferred():``. A second Ctrl-C
  (or SIGTERM) arriving meanwhile waits until the block ends instead of cutting it short; it is
  then raised as usual. (Use it in the main thread: other threads cannot change handlers.)
"""

from __future__ import annotations

import os
import signal
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

__all__ = [
    "Interrupted",
    "exit_status",
    "signals_deferred",
    "termination_signals_interrupt",
]

# The signals that ask the program to stop.
_STOP_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)


class Interrupted(KeyboardInterrupt):
    """A stop request by signal; ``exit_status`` is 128 + the signal number."""

    def __init__(self, signal_number: int) -> None:
        self.signal_number = signal_number
        self.exit_status = 128 + signal_number
        super().__init__(signal.Signals(signal_number).name)


def exit_status(error: KeyboardInterrupt) -> int:
    """The exit status for an interruption: the signal's, or 130 for a plain Ctrl-C."""
    status = getattr(error, "exit_status", None)
    return status if isinstance(status, int) else 128 + signal.SIGINT


def _raise_interrupted(signal_number: int, frame: FrameType | None) -> None:
    raise Interrupted(signal_number)


@contextmanager
def termination_signals_interrupt() -> Iterator[None]:
    """While active, SIGTERM and SIGHUP raise :class:`Interrupted` like Ctrl-C does.

    Only the main thread can set signal handlers; elsewhere this does nothing.
    """
    if not _in_main_thread():
        yield
        return
    previous = {}
    for number in _STOP_SIGNALS:
        if number == signal.SIGINT:
            continue
        previous[number] = signal.signal(number, _raise_interrupted)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _in_main_thread() -> bool:
    """Only the main thread may set handlers. (threading is imported here, when a command runs,
    not when the command line is only asked for its help.)"""
    import threading

    return threading.current_thread() is threading.main_thread()


def _deliver(number: int, handler: object) -> None:
    """Act on a signal that was held back, as its handler would have when it came."""
    if callable(handler):
        handler(number, None)
    elif handler == signal.SIG_DFL:
        os.kill(os.getpid(), number)


@contextmanager
def signals_deferred() -> Iterator[None]:
    """Hold back stop signals for the duration of the block; they act when it ends.

    Python runs signal handlers in the main thread whichever thread the signal reached (decoder
    threads included), so the handlers are swapped for one that only notes the signal; the
    first one noted is then handed to the handler that was in place. Elsewhere than in the main
    thread, where handlers cannot be set, this does nothing.
    """
    if not _in_main_thread():
        yield
        return
    noted: list[int] = []

    def note(number: int, frame: FrameType | None) -> None:
        noted.append(number)

    previous = {number: signal.signal(number, note) for number in _STOP_SIGNALS}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        if noted:
            _deliver(noted[0], previous[noted[0]])
