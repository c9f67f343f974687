"""What a view records of the dumps it reads, and whether they still match.

A view names its dump and byte offsets in it; nothing in HDF5 or XDMF
checks that the file under that name is still the one the view was made
from. So every view records, for each dump, the name it reads it by, the
identity of the file it was made from, (device, inode, size, mtime_ns,
ctime_ns), and the extent of the bytes it reads: root attributes of an
HDF5 view (REF, IDENTITY, EXTENT), and the stamp of an XDMF file (the
views it reads, or for the per-block form the dumps themselves).

check() finds the file that a reader here would read under the recorded
name and compares it with the record: a dump cut, rewritten, replaced by
another file or moved away no longer matches. A relative name is
resolved as its reader resolves it: HDF5 from the working folder, or from
the prefix in HDF5_EXTFILE_PREFIX ("${ORIGIN}" being the view's folder);
VTK's XDMF reader from the XDMF file's folder. With `origin`, an HDF5
view's relative name is resolved from the view's folder, whatever the
working folder: how the xarray engine reads a view.
"""

from __future__ import annotations

import os
from typing import NamedTuple

import numpy as np

from .._io import output as _output
from .xdmf import extent

REF, IDENTITY, EXTENT = "dump_ref", "dump_identity", "dump_extent"
FIELDS = ("device", "inode", "size", "modification time", "status change time")


class Record(NamedTuple):
    """One dump of a view: the file that names it (`view`), the name it
    gives (`ref`, "" for a view that holds a copy), the identity and the
    extent recorded (None in views written before they were recorded),
    who resolves a relative name ("hdf5" or "xdmf"), and the dimension
    count of a phase-space dump."""

    view: str
    ref: str
    identity: tuple | None
    extent: tuple | None
    resolver: str
    n_dimensions: int | None = None


class Found(NamedTuple):
    """A record, the file a reader would read for it, and why that is not
    the dump the view was made from (None when it is)."""

    record: Record
    path: str
    problem: str | None


def identity(st: os.stat_result) -> tuple:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


def attributes(ref: str, pinned: tuple, header) -> dict:
    """The root attributes of an HDF5 view that record its dump."""
    return {REF: ref, IDENTITY: np.array(pinned[:5], np.int64), EXTENT: np.array(extent(header), np.int64)}


def _hdf5_record(path: str, attrs, n) -> Record:
    ref, pinned, span = attrs.get(REF, attrs.get("dump", "")), attrs.get(IDENTITY), attrs.get(EXTENT)
    ref = ref.decode() if isinstance(ref, bytes) else str(ref)
    return Record(
        path,
        ref,
        None if pinned is None else tuple(int(v) for v in pinned),
        None if span is None else tuple(int(v) for v in span),
        "hdf5",
        None if n is None else int(n),
    )


def _hdf5_records(path: str) -> list:
    """The record in the root attributes of a view of one dump, or those
    of each group "dumps/i" of a run's view."""
    import h5py

    with h5py.File(path, "r") as f:
        n = f.attrs.get("n_dimensions")
        if "dumps" in f.attrs and isinstance(f.get("dumps"), h5py.Group):
            group = f["dumps"]
            return [_hdf5_record(path, group[str(i)].attrs, n) for i in range(int(f.attrs["dumps"]))]
        return [_hdf5_record(path, f.attrs, n)]


def records(path: str) -> list | None:
    """The records of the view at `path`: an HDF5 view, or an XDMF file
    that virtualize wrote (through the views it reads); None for any
    other file. A view that an XDMF file names but that is missing or is
    no view of ours is a record without identity."""
    from .view_file import VIEW

    if VIEW.recognise(path):
        return _hdf5_records(path)
    stamp = _output.xdmf_record(path)
    if stamp is None:
        return None
    folder = os.path.dirname(os.path.abspath(path))
    out: list[Record] = []
    for ref in stamp.get("views", []):
        view = os.path.join(folder, ref)
        out += _hdf5_records(view) if VIEW.recognise(view) else [Record(path, ref, None, None, "xdmf")]
    for dump in stamp.get("dumps", []):
        out.append(Record(path, dump["ref"], tuple(dump["identity"]), tuple(dump["extent"]), "xdmf"))
    return out


def resolve(record: Record, origin: bool = False) -> str:
    """The file a reader of the view reads under the recorded name."""
    ref = record.ref
    folder = os.path.dirname(os.path.abspath(record.view))
    if os.path.isabs(ref):
        return ref
    if record.resolver == "xdmf" or origin:
        return os.path.normpath(os.path.join(folder, ref))
    prefix = os.environ.get("HDF5_EXTFILE_PREFIX", "")
    if prefix.startswith("${ORIGIN}"):
        prefix = folder + prefix[len("${ORIGIN}") :]
    return os.path.normpath(os.path.join(os.path.abspath(prefix or os.curdir), ref))


def check(record: Record, origin: bool = False) -> Found:
    """Whether the file a reader would read for `record` is the dump the
    view was made from."""
    path = resolve(record, origin)
    if not record.ref:
        return Found(record, path, None)  # a copy of the dump's particles reads nothing of it
    if record.identity is None:
        what = (
            "is not a view of quickio's"
            if record.resolver == "xdmf"
            else "records no identity of its dump (written by an older version)"
        )
        return Found(record, path, f"the view {what}; write it anew")
    try:
        now = identity(os.stat(path))
    except OSError as e:
        where = (
            ""
            if os.path.isabs(record.ref) or record.resolver == "xdmf" or origin
            else " (HDF5 resolves a relative name from the working folder, unless HDF5_EXTFILE_PREFIX='${ORIGIN}')"
        )
        return Found(record, path, f"{e.strerror or e}{where}")
    if now == record.identity:
        return Found(record, path, None)
    differ = [name for name, a, b in zip(FIELDS, now, record.identity) if a != b]
    if now[:2] != record.identity[:2]:
        why = "another file is there"
    elif record.extent is not None and now[2] < record.extent[1]:
        why = f"cut: {now[2]} bytes, the view reads up to byte {record.extent[1]}"
    else:
        why = "changed"
    return Found(record, path, f"{why} since the view was made ({', '.join(differ)} differ); write the view anew")


def check_view(path: str, origin: bool = False) -> list | None:
    """check() of every record of the view at `path`; None for a file
    that is no view of ours."""
    found = records(path)
    return None if found is None else [check(r, origin) for r in found]


def dump_of(path: str) -> Record | None:
    """The record of the one dump of the HDF5 view at `path`, with its name
    resolved from the view's folder (whatever the working folder), once it
    is checked to be the file the view was made from (OSError if not);
    None for a file that is no HDF5 view of ours."""
    from .view_file import VIEW

    if not VIEW.recognise(path):
        return None
    found = _hdf5_records(path)
    if len(found) > 1:
        raise ValueError(
            f"{path}: a view of a run of {len(found)} dumps, which HDF5 readers read "
            f"(engine='h5netcdf'); the engine 'vintar' reads one dump"
        )
    record = found[0]
    if record.identity is not None and not record.ref:
        raise ValueError(
            f"{path}: a view that holds a copy of its dump's particles, which HDF5 readers read "
            f"(engine='h5netcdf'); the engine 'vintar' reads dumps"
        )
    checked = check(record, origin=True)
    if checked.problem is not None:
        raise OSError(f"{path}: its dump {checked.path} is not the file the view was made from: {checked.problem}")
    return checked.record._replace(ref=checked.path)
