"""``open()``: one opened dump behind every reader.

A ``Dump`` opens its source once (``_remote``: a local file held by its
descriptor, or a remote one), pins the source's identity, scans the dump
once (``_scan``) and keeps the header. Every read after that, whether the
whole dump (``load``), a selection (``read``) or a streamed reduction,
first checks that the source still holds what was pinned, so that a dump
replaced or rewritten since the scan raises OSError "<name>: the file
changed since it was opened" instead of giving values of another file.
Selections become byte runs through the one read planner (``_planner``).

A Dump pickles as how to open it and the identity it pinned: unpickled (on
a dask worker, say) it opens its target again and refuses a file that is
not the one pinned.
"""
from __future__ import annotations

import operator
import os
import re

import numpy as np

from . import _headers, _planner, _reductions, _remote, _scan

__all__ = ["Dump", "glob", "is_remote", "is_url", "open", "step_number", "target_name"]


def _dimensions(n_dimensions):
    if n_dimensions is None:
        return None
    n = operator.index(n_dimensions)
    if n < 0:
        raise ValueError(f"n_dimensions must be >= 0, got {n}")
    return n


def _range(key, n: int) -> tuple:
    """(range, drop) of an int, a slice or None along an axis of n values:
    the positions selected (positive step), and whether the axis drops."""
    if key is None:
        return range(n), False
    if isinstance(key, slice):
        r = range(*key.indices(n))
        if r.step < 0:
            raise ValueError("read() takes slices of positive step")
        return r, False
    i = operator.index(key)
    if not -n <= i < n:
        raise IndexError(f"index {i} is out of bounds for an axis of {n}")
    i += n if i < 0 else 0
    return range(i, i + 1), True


