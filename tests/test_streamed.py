"""Streamed reductions of dumps read by ranges (a URL over the loopback
server, a file object) equal the passes over the local file (themselves
held to NumPy by test_particles.py), at and around every stretch boundary,
for 1 and several threads, in bounded memory, with the file's identity
checked around every batch."""
import io
import itertools
import os
import time
import tracemalloc
import warnings

import hypothesis
import numpy as np
import pytest
from hypothesis import strategies as st

import dorvo.quickio as qio
from dorvo.quickio import UnpinnedWarning, particles
from dorvo.quickio._dump import streamed
from helpers import RangeServer, phase_dump_bytes

N, ENTRY = 2, 24
# Empty blocks, a negative count, a block of one, blocks over the smaller
# stretches; the file ends without its last trailing word.
COUNTS = [5, 0, 40, -3, 23, 1, 40]
ENDS = np.cumsum([4 + ENTRY * max(c, 0) for c in COUNTS]).tolist()
# Stretches a block's end long, and a word and an entry either side.
STRETCHES = sorted({max(e + d, 4 + ENTRY) for e in ENDS[:3] for d in (-ENTRY, -4, 0, 4, ENTRY)})
# Batches of one stretch and of as many as are in flight: the sizes above
# cut the dump into 3 and 4 stretches (one batch of 4, a stretch short and
# full), 24 and 25 (whole batches, and a last batch of one) and 21 and 31.
IN_FLIGHT = (1, streamed.STRETCHES_IN_FLIGHT)
REDUCTIONS = {
    "histogram": lambda t, **k: particles.histogram(t, N, 0, bins=9, **k),
    "weighted 2-d": lambda t, **k: particles.histogram(
        t, N, ("x", "py"), bins=(4, 3), weights="w", where={2: (-1, 2)}, **k
    ),
    "moments": lambda t, **k: particles.moments(t, N, where={0: (-1.5, np.inf)}, **k),
    "select": lambda t, **k: particles.select(t, N, {1: (-0.5, np.inf)}, **k),
    "census": lambda t, **k: _census(t, **k),
}


def _census(target, **kw):
    """What a histogram's pass counts: particles selected, finite, ranges."""
    with qio.open(target, n_dimensions=N) as d:
        selected, finite, ranges = d.census((1, "py"), where={4: (-1, np.inf)}, **kw)
    return selected, finite, np.array(ranges, np.float64)


@pytest.fixture
def dump(tmp_path):
    values = np.random.default_rng(7).normal(size=(109, 2 * N + 1)).astype(np.float32)
    values[3, 1], values[9, 2], values[50, 4] = np.inf, np.nan, -np.inf
    data = phase_dump_bytes(values, N, COUNTS)[:-4]
    (tmp_path / "p.bin").write_bytes(data)
    os.utime(tmp_path / "p.bin", (1e9, 1e9))  # not a racy stamp: no wait before the server is trusted
    return tmp_path / "p.bin", data


def _same(got, want, exact):
    """Counts, edges, extremes and selections bit for bit, of the same type
    and order; float64 sums (weighted bins, means, spreads) within their
    rounding unless `exact`."""
    for k in want if isinstance(want, dict) else range(len(want)) if isinstance(want, tuple) else [None]:
        a, b = (got, want) if k is None else (got[k], want[k])
        if not exact and np.asarray(b).dtype == np.float64 and k in (0, "mean", "std"):
            np.testing.assert_allclose(a, b, rtol=1e-13, equal_nan=True)
        else:
            np.testing.assert_array_equal(a, b)
        assert np.asarray(a).dtype == np.asarray(b).dtype, k
        assert np.asarray(a).flags.f_contiguous == np.asarray(b).flags.f_contiguous, k  # a selection's order


