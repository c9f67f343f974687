"""The reductions of a phase-space dump read by ranges: a remote dump, a file
object, or one part of a dump on a worker of a cluster.

The dump is cut into stretches of at most STRETCH_BYTES, each a phase-space
dump of its own: a run of whole blocks as the file holds them, or, for a
block too large for one stretch, a run of its whole entries behind a count
word of their number. The native passes read each stretch from memory (with
the interpreter lock released, on the reader's threads) while the next
batch of STRETCHES_IN_FLIGHT stretches is fetched, their ranges requested
together; so at most two batches are in memory, whatever the dump's size.
The source checks the file's identity around every batch it fetches
(validators of every answer over HTTP, fstat around a local or file-object
read), so that a dump changed while it is streamed raises OSError.

What the passes give for each stretch is merged: extents by min and max,
histograms by adding them (counts exactly; weighted sums in another order
than one pass over the file, within float64 rounding), selections by
joining them in file order, and moments by merging each stretch's count,
mean and spread (Chan, Golub and LeVeque's pairwise update, as the native
pass merges its threads'), within float64 rounding.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import contextvars
import threading

import numpy as np

from . import reductions as _reductions

# A stretch holds at most this many bytes (a block's count word and one
# entry at least).
STRETCH_BYTES = 8 << 20
# Stretches fetched at once, their ranges in flight together; one batch is
# fetched while the one before is reduced.
STRETCHES_IN_FLIGHT = 4


def stretches(offsets, counts, entry_bytes: int, end: int, most: int | None = None) -> list:
    """The stretches (start, stop, count) of a dump whose blocks start at
    `offsets` and hold `counts` particles of `entry_bytes` each, the last
    one ending at `end`: count None for bytes [start, stop) of whole blocks,
    at most `most` of them; else the entries of `count` particles of one
    block too large for that, to be read behind a count word. Such a block
    is cut into as few stretches of at most `most` bytes of entries as
    hold it, of equal counts to a particle: a block a word over a stretch
    is one stretch, not a stretch and a sliver of one particle (each
    stretch costs a request and a pass)."""
    most = max(STRETCH_BYTES if most is None else most, 4 + entry_bytes)
    starts = np.append(np.asarray(offsets, np.int64), np.int64(end))
    counts = np.asarray(counts, np.int64)
    out: list[tuple[int, int, int | None]] = []
    i, blocks = 0, len(starts) - 1
    while i < blocks:
        j = int(np.searchsorted(starts, starts[i] + most, side="right")) - 1  # the last start within reach
        if j > i:
            out.append((int(starts[i]), int(starts[j]), None))
            i = j
            continue
        # Block i alone is over a stretch: runs of its whole entries (the
        # very last may end without its trailing word, as the file does).
        at, stop, count = int(starts[i]) + 4, int(starts[i + 1]), int(counts[i])
        pieces = -(-count // (most // entry_bytes))
        cuts = [count * k // pieces for k in range(pieces + 1)]
        for p, q in zip(cuts, cuts[1:]):
            out.append((at + p * entry_bytes, min(at + q * entry_bytes, stop), q - p))
        i += 1
    return out


def parts(pieces: list, count: int) -> list:
    """`pieces` (stretches) cut into `count` runs of about equal bytes."""
    if not pieces:
        return [[] for _ in range(count)]
    sizes = np.cumsum([e - s for s, e, _ in pieces])
    cuts = np.searchsorted(sizes, sizes[-1] * np.arange(1, count) / count, side="left") + 1
    bounds = [0, *np.minimum(cuts, len(pieces)).tolist(), len(pieces)]
    return [pieces[a:b] for a, b in zip(bounds, bounds[1:])]


def _dump_bytes(data, count) -> memoryview:
    """A stretch as a dump in memory: its bytes as fetched, or for the
    entries of `count` particles, fetched with the 4 bytes before them,
    those 4 bytes made their count word (in place where the bytes are
    writable, as the HTTP client's are)."""
    view = memoryview(data)
    if count is None:
        return view
    if view.readonly:
        view = memoryview(bytearray(view))
    view[:4] = int(count).to_bytes(4, "little", signed=True)
    return view


# Set by a caller that runs reductions on threads of its own (the tasks of
# a run): once the event is set, a streamed reduction on such a thread stops
# at its wait for the next batch, raising Stopped, rather than wait for a
# server that may have stalled.
STOP: contextvars.ContextVar[threading.Event | None] = contextvars.ContextVar("quickio_stop", default=None)


class Stopped(Exception):
    """A streamed reduction ended by the STOP of its caller."""


def _result(future: concurrent.futures.Future):
    stop = STOP.get()
    while stop is not None and not concurrent.futures.wait([future], timeout=0.05).done:
        if stop.is_set():
            raise Stopped("the reduction was stopped")
    return future.result()


def _started(call, *args) -> concurrent.futures.Future:
    """The future of `call(*args)` run on a daemon thread of its own. A
    caller that stops (an error, Ctrl-C) does not wait for it: a fetch
    from a server that has stalled would hold the interrupt, and the
    interpreter's exit, for up to the read's time-out."""
    future: concurrent.futures.Future = concurrent.futures.Future()

    def work():
        if not future.set_running_or_notify_cancel():
            return
        try:
            future.set_result(call(*args))
        except BaseException as e:  # handed to the caller, who raises it
            future.set_exception(e)

    threading.Thread(target=work, name="quickio-fetch", daemon=True).start()
    return future


def fetched(source, pieces: list, in_flight: int | None = None):
    """Yields each stretch of `pieces` as a dump in memory, in file order,
    fetching the next batch of `in_flight` stretches while the caller works
    on this one. No stretches: one empty dump.

    A source that fills buffers given to it (over HTTP) fetches into two
    sets of buffers in turn: a batch goes into the set that held the batch
    before the one just yielded, which the caller is done with. So each
    view yielded is valid until the caller asks for the batch after next;
    the passes hold none beyond their call."""
    if not pieces:
        yield memoryview(b"")
        return
    in_flight = STRETCHES_IN_FLIGHT if in_flight is None else in_flight
    batches = [pieces[i : i + in_flight] for i in range(0, len(pieces), in_flight)]
    # The entries of a piece of a block come with the 4 bytes before them,
    # which become its count word.
    ranges = [[(s if count is None else s - 4, e) for s, e, count in batch] for batch in batches]
    # A byte more than the longest range: the HTTP client reads that far to
    # tell an answer longer than asked.
    longest = 1 + max(e - s for batch in ranges for s, e in batch)
    sets: list[list] = [[], []]

    def fetch(k):
        buffers = sets[k % 2]
        while len(buffers) < len(ranges[k]):
            buffers.append(np.empty(longest, np.uint8))
        return source.fetch(ranges[k], into=buffers[: len(ranges[k])])

    ahead: concurrent.futures.Future | None = _started(fetch, 0)
    try:
        for k, batch in enumerate(batches):
            data = _result(ahead)  # type: ignore[arg-type]  # None only after the last batch
            ahead = _started(fetch, k + 1) if k + 1 < len(batches) else None
            for (_, _, count), one in zip(batch, data):
                yield _dump_bytes(one, count)
            del data
    finally:
        if ahead is not None:
            ahead.cancel()


class Moments:
    """The running moments of every component over the stretches so far,
    from what the native pass gives for each: count, min, max, mean, std
    (over the values that are not NaN) and NaN count."""

    def __init__(self, components: int):
        self.count = 0
        self.valid = np.zeros(components, np.int64)
        self.nan = np.zeros(components, np.int64)
        self.mean = np.zeros(components)
        self.m2 = np.zeros(components)
        self.lo = np.full(components, np.nan, np.float32)
        self.hi = np.full(components, np.nan, np.float32)
        # Infinite values, by sign: they make the mean infinite (NaN with
        # both signs) and the spread NaN, as in one pass.
        self.pos = np.zeros(components, bool)
        self.neg = np.zeros(components, bool)

    def add(self, count, lo, hi, mean, std, nan) -> None:
        valid = count - nan
        self.count += count
        self.nan += nan
        self.lo = np.fmin(self.lo, lo)
        self.hi = np.fmax(self.hi, hi)
        seen = valid > 0
        finite = seen & np.isfinite(mean)
        self.pos |= seen & ~finite & (np.isnan(mean) | (mean > 0))
        self.neg |= seen & ~finite & (np.isnan(mean) | (mean < 0))
        na, nb = self.valid.astype(np.float64), np.where(finite, valid, 0).astype(np.float64)
        total = na + nb
        with np.errstate(invalid="ignore", divide="ignore"):
            delta = np.where(finite, mean, 0.0) - self.mean
            self.mean = np.where(finite, self.mean + delta * (nb / total), self.mean)
            self.m2 = np.where(
                finite, self.m2 + np.where(finite, std, 0.0) ** 2 * nb + delta * delta * (na * nb / total), self.m2
            )
        self.valid += np.where(finite, valid, 0)

    def result(self) -> tuple:
        with np.errstate(invalid="ignore", divide="ignore"):
            mean = np.where(
                self.pos & self.neg, np.nan, np.where(self.pos, np.inf, np.where(self.neg, -np.inf, self.mean))
            )
            std = np.where(self.pos | self.neg, np.nan, np.sqrt(self.m2 / self.valid))
        none = (self.valid == 0) & ~self.pos & ~self.neg
        mean[none] = std[none] = np.nan
        return self.count, self.lo, self.hi, mean, std, self.nan


class StreamedPasses:
    """The native passes over stretches of a dump fetched from `source`
    (see reductions.FilePasses for the interface)."""

    def __init__(self, source, pieces: list):
        self.source, self.pieces = source, pieces
        self.size = sum(e - s for s, e, _ in pieces)

    def _each(self):
        return fetched(self.source, self.pieces)

    def extent(self, n, components, windows, counter):
        from .. import _particles

        lows, highs = [None] * len(components), [None] * len(components)
        selected = finite = 0
        for view in self._each():
            lo, hi, _, kept, whole = _particles.extent(view, n, components, windows, counter)
            lows = [b if a is None else a if b is None else min(a, b) for a, b in zip(lows, lo)]
            highs = [b if a is None else a if b is None else max(a, b) for a, b in zip(highs, hi)]
            selected, finite = selected + kept, finite + whole
        return lows, highs, selected, finite

    def histogram(self, n, axes, weight, windows, counter):
        from .. import _particles

        total = None
        for view in self._each():
            hist = _particles.histogram(view, n, axes, weight, windows, None, counter)
            if total is None:
                total = hist
            else:
                total += hist
        return total

    def moments(self, n, windows, counter):
        from .. import _particles

        running = Moments(2 * n + 1)
        for view in self._each():
            running.add(*_particles.moments(view, n, windows, counter))
        return running.result()

    def select(self, n, windows, counter):
        from .. import _particles

        kept = [_particles.select(view, n, windows, counter) for view in self._each()]
        if len(kept) == 1:
            return kept[0]
        out = np.empty((2 * n + 1, sum(k.shape[1] for k in kept)), np.float32, order="F")
        at = 0
        for i, k in enumerate(kept):
            out[:, at : at + k.shape[1]] = k
            at += k.shape[1]
            kept[i] = None  # the piece's memory goes as soon as it is placed
        return out


@contextlib.contextmanager
def passes(source, header, stretches, expect=None, part=None):
    """The passes of a reduction over the phase-space dump of `header`,
    opened as `source`: over its file by its exact name (refused unless it
    still has `expect`, when given), or, for a dump read by ranges or for
    `part` (k, count), over the k-th of `count` parts of about equal bytes
    of its `stretches()`, fetched into memory."""
    if source.path is None or part is not None:
        if not header.well_formed:
            # What a pass over the file would have run into.
            raise EOFError(f"{header.path}: {header.reason}")
        pieces = stretches()
        if part is not None:
            pieces = parts(pieces, part[1])[part[0]]
        source.check()
        yield StreamedPasses(source, pieces)
        return
    with source.reading() as path:
        yield _reductions.FilePasses(path, expect)