class Dump:
    """One opened dump: a field dump, or a phase-space dump read with
    `n_dimensions`. Use ``dorvo.quickio.open()`` to make one.

    ``name`` is the dump's name (its path by the name rule, its URL or a
    file object's name); ``identity`` what was pinned at opening:
    (device, inode, size, mtime_ns, ctime_ns) of a local file, (size,
    validators) of a remote one; ``header`` the header and block table."""

    def __init__(self, target, *, n_dimensions=None, storage_options=None, timeout=_remote.TIMEOUT,
                 expect=None, strict=True):
        n = _dimensions(n_dimensions)
        self._how = (target, n, storage_options, timeout)
        self._source = _remote.open_source(target, storage_options, timeout)
        self.name = self._source.name
        self.identity = self._source.identity
        try:
            if expect is not None and self._source.identity != expect:
                raise _remote.changed(self._source.name)
            with self._source.scanned() as src:
                self._scan = _scan.field(src) if n is None else _scan.phase(src, n)
                if n is not None and self._scan["reason"] and _headers.is_field(_scan.field(src)):
                    # A field dump walked as particles runs into a block
                    # count of a billion: say what the file is instead.
                    raise ValueError(f"{self.name}: a field dump, not a phase-space dump; a field dump is "
                                     f"read without n_dimensions, by its own header")
            self.header = self._make_header(n, strict)
        except BaseException:
            self._source.close()
            raise

    def _make_header(self, n, strict):
        name, s = self.name, self._scan
        if n is not None:
            return _headers.phase_space_header(name, n, s)
        self.is_field_dump = _headers.is_field(s)
        if not self.is_field_dump:
            if strict:
                raise ValueError(self.not_a_field_dump("pass n_dimensions=N"))
            return None
        return _headers.field_header(name, s)

    def not_a_field_dump(self, hint: str) -> str:
        """The message for a file opened without n_dimensions that is not a
        field dump: a phase-space dump, which needs its dimension count
        (`hint` says how to give it), unless its first block count claims
        more than the file holds even with the shortest entries (n = 0: 8
        bytes), as the first bytes of a text or an image do."""
        why = self._scan["reason"] or self._scan["refusal"]
        size = self._scan["file_size"]
        # Fewer than 4 bytes hold no block count: an empty phase-space dump.
        first = int.from_bytes(self._opened().fetch([(0, 4)])[0], "little", signed=True) if size >= 4 else 0
        if size >= 4 and 4 + 8 * first > size:
            return (f"{self.name}: neither a field dump ({why}) nor a whole phase-space dump (its first "
                    f"block count, {first}, asks for more than its {size} bytes)")
        return (f"{self.name}: a phase-space dump, not a field dump ({why}); the file does not record its "
                f"dimension count: {hint}")

    # ------------------------------------------------------------ the object

    @property
    def is_local(self) -> bool:
        return self._source.kind == "local"

    @property
    def closed(self) -> bool:
        return self._source is None

    def close(self) -> None:
        source, self._source = self._source, None
        if source is not None:
            source.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        kind = "field" if self.header is None or isinstance(self.header, _headers.FieldHeader) else "phase-space"
        return f"<{state}{kind} Dump {self.name!r}>"

    def __reduce__(self):
        target, n, options, timeout = self._how
        if _remote.is_file_object(target):
            raise TypeError(f"{self.name}: a dump opened from a file object cannot be pickled; open it by "
                            f"path or URL")
        return _reopen, (target, n, options, timeout, self.identity)

    def __dask_tokenize__(self):
        return ("vintar-dump", str(self._how[0]), self._how[1], repr(self.identity))

    def check(self) -> None:
        """Raises OSError when the dump is no longer the one opened."""
        self._opened().check()

    def _opened(self):
        if self._source is None:
            raise ValueError(f"{self.name}: I/O operation on a closed dump")
        return self._source

    def _require_well_formed(self):
        h = self.header
        if not h.well_formed:
            if isinstance(h, _headers.PhaseSpaceHeader):
                raise ValueError(f"{h.path}: not a whole phase-space dump when read with "
                                 f"n_dimensions={h.n_dimensions}: {h.reason}")
            raise ValueError(f"{h.path}: not a well-formed field dump: {h.reason}")

    # ------------------------------------------------------------ whole reads

    def load(self):
        """What ``dorvo.quickio.load()`` gives: (f, x, y, z) of a field
        dump, the (2n+1, P) particle array of a phase-space dump."""
        source = self._opened()
        h = self.header
        source.check()
        if isinstance(h, _headers.FieldHeader):
            out = self._load_field(source, h)
        else:
            out = self._load_phase_space(source, h)
        source.check()
        return out

    def _load_field(self, source, h):
        if source.kind == "local":
            from . import meshdump

            nx, ny, nz = h.shape
            if source.name.endswith(".bin"):
                # The specified loader, by its own name rule.
                return meshdump.read_Vintar_bin(source.name[:-4], h.params)
            if min(nx, ny, nz) < 0:
                raise ValueError(f"{h.path}: {h.reason or 'negative grid sizes'}")
            f = np.empty(nx * ny * nz, np.float32)
            x, y, z = (np.empty(k, np.float32) for k in (nx, ny, nz))
            meshdump.read_file(f, x, y, z, os.fsencode(source.name))
            return f.reshape((nx, ny, nz), order="F"), x, y, z
        if not h.well_formed:
            eof = self._scan["eof"] and self._scan["int_params"] is None
            raise (EOFError if eof else ValueError)(f"{h.path}: {h.reason}")
        return (self.read(), *(np.array(a) for a in (h.x, h.y, h.z)))

    def _load_phase_space(self, source, h):
        if not h.well_formed:
            # The walk stops only at a block that announces more particles
            # than the file holds: the file ends too soon.
            raise EOFError(f"{h.path}: {h.reason}")
        if h.particles == 0:
            return np.empty((h.components, 0), np.float32, order="F")
        if source.kind == "local":
            from . import beamdump

            ps = np.empty(h.components * h.particles, np.float32)
            beamdump.beamdump(ps, h.n_dimensions, os.fsencode(source.name))
            return ps.reshape((h.components, h.particles), order="F")
        return self.read()

    # ------------------------------------------------------------ selections

    def read(self, x=None, y=None, z=None, *, particles=None, components=None) -> np.ndarray:
        """A selection, read by the blocks that hold it: of a field dump
        ``read(x, y, z)``, each an int, a slice or None (all); of a
        phase-space dump ``read(particles=..., components=...)``. The
        result is float32 in column-major order, without the axes indexed
        by an int."""
        source = self._opened()
        self._require_well_formed()
        h = self.header
        if isinstance(h, _headers.FieldHeader):
            if particles is not None or components is not None:
                raise TypeError("a field dump is read by x, y and z")
            keys = (x, y, z)
        else:
            if (x, y, z) != (None, None, None):
                raise TypeError("a phase-space dump is read by particles= and components=")
            keys = (components, particles)
        picked = [_range(k, n) for k, n in zip(keys, h.shape if isinstance(h, _headers.FieldHeader)
                                                 else (h.components, h.particles))]
        ranges = [r for r, _ in picked]
        out = np.empty([len(r) for r in ranges], np.float32, order="F")
        if out.size:
            source.check()
            self._fill(source, out, ranges)
        drop = tuple(0 if d else slice(None) for _, d in picked)
        return out[drop]

    def _fill(self, source, out, ranges):
        h = self.header
        if isinstance(h, _headers.FieldHeader):
            runs = _planner.field_runs(self._field_blocks(), h.nx, *ranges)
            _planner.execute(source, runs, out)
            return
        rc, rp = ranges
        entries = self._entries()
        whole = rc == range(h.components) and rp.step == 1
        buf = out if whole else np.empty((h.components, rp[-1] + 1 - rp[0]), np.float32, order="F")
        _planner.execute(source, _planner.phase_runs(entries, rp[0], rp[-1] + 1), buf)
        if not whole:
            out[...] = buf[rc.start:rc.stop:rc.step, ::rp.step]

    def _field_blocks(self):
        if not hasattr(self, "_blocks"):
            self._blocks = _planner.field_blocks(self.header.blocks)
        return self._blocks

    def _entries(self):
        if not hasattr(self, "_entries_cache"):
            h = self.header
            self._entries_cache = _planner.Entries(h.blocks.offset, h.blocks.count, h.components)
        return self._entries_cache

    def chunks(self, chunk_bytes=None) -> tuple:
        """Dask chunks of the dump's array that follow its blocks, of about
        `chunk_bytes` each (128 MiB unless given)."""
        chunk_bytes = _planner.CHUNK_BYTES if chunk_bytes is None else chunk_bytes
        h = self.header
        if isinstance(h, _headers.FieldHeader):
            return _planner.field_chunks(self._field_blocks(), h.shape, chunk_bytes)
        return ((h.components,), _planner.particle_chunks(h.blocks.count, h.components, chunk_bytes) or (0,))

    # ------------------------------------------------------------ reductions

    def _streamed(self, call, *args, **kwargs):
        source = self._opened()
        if not isinstance(self.header, _headers.PhaseSpaceHeader):
            raise TypeError(f"{self.name}: the particle reductions read phase-space dumps")
        source.check()
        if source.kind != "local":
            raise NotImplementedError(f"{self.name}: the streamed reductions read local files")
        out = call(source.name, self.header.n_dimensions, *args, **kwargs)
        source.check()
        return out

    def histogram(self, components, bins=10, range=None, weights=None, where=None, *, progress=None):
        """``dorvo.quickio.particles.histogram`` of this dump."""
        return self._streamed(_reductions.histogram, components, bins, range, weights, where, progress=progress,
                              expect=self.identity)

    def moments(self, where=None, *, progress=None) -> dict:
        """``dorvo.quickio.particles.moments`` of this dump."""
        return self._streamed(_reductions.moments, where, progress=progress)

    def select(self, where=None, *, progress=None) -> np.ndarray:
        """``dorvo.quickio.particles.select`` of this dump."""
        return self._streamed(_reductions.select, where, progress=progress)


