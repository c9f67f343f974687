"""The kinds of output that are ours, and how each is known: the stamp that
its format keeps (the root attribute STAMP of a NetCDF-4 file or of a Zarr
store's zarr.json, an Information element STAMP in an XDMF file) and, for a
Zarr store, nothing in it but what zarr wrote for it. ``output`` replaces
only outputs that these recognise."""

from __future__ import annotations

import json
import os
from typing import Callable, NamedTuple

__all__ = [
    "CONVERT",
    "NETCDF",
    "STAMP",
    "VIRTUALIZE",
    "XDMF",
    "ZARR",
    "Kind",
    "hdf5_root_attribute",
    "is_hdf5",
    "xdmf_record",
    "xdmf_stamp",
]

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
# The name of the stamp in what convert and virtualize write; its value
# names the writer.
STAMP = "quickio_output"
CONVERT = "convert"
VIRTUALIZE = "virtualize"


def _store_entries(nodes: dict):
    """A test of the paths (relative, "/"-separated) that zarr writes for a
    store of the top-level `nodes` (its consolidated metadata): the
    zarr.json files, and under each array "c" and its chunk keys, one
    number per dimension."""

    def ours(rel: str, is_dir: bool) -> bool:
        if rel == "zarr.json":
            return not is_dir
        name, _, rest = rel.partition("/")
        node = nodes.get(name)
        if not isinstance(node, dict):
            return False
        if rest in ("", "zarr.json"):
            return is_dir == (rest == "")
        ndim = len(node.get("shape", ())) if node.get("node_type") == "array" else -1
        parts = rest.split("/")
        if parts[0] != "c" or ndim < 1 or not all(p.isdigit() for p in parts[1:]):
            return False
        return len(parts) - 1 < ndim if is_dir else len(parts) - 1 == ndim

    return ours


def _is_zarr_store(path: str) -> bool:
    """A directory that quickio convert wrote as a Zarr store, holding
    nothing but what zarr wrote for it."""
    meta = os.path.join(path, "zarr.json")
    if os.path.islink(path) or not os.path.isdir(path) or os.path.islink(meta) or not os.path.isfile(meta):
        return False
    try:
        with open(meta, "rb") as fh:
            doc = json.load(fh)  # (NaN and Infinity tokens of older stores parse too)
    except (OSError, ValueError):
        return False
    if not isinstance(doc, dict) or doc.get("zarr_format") != 3 or doc.get("node_type") != "group":
        return False
    if (doc.get("attributes") or {}).get(STAMP) != CONVERT:
        return False
    nodes = (doc.get("consolidated_metadata") or {}).get("metadata")
    if not isinstance(nodes, dict):
        return False
    ours = _store_entries(nodes)
    for folder, dirs, files in os.walk(path):
        rel = os.path.relpath(folder, path).replace(os.sep, "/")
        prefix = "" if rel == "." else rel + "/"
        for name in dirs:
            if os.path.islink(os.path.join(folder, name)) or not ours(prefix + name, True):
                return False
        if not all(ours(prefix + name, False) for name in files):
            return False
    return True


def is_hdf5(path: str) -> bool:
    """A regular file that starts with the HDF5 signature."""
    if os.path.islink(path) or not os.path.isfile(path):
        return False
    try:
        with open(path, "rb") as fh:
            return fh.read(len(HDF5_SIGNATURE)) == HDF5_SIGNATURE
    except OSError:
        return False


def hdf5_root_attribute(path: str, name: str):
    """The root attribute `name` of the HDF5 file at `path`, None when it
    has none, is no HDF5 file or h5py is missing."""
    if not is_hdf5(path):
        return None
    try:
        import h5py

        with h5py.File(path, "r") as f:
            value = f.attrs.get(name)
    except (ImportError, OSError):
        return None
    return value.decode() if isinstance(value, bytes) else value


def _is_netcdf(path: str) -> bool:
    """A NetCDF-4 (HDF5) file that quickio convert wrote."""
    return hdf5_root_attribute(path, STAMP) == CONVERT


def xdmf_stamp(record: dict) -> str:
    """The element that marks an XDMF file as written by virtualize, with
    `record` (what the file reads) as JSON: the first child of its Domain,
    where the readers of XDMF take it as information about the domain."""
    from xml.sax.saxutils import quoteattr

    text = json.dumps({"writer": VIRTUALIZE, **record}, separators=(",", ":"))
    return f"  <Information Name={quoteattr(STAMP)} Value={quoteattr(text)}/>\n"


def xdmf_record(path: str) -> dict | None:
    """The record of the XDMF file at `path` that virtualize wrote (see
    xdmf_stamp), None for any other file."""
    import xml.etree.ElementTree as ET

    if os.path.islink(path) or not os.path.isfile(path):
        return None
    try:
        with open(path, "rb") as fh:
            # Only the start tags up to the stamp are parsed: a large file
            # costs a read or two.
            seen = []
            for _, element in ET.iterparse(fh, events=("start",)):
                seen.append(element.tag)
                if len(seen) == 3:
                    break
            else:
                return None
    except (OSError, ET.ParseError, ValueError):
        return None
    if seen != ["Xdmf", "Domain", "Information"] or element.get("Name") != STAMP:
        return None
    try:
        record = json.loads(element.get("Value") or "")
    except ValueError:
        return None
    return record if isinstance(record, dict) and record.get("writer") == VIRTUALIZE else None


def _is_xdmf(path: str) -> bool:
    return xdmf_record(path) is not None


class Kind(NamedTuple):
    """The kind of output a writer makes: what the messages call it, and
    how an existing one of ours is recognised."""

    name: str
    recognise: Callable[[str], bool]


ZARR = Kind("a Zarr store that quickio convert wrote (with nothing added)", _is_zarr_store)
NETCDF = Kind("a NetCDF-4 file that quickio convert wrote", _is_netcdf)
XDMF = Kind("an XDMF file that quickio virtualize wrote", _is_xdmf)
