"""A one-line progress bar on standard error, drawn only when it is a terminal."""

from __future__ import annotations

import os
import shutil
import sys
import time
from collections.abc import Callable
from typing import Self, TextIO

__all__ = ["Progress", "should_draw"]


def _terminal_identity(stream: TextIO | None) -> tuple[int, int] | None:
    try:
        if stream is None or not stream.isatty():
            return None
        info = os.fstat(stream.fileno())
    except (OSError, ValueError, AttributeError):
        return None
    return info.st_dev, info.st_ino


def should_draw(
    *, table_on_stdout: bool, stdout: TextIO | None = None, stderr: TextIO | None = None
) -> bool:
    """Whether a progress line belongs on standard error.

    Only on a terminal, and never when a table written to standard output shows on that same
    terminal: carriage returns would be mixed into the rows the user is reading or copying.
    """
    stdout = sys.stdout if stdout is None else stdout
    stderr = sys.stderr if stderr is None else stderr
    error_terminal = _terminal_identity(stderr)
    if error_terminal is None:
        return False
    return not (table_on_stdout and _terminal_identity(stdout) == error_terminal)


def _clock_text(seconds: float) -> str:
    minutes, secs = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"


class Progress:
    """Counts units of work and redraws one status line, at most ten times a second.

    With ``enabled`` left as None the bar is drawn only when ``stream`` is a terminal, so
    redirected output and pipes stay free of carriage returns. ``total`` may be None when the
    amount of work is unknown; the line then shows the count and the rate only.
    """

    def __init__(
        self,
        total: int | None,
        *,
        label: str = "",
        stream: TextIO | None = None,
        enabled: bool | None = None,
        clock: Callable[[], float] = time.monotonic,
        width: int | None = None,
    ) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.enabled = self.stream.isatty() if enabled is None else enabled
        self.total = total if total else None
        self.label = label
        self.count = 0
        self._clock = clock
        self._started = clock()
        self._last_draw: float | None = None
        self._width = width
        self._drawn_length = 0

    def line(self) -> str:
        """The status line for the current count, fitted to the terminal width."""
        elapsed = max(self._clock() - self._started, 1e-9)
        rate = self.count / elapsed
        columns = self._width or shutil.get_terminal_size((80, 24)).columns
        prefix = f"{self.label} " if self.label else ""
        if self.total is None:
            return f"{prefix}{self.count} frames  {rate:.1f}/s"[: columns - 1]
        if self.count > self.total:
            # The announced length was an estimate (a container's frame count) and fell short.
            return f"{prefix}{self.count} frames  {rate:.1f}/s"[: columns - 1]
        fraction = self.count / self.total
        remaining = max(self.total - self.count, 0) / rate if rate > 0 else 0.0
        counts = f" {self.count}/{self.total} {fraction:4.0%} {rate:.1f}/s eta {_clock_text(remaining)}"
        bar_width = max(columns - 1 - len(prefix) - len(counts) - 2, 0)
        filled = int(bar_width * fraction)
        bar = f"[{'#' * filled}{'.' * (bar_width - filled)}]" if bar_width >= 10 else ""
        return f"{prefix}{bar}{counts}"[: columns - 1]

    def update(self, amount: int = 1) -> None:
        """Count ``amount`` more units and redraw if the last drawing is old enough."""
        self.count += amount
        if not self.enabled:
            return
        now = self._clock()
        if self._last_draw is not None and now - self._last_draw < 0.1:
            return
        self._last_draw = now
        self._draw(self.line())

    def _draw(self, text: str) -> None:
        padding = " " * max(self._drawn_length - len(text), 0)
        self.stream.write(f"\r{text}{padding}")
        self.stream.flush()
        self._drawn_length = len(text)

    def close(self) -> None:
        """Erase the line, leaving the terminal as it was."""
        if self.enabled and self._drawn_length:
            self.stream.write("\r" + " " * self._drawn_length + "\r")
            self.stream.flush()
            self._drawn_length = 0

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
