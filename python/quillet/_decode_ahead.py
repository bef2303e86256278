"""Decoding ahead of the comparison: a background thread fills a bounded queue with a source's
frames, so that both sides decode at once and while the previous pair is compared, with memory
held to a few frames however long the stream."""

from __future__ import annotations

import queue
import signal
import threading
from collections.abc import Iterator

__all__ = ["DEFAULT_DEPTH", "DecodeAhead"]

DEFAULT_DEPTH = 4
"""Frames a decode thread may hold ready beyond the one being compared."""

# Stop requests belong to the main thread, where they become KeyboardInterrupt. A decoding
# thread (and the decoder threads it starts, which inherit its mask) blocks them, so that the
# kernel never hands one to it while the main thread holds them back between two steps.
_STOP_SIGNALS = frozenset(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)


class _End:
    """Marks the end of the stream in the queue."""


class _Failure:
    """Carries an exception raised by the decoding thread to the consumer."""

    def __init__(self, error: BaseException) -> None:
        self.error = error


class DecodeAhead[Item]:
    """Iterates ``items`` on a thread of its own, at most ``depth`` items ahead of the consumer.

    The iterator is created, advanced and closed on that thread only (PyAV containers and
    generators are not shared). An exception it raises reaches the consumer at the point in the
    stream where it happened. :meth:`close` stops the thread and joins it, wherever the
    consumer stopped; use the object as a context manager.
    """

    def __init__(
        self, items: Iterator[Item], *, depth: int = DEFAULT_DEPTH, name: str = "decode"
    ) -> None:
        if depth < 1:
            raise ValueError(f"depth must be at least 1, got {depth}")
        self.depth = depth
        self._items = items
        self._queue: queue.Queue[Item | _End | _Failure] = queue.Queue(maxsize=depth)
        self._stop = threading.Event()
        self._finished = False
        self._thread = threading.Thread(target=self._run, name=f"quillet-{name}", daemon=True)
        self._thread.start()

    def _put(self, item: Item | _End | _Failure) -> bool:
        """Queue one item, waiting for room; False once the consumer has stopped."""
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=0.05)
            except queue.Full:
                continue
            return True
        return False

    def _run(self) -> None:
        if hasattr(signal, "pthread_sigmask"):
            signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
        try:
            for item in self._items:
                if not self._put(item):
                    return
            self._put(_End())
        except BaseException as error:  # handed over to the consumer, never lost
            self._put(_Failure(error))
        finally:
            close = getattr(self._items, "close", None)
            if close is not None:
                try:
                    close()
                except Exception:  # the stream is being abandoned; its error already went
                    pass

    @property
    def queued(self) -> int:
        """How many decoded items wait in the queue now."""
        return self._queue.qsize()

    def __iter__(self) -> Iterator[Item]:
        return self

    def __next__(self) -> Item:
        if self._finished:
            raise StopIteration
        item = self._queue.get()
        if isinstance(item, _End):
            self._finished = True
            raise StopIteration
        if isinstance(item, _Failure):
            self._finished = True
            raise item.error
        return item

    def close(self) -> None:
        """Stop the decoding thread and wait for it; idempotent."""
        self._finished = True
        self._stop.set()
        # Empty the queue so that a thread blocked on a full queue sees the stop at once.
        while True:
            try:
                self._queue.get_nowait()
            except queue.Empty:
                break
        self._thread.join()

    def __enter__(self) -> DecodeAhead[Item]:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