def _reopen(target, n_dimensions, storage_options, timeout, identity):
    return Dump(target, n_dimensions=n_dimensions, storage_options=storage_options, timeout=timeout,
                expect=identity)


def open(target, *, n_dimensions=None, storage_options=None, timeout=_remote.TIMEOUT) -> Dump:
    """Opens the dump `target` once: a path (the name as given, or, when no
    such file exists, the name plus ".bin"), a URL read through fsspec
    (`storage_options` go to its file system; a remote read waits at most
    `timeout` seconds for the server), an fsspec OpenFile or a binary file
    object. A field dump is recognised by its header; a phase-space dump
    is opened with `n_dimensions`. The Dump is a context manager;
    ``close()`` may be called any number of times.

    Raises what reading the header raises: OSError for a file that cannot
    be read, ValueError for a file that is not a field dump (without
    `n_dimensions`) and for a field dump (with it), EOFError for one cut
    short within its parameters."""
    return Dump(target, n_dimensions=n_dimensions, storage_options=storage_options, timeout=timeout)


# Where a target lives, for the layers above, which reach the sources only
# through the opened dump.
is_url = _remote.is_url
is_remote = _remote.is_remote


def glob(pattern: str, storage_options=None) -> list:
    """The URLs that a URL pattern matches, through fsspec."""
    return _remote.glob(pattern, storage_options)


def target_name(target) -> str:
    """The name by which messages call `target`: a path as given, a URL, or
    the name of a file object."""
    return target if isinstance(target, str) else _remote.Remote(target).name


def step_number(name) -> int | None:
    """The step of a run that a dump's name gives: the last number in its
    file name, less the ".bin" suffix (Ex_50.bin and run2/Ex_0050.bin are
    step 50), or None for a name that holds no digits. Time series of
    dumps, in xarray and in XDMF views, take their steps by this one rule."""
    name = os.path.basename(os.fspath(name))
    numbers = re.findall(r"\d+", name[:-len(".bin")] if name.endswith(".bin") else name)
    return int(numbers[-1]) if numbers else None
