"""``open()``: one opened dump behind every reader.

A ``Dump`` opens its source once (``_io.sources``: a local file held by
its descriptor, a file object or a remote file), pins the source's
identity, scans the dump once (``_scan``) and keeps the header. Every read after that, whether the
whole dump (``load``), a selection (``read``) or a streamed reduction,
first checks that the source still holds what was pinned, so that a dump
replaced or rewritten since the scan raises OSError "<name>: the file
changed since it was opened" instead of giving values of another file.
Selections become byte runs through the one read planner (``_planner``).

The scan (``scan``, a ``_scan.FieldScan`` or ``_scan.PhaseScan``) is the
one place that knows where the dump's records lie: the header, the planner
and the views take every offset and size from it.

A Dump pickles as its target (a local file by its absolute path), the
identity it pinned and its scan: unpickling (on a dask worker, say) reads
nothing, and the first read opens the target again and raises OSError when
it is not the file pinned, so that the task that reads fails with that
error. Local dumps share a bounded set of descriptors (``max_open_files``)
and open their file again when theirs was closed, by the same rule. A Dump
garbage-collected unclosed closes itself with a ResourceWarning, as an open
file does.
"""

from __future__ import annotations

import os
import warnings

import numpy as np

from .. import _scan
from .._io import remote as _remote
from .._io import sources as _sources
from .._io.local import SUFFIX, max_open_files, without_suffix
from .._io.remote import UnpinnedWarning
from ..components import component_index
from . import headers as _headers
from . import planner as _planner
from . import reductions as _reductions
from . import streamed as _streamed
from .headers import KindError

__all__ = ["Dump", "KindError", "UnpinnedWarning", "max_open_files", "open"]


# What a Dump has not worked out yet (None is an answer).
_UNKNOWN = object()