@pytest.mark.parametrize("threads", ["1", "3"])
@pytest.mark.parametrize("name", REDUCTIONS)
def test_streamed_as_the_local_file_reads(dump, monkeypatch, threads, name):
    path, data = dump
    monkeypatch.setenv("QUICKIO_READ_THREADS", threads)
    local = REDUCTIONS[name](str(path))
    with RangeServer(path.parent) as server:
        # ENDS[4]: two stretches, the second shorter.
        for size, in_flight in itertools.product([*STRETCHES, ENDS[4], 1 << 20], IN_FLIGHT):
            monkeypatch.setattr(streamed, "STRETCH_BYTES", size)
            monkeypatch.setattr(streamed, "STRETCHES_IN_FLIGHT", in_flight)
            with pytest.warns(UnpinnedWarning):
                _same(REDUCTIONS[name](io.BytesIO(data)), local, exact=size > len(data))  # one stretch: bit for bit
            _same(REDUCTIONS[name](server.url(path.name)), local, exact=size > len(data))


def test_a_dump_changed_between_batches_is_refused(dump, monkeypatch):
    path, data = dump
    monkeypatch.setattr(streamed, "STRETCH_BYTES", STRETCHES[0])
    monkeypatch.setattr(streamed, "STRETCHES_IN_FLIGHT", 1)
    calls, real = [], streamed._dump_bytes

    def replace_after_the_first(raw, count):
        calls.append(1)
        if len(calls) == 1:
            path.with_suffix(".new").write_bytes(data[:-ENTRY] + bytes(ENTRY))
            os.replace(path.with_suffix(".new"), path)
        return real(raw, count)

    monkeypatch.setattr(streamed, "_dump_bytes", replace_after_the_first)
    with RangeServer(path.parent) as server, qio.open(server.url(path.name), n_dimensions=N) as d:
        with pytest.raises(OSError, match="the file changed since it was opened"):
            d.histogram(0, bins=4, range=(0, 1))
    assert len(calls) <= 2 < len(d.stretches())  # refused at the first batch fetched after the change


