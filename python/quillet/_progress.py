"""A one-line progress bar on standard error, drawn only when it is a terminal."""

from __future__ import annotations

import shutil
import sys
import time
from collections.abc import Callable
from typing import Self, TextIO

__all__ = ["Progress"]


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
        fraction = min(self.count / self.total, 1.0)
        remaining = (self.total - self.count) / rate if rate > 0 else 0.0
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