class Dump:
    """One opened dump: a field dump, or a phase-space dump read with
    `n_dimensions`. Use ``dorvo.quickio.open()`` to make one.

    ``name`` is the dump's name (its path by the name rule, its URL or a
    file object's name); ``identity`` what was pinned at opening:
    (device, inode, size, mtime_ns, ctime_ns) of a local file, (size,
    validators) of a remote one; ``scan`` what the native scan found;
    ``header`` the header and block table (None for a file opened with
    ``strict=False`` that is not a field dump)."""

    def __init__(
        self,
        target,
        *,
        n_dimensions=None,
        storage_options=None,
        timeout=_remote.TIMEOUT,
        strict=True,
        resource_warning=True,
    ):
        n = None if n_dimensions is None else _headers.dimensions(n_dimensions)
        self._resource_warning = False
        self._source = _sources.open_source(target, storage_options, timeout)
        self._set_source(self._source, target, n, storage_options, timeout)
        self._resource_warning = resource_warning
        try:
            if n is not None:
                _headers.dimensions(n, self._source.size, self.name)
            with self._source.scanned() as src:
                self.scan = _scan.field(src) if n is None else _scan.phase(src, n)
                if n is not None and self.scan.reason and _headers.is_field(_scan.field(src)):
                    # A field dump walked as particles runs into a block
                    # count of a billion: say what the file is instead.
                    raise _headers.KindError(
                        f"{self.name}: a field dump, not a phase-space dump; a field dump "
                        f"is read without n_dimensions, by its own header"
                    )
            self.header = self._make_header(n, strict)
        except BaseException:
            self._source, source = None, self._source
            source.close()
            raise

    def _forget(self):
        """What a Dump works out from its header when first asked: nothing yet."""
        self._whole_with = _UNKNOWN
        self._blocks = None
        self._entries_cache = None
        self._stretches = None

    def _set_source(self, source, target, n, storage_options, timeout):
        self._source = source
        self.name = source.name
        self.identity = source.identity
        self._is_local = source.is_local
        # How to open it again: a local file by its absolute path; a file
        # object (None) cannot be.
        again = source.path if source.path is not None else None if isinstance(source, _sources.FileObject) else target
        self._how = (again, n, storage_options, timeout)
        self._token = str(again) if again is not None else f"{self.name}@{id(target):x}"
        self._forget()

    def _make_header(self, n, strict):
        name, s = self.name, self.scan
        if n is not None:
            return _headers.phase_space_header(name, s)
        if not _headers.is_field(s):
            if strict:
                raise ValueError(self.not_a_field_dump("pass n_dimensions=N"))
            return None
        return _headers.field_header(name, s)

    @property
    def is_field_dump(self) -> bool:
        """True when the dump was opened as a field dump, which its header
        says it is."""
        return isinstance(self.header, _headers.FieldHeader)

    def as_phase_space(self, n_dimensions) -> None:
        """Reads a file opened without n_dimensions that is not a field dump
        as a phase-space dump of `n_dimensions`, through the same opened
        source: for the tools that take dumps of both kinds at once."""
        if self.header is not None:
            raise _headers.KindError(f"{self.name}: a field dump, not a phase-space dump")
        n = _headers.dimensions(n_dimensions, self._opened().size, self.name)
        with self._opened().scanned() as src:
            self.scan = _scan.phase(src, n)
        self.header = _headers.phase_space_header(self.name, self.scan)
        self._how = (self._how[0], n, *self._how[2:])
        self._forget()

    def field_header(self) -> _headers.FieldHeader:
        """The header of the dump read as a field dump, whatever it is: of a
        field dump its header, of another file what the field walk found
        (not well-formed). EOFError or ValueError for a file too short or
        too odd for the parameter records. Needs a Dump opened without
        n_dimensions."""
        if self.header is not None:
            return self.header
        return _headers.field_header(self.name, self.scan)

    def not_a_field_dump(self, hint: str) -> str:
        """The message for a file opened without n_dimensions that is not a
        field dump: a phase-space dump, which needs its dimension count
        (`hint` says how to give it), unless its first block count claims
        more than the file holds even with the shortest entries (n = 0: 8
        bytes), as the first bytes of a text or an image do."""
        s = self.scan
        why = s.reason or s.refusal
        if not s.holds_first_block:
            return (
                f"{self.name}: neither a field dump ({why}) nor a whole phase-space dump (its first "
                f"block count, {s.first_count}, asks for more than its {s.file_size} bytes)"
            )
        return (
            f"{self.name}: a phase-space dump, not a field dump ({why}); the file does not record its "
            f"dimension count: {hint}"
        )

    # ------------------------------------------------------------ the object

    @property
    def is_local(self) -> bool:
        """True when the dump is a file on this machine: ``identity`` then
        starts with its (device, inode)."""
        return self._is_local

    @property
    def travels(self) -> bool:
        """True when the dump pickles, so that another process (a worker of
        a cluster) can read it: opened by a path or a URL, not from a file
        object."""
        return self._how[0] is not None

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

    def __del__(self):
        if getattr(self, "_source", None) is not None:
            try:
                if self._resource_warning:
                    warnings.warn(f"unclosed dump {self.name!r}", ResourceWarning, stacklevel=2, source=self)
            finally:
                self.close()

    def __repr__(self) -> str:
        state = "closed " if self.closed else ""
        kind = "field" if self.header is None or isinstance(self.header, _headers.FieldHeader) else "phase-space"
        return f"<{state}{kind} Dump {self.name!r}>"

    def __reduce__(self):
        target, n, options, timeout = self._how
        if target is None:
            raise TypeError(f"{self.name}: a dump opened from a file object cannot be pickled; open it by path or URL")
        return _unpickled, (target, n, options, timeout, self.identity, self.scan, self.header)

    def __dask_tokenize__(self):
        return ("vintar-dump", self._token, self._how[1], repr(self.identity))

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
                raise ValueError(
                    f"{h.path}: not a whole phase-space dump when read with "
                    f"n_dimensions={h.n_dimensions}: {h.reason}{self.dimensions_hint()}"
                )
            raise ValueError(f"{h.path}: not a well-formed field dump: {h.reason}")

    # Dimension counts tried when a phase-space walk fails: those of the
    # simulation's runs (1 to 3), then n = 0.
    _OTHER_DIMENSIONS = (1, 2, 3, 0)

    def whole_with(self):
        """For a phase-space dump whose walk failed, another dimension count
        with which the walk goes through the whole file (the count given
        was likely wrong), else None (the file is cut short or broken)."""
        h = self.header
        if not isinstance(h, _headers.PhaseSpaceHeader) or h.well_formed:
            return None
        if self._whole_with is _UNKNOWN:
            self._whole_with = None
            with self._opened().scanned() as src:
                for n in self._OTHER_DIMENSIONS:
                    if n != h.n_dimensions and not _scan.phase(src, n).reason:
                        self._whole_with = n
                        break
        return self._whole_with

    def dimensions_hint(self) -> str:
        """ "; read with n_dimensions=M the file is whole" when whole_with()
        finds such an M, else ""."""
        n = self.whole_with()
        return "" if n is None else f"; read with n_dimensions={n} the file is whole"

    # ------------------------------------------------------------ whole reads

    def load(self):
        """What ``dorvo.quickio.load()`` gives: (f, x, y, z) of a field
        dump, the (2n+1, P) particle array of a phase-space dump."""
        source = self._opened()
        h = self.header
        load = self._load_field if isinstance(h, _headers.FieldHeader) else self._load_phase_space
        if source.path is None:
            # Read by ranges, each batch checked by the source.
            source.check()
            return load(h, None)
        # The native loaders open the path: the file must be the one pinned,
        # with no writer, before and after.
        with source.reading() as path:
            return load(h, path)

    def _load_field(self, h, path):
        if path is not None:
            from .. import meshdump

            nx, ny, nz = h.shape
            if path.endswith(SUFFIX):
                # The specified loader, by its own name rule.
                return meshdump.read_Vintar_bin(without_suffix(path), h.params)
            if min(nx, ny, nz) <= 0:
                # A grid of no points leaves read_file nothing to place,
                # and it would only say so by a buffer index: say why.
                raise ValueError(f"{h.path}: {h.reason}")
            f = np.empty(nx * ny * nz, np.float32)
            x, y, z = (np.empty(k, np.float32) for k in (nx, ny, nz))
            meshdump.read_file(f, x, y, z, os.fsencode(path))
            return f.reshape((nx, ny, nz), order="F"), x, y, z
        if not h.well_formed:
            eof = self.scan.eof and self.scan.int_params is None
            raise (EOFError if eof else ValueError)(f"{h.path}: {h.reason}")
        return (self.read(), *(np.array(a) for a in (h.x, h.y, h.z)))

    def _load_phase_space(self, h, path):
        if not h.well_formed:
            # The walk stops only at a block that announces more particles
            # than the file holds: the file ends too soon, or the dimension
            # count is not the file's.
            raise EOFError(f"{h.path}: {h.reason}{self.dimensions_hint()}")
        if h.particles == 0:
            return np.empty((h.components, 0), np.float32, order="F")
        if path is not None:
            from .. import beamdump

            ps = np.empty(h.components * h.particles, np.float32)
            beamdump.beamdump(ps, h.n_dimensions, os.fsencode(path))
            return ps.reshape((h.components, h.particles), order="F")
        return self.read()

    # ------------------------------------------------------------ selections

    def read(self, x=None, y=None, z=None, *, particles=None, components=None, labels=None) -> np.ndarray:
        """A selection, read by the blocks that hold it: of a field dump
        ``read(x, y, z)``, each an int, a slice or None (all); of a
        phase-space dump ``read(particles=..., components=...)``, where a
        component may also be named ("px"; one of `labels`, the 2n+1 names,
        when given). The result is float32 in column-major order, without
        the axes indexed by an int."""
        source = self._opened()
        self._require_well_formed()
        h = self.header
        if isinstance(h, _headers.FieldHeader):
            if particles is not None or components is not None:
                raise TypeError("a field dump is read by x, y and z")
            keys: tuple = (x, y, z)
        else:
            if (x, y, z) != (None, None, None):
                raise TypeError("a phase-space dump is read by particles= and components=")
            if isinstance(components, str):
                components = component_index(components, h.n_dimensions, labels, "components")
            keys = (components, particles)
        picked = [
            _planner.axis_range(k, n)
            for k, n in zip(keys, h.shape if isinstance(h, _headers.FieldHeader) else (h.components, h.particles))
        ]
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
            pieces = {offset: h.pieces(offset, 0) for offset in set(h.segments.record.tolist())}
            runs = _planner.field_runs(self._field_blocks(), h.nx, *ranges, pieces=pieces)
            _planner.execute(source, runs, out)
            return
        rc, rp = ranges
        entries = self._entries()
        whole = rc == range(h.components) and rp.step == 1
        buf = out if whole else np.empty((h.components, rp[-1] + 1 - rp[0]), np.float32, order="F")
        _planner.execute(source, _planner.phase_runs(entries, rp[0], rp[-1] + 1), buf)
        if not whole:
            out[...] = buf[rc.start : rc.stop : rc.step, :: rp.step]

    def _field_blocks(self):
        if self._blocks is None:
            self._blocks = _planner.field_blocks(self.header.blocks)
        return self._blocks

    def _entries(self):
        if self._entries_cache is None:
            h = self.header
            self._entries_cache = _planner.Entries(h.blocks.entries, h.blocks.count, h.components)
        return self._entries_cache

    def chunks(self, chunk_bytes=None) -> tuple:
        """Dask chunks of the dump's array of about `chunk_bytes` each (128
        MiB unless given), on block boundaries where they can be: see
        ``planner.field_chunks`` and ``planner.particle_chunks``."""
        chunk_bytes = _planner.CHUNK_BYTES if chunk_bytes is None else chunk_bytes
        h = self.header
        if isinstance(h, _headers.FieldHeader):
            return _planner.field_chunks(self._field_blocks(), h.shape, chunk_bytes)
        return ((h.components,), _planner.particle_chunks(h.blocks.count, h.components, chunk_bytes) or (0,))

    # ------------------------------------------------------------ reductions

    def stretches(self) -> list:
        """The stretches by which the particles of this phase-space dump are
        read from memory (see ``streamed.stretches``)."""
        if self._stretches is None:
            h = self.header
            self._stretches = _streamed.stretches(
                h.blocks.offset, h.blocks.count, h.entry_bytes, h.file_size - h.trailing_bytes
            )
        return self._stretches

    def _streamed(self, call, *args, part=None, **kwargs):
        """`call` (a reduction) over the passes of this dump (see
        ``streamed.passes``)."""
        source = self._opened()
        h = self.header
        if not isinstance(h, _headers.PhaseSpaceHeader):
            raise TypeError(f"{self.name}: the particle reductions read phase-space dumps")
        try:
            expect = self.identity if self.is_local else None
            with _streamed.passes(source, h, self.stretches, expect, part) as passes:
                return call(passes, h.n_dimensions, *args, **kwargs)
        except EOFError as e:
            # The pass ran into a block that the file cannot hold: say so
            # when another dimension count would have walked it whole.
            hint = self.dimensions_hint()
            if hint:
                raise EOFError(f"{e}{hint}") from e
            raise

    def histogram(
        self, components, bins=10, range=None, weights=None, where=None, *, progress=None, labels=None, part=None
    ):
        """``dorvo.quickio.particles.histogram`` of this dump (of its `part`,
        (k, count), when given)."""
        return self._streamed(
            _reductions.histogram, components, bins, range, weights, where, progress=progress, labels=labels, part=part
        )

    def census(self, components, where=None, *, progress=None, labels=None) -> _reductions.Census:
        """What a histogram of `components` (one or two) of the particles
        `where` keeps takes, counted in one pass: the particles selected,
        those of them finite in every component, and the ranges it takes
        when none is given (``_reductions.Census``)."""
        return self._streamed(_reductions.census, components, where, progress=progress, labels=labels)

    def extent(self, components, where=None, *, progress=None, labels=None, part=None) -> list:
        """The finite (min, max) of each component of `components` over the
        particles `where` keeps (None for one without a finite value), as a
        histogram without a range takes it."""
        return self._streamed(_reductions.extent, components, where, progress=progress, labels=labels, part=part)

    def moments(self, where=None, *, progress=None, labels=None, part=None) -> dict:
        """``dorvo.quickio.particles.moments`` of this dump."""
        return self._streamed(_reductions.moments, where, progress=progress, labels=labels, part=part)

    def select(self, where=None, *, progress=None, labels=None) -> np.ndarray:
        """``dorvo.quickio.particles.select`` of this dump."""
        return self._streamed(_reductions.select, where, progress=progress, labels=labels)


def _unpickled(target, n_dimensions, storage_options, timeout, identity, scan, header):
    """A pickled Dump, its target not yet opened: its first read opens it
    and refuses a file that is not the one pinned."""
    d = Dump.__new__(Dump)
    d._resource_warning = False  # a copy that its task drops when done
    d._set_source(
        _sources.open_source(target, storage_options, timeout, expect=identity),
        target,
        n_dimensions,
        storage_options,
        timeout,
    )
    d.scan, d.header = scan, header
    return d


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
