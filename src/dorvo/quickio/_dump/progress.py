"""Progress, one way everywhere: a callback ``progress(done, total)`` in
bytes. The streamed reductions call it from a helper thread while their
native passes count (``Watch``); a conversion calls it as it writes
chunks; a ``Bar`` draws it on the terminal with tqdm."""

from __future__ import annotations

import sys
import threading
from typing import Any, Callable

import numpy as np

Callback = Callable[[int, int], None]


class Watch:
    """Calls `callback(done, total)` from a helper thread, ten times a
    second, while native passes count into `counter`, and once more at the
    end of a pass that did not fail."""

    def __init__(self, callback: Callback | None, total: int):
        self.callback, self.total = callback, total
        self.counter = None if callback is None else np.zeros(1, np.int64)
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def __enter__(self):
        if self.callback is not None:
            self._thread = threading.Thread(target=self._run, name="quickio-progress", daemon=True)
            self._thread.start()
        return self

    def _run(self):
        while not self._stop.wait(0.1):
            self.callback(min(int(self.counter[0]), self.total), self.total)

    def __exit__(self, exc_type, exc, tb):
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            if exc_type is None:
                self.callback(self.total, self.total)
        return False


class Bar:
    """A tqdm bar on stderr, in bytes, shown once its work has taken a
    second: called as a progress callback, or advanced by add() from any
    thread."""

    def __init__(self, label: str, total: int | None = None):
        self.label, self.total = label, total
        self._bar: Any = None  # a tqdm bar, made by the first call
        self._done = 0
        self._lock = threading.Lock()

    def __call__(self, done: int, total: int) -> None:
        with self._lock:
            if self._bar is None:
                from tqdm import tqdm

                self._bar = tqdm(total=total, desc=self.label, unit="B", unit_scale=True, delay=1.0, leave=False)
            self._bar.update(done - self._bar.n)
            if done >= total:
                self.close()

    def add(self, nbytes: int) -> None:
        with self._lock:
            self._done += nbytes
            done = self._done
        self(done, self.total or done)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def bar(label: str, total: int | None = None, *, terminal: bool = True) -> Bar | None:
    """A Bar when tqdm is installed (and, with `terminal`, stderr is a
    terminal), else None."""
    if terminal and not sys.stderr.isatty():
        return None
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return None
    return Bar(label, total)