def test_a_remote_reduction_holds_two_batches_at_most(tmp_path, monkeypatch):
    """32 MiB in stretches of 256 KiB, 4 a batch: what Python allocates (the
    server's too: it runs in this process) stays within a few batches."""
    count = (32 << 20) // ENTRY
    values = np.arange(count * (2 * N + 1), dtype=np.float32).reshape(count, -1)
    (tmp_path / "p.bin").write_bytes(phase_dump_bytes(values, N, [count // 3, 1, count - count // 3 - 1]))
    monkeypatch.setattr(streamed, "STRETCH_BYTES", 256 << 10)
    batch = streamed.STRETCHES_IN_FLIGHT * streamed.STRETCH_BYTES
    with RangeServer(tmp_path) as server, qio.open(server.url("p.bin"), n_dimensions=N) as d:
        tracemalloc.start()
        try:
            hist, _ = d.histogram(1, bins=16, range=(0, values.max()))
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    assert hist.sum() == count and peak < 4 * batch, f"{peak / 2**20:.1f} MiB for batches of {batch / 2**20} MiB"


@pytest.mark.parametrize("run", [False, True], ids=["one dump", "a run on threads"])
def test_ctrl_c_while_a_server_stalls_ends_the_reduction_at_once(dump, run):
    """Ctrl-C while the next batch waits for a stalled server: the process
    ends without waiting for the fetch (which would take until the server
    answers or the read's time-out, here a minute), the tasks of a run on
    local threads too."""
    import signal
    import subprocess
    import sys
    import time

    if run:
        pytest.importorskip("xarray")
    path, _ = dump
    code = f"""if True:
        import dorvo.quickio as qio
        from dorvo.quickio import particles
        from dorvo.quickio._dump import series, streamed
        streamed.STRETCH_BYTES, streamed.STRETCHES_IN_FLIGHT = {STRETCHES[0]}, 1
        url = {{url!r}}

        def opened():
            print("opened", flush=True)
            input()

        if {run}:
            real = series.Run.each
            series.Run.each = lambda self, *a, **k: opened() or real(self, *a, **k)
            call = lambda: particles.histogram([url, url], {N}, 0, bins=4, range=(0, 1))
        else:
            d = qio.open(url, n_dimensions={N})
            opened()
            call = lambda: d.histogram(0, bins=4, range=(0, 1))
        try:
            call()
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        """
    with RangeServer(path.parent) as server:
        server.stall = 60.0
        proc = subprocess.Popen([sys.executable, "-c", code.format(url=server.url(path.name))], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
        try:
            assert proc.stdout.readline() == "opened\n"
            server.fault, asked = "stall", len(server.requests)
            proc.stdin.write("\n")
            proc.stdin.flush()
            while len(server.requests) == asked:  # until the reduction's first fetch waits for the server
                proc.poll() is None or pytest.fail("ended before the stalled read")
                time.sleep(0.01)
            proc.send_signal(signal.SIGINT)
            out, _ = proc.communicate(timeout=30)
        finally:
            proc.kill()
    assert out == "interrupted\n" and proc.returncode == 0


def test_a_whole_file_sent_for_a_range_is_refused_whatever_its_length(dump, monkeypatch):
    """A server that ignores ranges and pins nothing, whose file is replaced
    by one exactly as long as the next range asked: its 200 is not taken
    for the range."""
    from dorvo.quickio._io.remote import Remote

    path, data = dump
    monkeypatch.setattr(streamed, "STRETCH_BYTES", STRETCHES[0])
    monkeypatch.setattr(streamed, "STRETCHES_IN_FLIGHT", 1)
    real = Remote.fetch

    def replaced_before_the_third(self, ranges, **kwargs):
        asked.append(ranges)
        if len(asked) == 3:
            (start, stop), = ranges
            server.fault = "whole"
            path.write_bytes(data[:stop - start])
        return real(self, ranges, **kwargs)

    with RangeServer(path.parent, validators="none") as server:
        with pytest.warns(UnpinnedWarning):
            d = qio.open(server.url(path.name), n_dimensions=N)
        asked = []
        monkeypatch.setattr(Remote, "fetch", replaced_before_the_third)
        with d, pytest.raises(OSError, match=r"sent the whole file \(HTTP 200\)"):
            d.histogram(0, bins=4, range=(0, 1))
    assert len(asked) == 3


@hypothesis.settings(max_examples=200, deadline=None, database=None)
@hypothesis.given(counts=st.lists(st.integers(-1, 30), min_size=1, max_size=8), most=st.integers(1, 200),
                  entry=st.sampled_from([8, 24]), short=st.booleans())
def test_stretches_hold_every_entry_once_in_as_few_as_fit(counts, most, entry, short):
    """Whole blocks of at most `most` bytes; a block over that in as few
    stretches of at most `most` bytes of entries as hold it, of equal
    counts to a particle; every byte of the blocks in one stretch."""
    sizes = [4 + entry * max(c, 0) for c in counts]
    offsets = np.cumsum([0, *sizes[:-1]]).tolist()
    end = sum(sizes) - (4 if short and counts[-1] > 0 else 0)  # the file may end without the last trailing word
    got = streamed.stretches(offsets, counts, entry, end, most)
    most = max(most, 4 + entry)
    covered, pieces = [], {}
    for start, stop, count in got:
        if count is None:
            assert stop - start <= most and start in offsets and (stop in offsets or stop == end)
            covered.append((start, stop))
            continue
        assert 0 < stop - start <= most and stop - start in (count * entry, count * entry - 4)
        block = max(i for i, o in enumerate(offsets) if o < start)
        assert sizes[block] > most
        pieces.setdefault(block, []).append(count)
        covered.append((start - 4 if len(pieces[block]) == 1 else start, stop))
    assert [a for a, _ in covered] == [0, *[b for _, b in covered[:-1]]] and covered[-1][1] == end
    for block, held in pieces.items():
        per = most // entry
        assert sum(held) == counts[block] and max(held) - min(held) <= 1
        assert (len(held) - 1) * per < counts[block] <= len(held) * per


class Filling:
    """A source over `data` that fills the buffers it is given, counting
    the batches it has fetched."""

    def __init__(self, data):
        self.data, self.batches = data, 0

    def fetch(self, ranges, into=None):
        out = []
        for (s, e), buffer in zip(ranges, into):
            buffer[:e - s] = np.frombuffer(self.data, np.uint8, e - s, s)
            out.append(memoryview(buffer)[:e - s])
        self.batches += 1
        return out


@pytest.mark.parametrize("in_flight", [1, 2, 3])
def test_buffers_reused_only_once_the_caller_is_done_with_them(in_flight):
    """Each stretch is still intact once the batch after it has been
    fetched into the buffers taken in turn."""
    data = bytes(range(256)) * 4
    pieces = [(s, s + 40 + s % 7, None) for s in range(0, 900, 100)]
    source = Filling(data)
    for i, view in enumerate(streamed.fetched(source, pieces, in_flight)):
        batch = i // in_flight
        if batch + 1 < -(-len(pieces) // in_flight):
            for _ in range(500):  # the next batch is fetched while this one is worked on
                if source.batches > batch + 1:
                    break
                time.sleep(0.01)
            assert source.batches > batch + 1
        s, e, _ = pieces[i]
        assert bytes(view) == data[s:e], i


def _entries(dump_bytes):
    """The entries of each block of an in-memory dump, as the native pass
    walks it (the last entry may lack its trailing word)."""
    out, at = [], 0
    while at + 4 <= len(dump_bytes):
        count = int.from_bytes(dump_bytes[at : at + 4], "little", signed=True)
        body = dump_bytes[at + 4 : at + 4 + ENTRY * max(count, 0)]
        out += [bytes(body[k : k + ENTRY - 4]) for k in range(0, len(body), ENTRY)]
        at += 4 + ENTRY * max(count, 0)
    return out


class _Bytes:
    """A source of bytes in memory that counts the ranges of each batch."""

    def __init__(self, data):
        self.data, self.batches = data, []

    def fetch(self, ranges, into=None):  # a source may fill `into`, or not
        self.batches.append(len(ranges))
        return [self.data[s:e] for s, e in ranges]


@pytest.mark.parametrize("in_flight", [1, 3])
def test_stretches_are_whole_dumps_as_long_as_they_may_be(in_flight):
    """Drawn block tables and stretch sizes (the floor of one entry and a
    count word among them): every stretch, fetched, is a dump of at most the
    stretch size; together they hold every entry once, in file order; a
    stretch of whole blocks takes every block within reach, one of entries
    as many entries as fit; the batches keep their size."""
    rng = np.random.default_rng(11)
    for trial in range(150):
        counts = rng.choice([0, 1, 2, 5, 17, -1], size=rng.integers(1, 9)).tolist()
        data = phase_dump_bytes(np.arange(5 * sum(c for c in counts if c > 0), dtype=np.float32), N, counts)
        data = data[:-4] if trial % 2 and counts[-1] > 0 else data  # without the last trailing word
        offsets = np.cumsum([0] + [4 + ENTRY * max(c, 0) for c in counts])[:-1]
        most = int(rng.choice([1, 4 + ENTRY - 1, 4 + ENTRY, 4 + 2 * ENTRY - 1, 4 + 2 * ENTRY + 3, 32, 56, 60, 80, 1000]))
        floor = max(most, 4 + ENTRY)
        pieces = streamed.stretches(offsets, counts, ENTRY, len(data), most)
        source = _Bytes(data)
        dumps = [bytes(d) for d in streamed.fetched(source, pieces, in_flight)]
        batches = source.batches
        where = (counts, most, trial)
        # At most a stretch of bytes: whole blocks, or entries behind their count word.
        assert all(len(d) <= floor + 4 for d in dumps), where
        assert [e for d in dumps for e in _entries(d)] == _entries(data), where
        assert batches == [min(in_flight, len(pieces) - k) for k in range(0, len(pieces), in_flight)], where
        starts = [*offsets.tolist(), len(data)]
        per = floor // ENTRY
        runs: list[list[int]] = []  # the counts of the runs of entries of each block cut
        for k, (s, e, count) in enumerate(pieces):
            if count is None:  # whole blocks: the next block's end is out of reach
                assert e - s <= floor, where
                nxt = starts.index(e) + 1
                assert nxt == len(starts) or starts[nxt] > s + floor, where
            elif k and pieces[k - 1][2] is not None and pieces[k - 1][1] == s:
                runs[-1].append(count)
            else:
                runs.append([count])
        for run in runs:  # as few runs as hold the block, of counts equal to a particle
            assert max(run) - min(run) <= 1 and len(run) == -(-sum(run) // per), where


def test_parts_split_the_bytes_evenly():
    """Each of `count` parts ends with the stretch that takes it to its share
    of the bytes; the parts hold every stretch once, in order."""
    rng = np.random.default_rng(5)
    for _ in range(200):
        sizes = rng.integers(1, 50, size=rng.integers(0, 12)).tolist()
        ends = np.cumsum([0, *sizes]).tolist()
        pieces = [(a, b, None) for a, b in zip(ends, ends[1:])]
        count = int(rng.integers(1, 6))
        got = streamed.parts(pieces, count)
        assert len(got) == count and [p for part in got for p in part] == pieces, (sizes, count)
        done = 0
        for k, part in enumerate(got[:-1], 1):
            done += len(part)
            share = ends[-1] * k / count
            # up to the first stretch that ends at or past the share
            assert done == min(len(pieces), next(i for i, e in enumerate(ends) if e >= share)), (sizes, count, k)


def test_moments_merge_as_one_pass_does(tmp_path, monkeypatch):
    """Stretches that see no valid value of a component, an infinity of one
    sign or of both in one stretch or across two, a component of NaN only, stretches
    that the selection leaves empty: the merged moments equal those of one
    pass over the file."""
    values = np.random.default_rng(3).normal(size=(40, 2 * N + 1)).astype(np.float32)
    values[:25, 0] = np.nan  # the first stretches see no valid value
    values[7, 1] = np.inf
    values[5, 2], values[6, 2] = np.inf, -np.inf  # in one stretch, or in two of one entry
    values[:, 3] = np.nan
    values[30, 4] = -np.inf
    data = phase_dump_bytes(values, N, [10, 30])
    (tmp_path / "p.bin").write_bytes(data)
    for where in (None, {4: (-np.inf, -0.5)}):
        local = particles.moments(str(tmp_path / "p.bin"), N, where=where)
        for size in (4 + ENTRY, 4 + 3 * ENTRY, 4 + 12 * ENTRY):
            monkeypatch.setattr(streamed, "STRETCH_BYTES", size)
            with pytest.warns(UnpinnedWarning):
                _same(particles.moments(io.BytesIO(data), N, where=where), local, exact=False)


@pytest.mark.parametrize("name", REDUCTIONS)
def test_empty_and_cut_off_dumps_as_the_local_file_reads(tmp_path, name):
    """No blocks, one empty block, a block cut off by the file's end: what a
    pass over the file gives or raises, from memory too."""
    for data in (b"", bytes(4), phase_dump_bytes(np.ones((3, 2 * N + 1)), N)[:-30]):
        (tmp_path / "p.bin").write_bytes(data)
        try:
            local = REDUCTIONS[name](str(tmp_path / "p.bin"))
        except EOFError as e:
            with pytest.warns(UnpinnedWarning), pytest.raises(EOFError) as got:
                REDUCTIONS[name](io.BytesIO(data))
            assert str(got.value).split(": ", 1)[1] == str(e).split(": ", 1)[1]
            continue
        with pytest.warns(UnpinnedWarning):
            _same(REDUCTIONS[name](io.BytesIO(data)), local, exact=True)


@pytest.mark.parametrize("name", REDUCTIONS)
def test_streamed_passes_count_every_byte_for_the_progress(dump, monkeypatch, name):
    """The passes over every stretch count into the progress counter: at the
    end it holds about the bytes the progress was promised (but for the
    count words, which the passes count or skip), as over the file."""
    from dorvo.quickio._dump import progress

    path, data = dump
    watches, real = [], progress.Watch.__exit__

    def exit_(self, *exc):
        watches.append((int(self.counter[0]), self.total))
        return real(self, *exc)

    monkeypatch.setattr(progress.Watch, "__exit__", exit_)
    monkeypatch.setattr(streamed, "STRETCH_BYTES", STRETCHES[0])
    for target in (str(path), io.BytesIO(data)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UnpinnedWarning)
            REDUCTIONS[name](target, progress=lambda done, total: None)
    assert len(watches) >= 2 and all(abs(done - total) < 0.05 * total for done, total in watches), watches
