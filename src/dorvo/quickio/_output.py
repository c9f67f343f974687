"""Writing an output next to the user's files without destroying anything
we did not write.

An output is written under a temporary name in its own folder and renamed
to its name only when complete. An existing output is replaced only when
the caller allows it and only when it is of the kind the writer itself
makes (a Zarr store, a NetCDF-4 file, an XDMF file, an HDF5 view that
marks itself as one); anything else under
that name is refused. An output that is, or holds, the dump being read is
refused whatever the caller allows.

The replacement moves the previous output aside, renames the new one in,
and deletes the previous one only after that: a failure or an interrupt
(KeyboardInterrupt) at any step before puts the previous one back, and the
temporary is removed. A process that is killed cannot clean up: its
temporaries are named after the target, this host and the process id
(".NAME.quickio-HOST-PID-TOKEN.part", the previous output moved aside as
"....old"), and the next write to the same target removes those of
processes that no longer run, putting a previous output that was moved
aside back when nothing took its place.
"""
from __future__ import annotations

import contextlib
import json
import os
import re
import secrets
import shutil
import socket
import warnings
from typing import Callable, NamedTuple

__all__ = ["NETCDF", "XDMF", "ZARR", "Kind", "OutputExists", "OutputRefused", "check", "is_hdf5", "writing"]

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
MARKER = "quickio"


class OutputRefused(ValueError):
    """An output place that is not written to: it is, or holds, the input,
    or it holds something the writer did not write. The message is one
    line that names the place and the reason."""


class OutputExists(OutputRefused, FileExistsError):
    """An output place that exists, where the caller did not allow
    replacing it."""


# ---------------------------------------------------------------- kinds


def _is_zarr_store(path: str) -> bool:
    """A directory holding a zarr.json that describes a Zarr node."""
    meta = os.path.join(path, "zarr.json")
    if os.path.islink(path) or not os.path.isdir(path) or os.path.islink(meta) or not os.path.isfile(meta):
        return False
    try:
        with open(meta, "rb") as fh:
            # Stores written before non-finite attributes were encoded hold
            # NaN and Infinity tokens, which Python's parser accepts.
            doc = json.load(fh)
    except (OSError, ValueError):
        return False
    return isinstance(doc, dict) and doc.get("zarr_format") == 3 and doc.get("node_type") in ("group", "array")


def is_hdf5(path: str) -> bool:
    """A regular file that starts with the HDF5 signature."""
    if os.path.islink(path) or not os.path.isfile(path):
        return False
    try:
        with open(path, "rb") as fh:
            return fh.read(len(HDF5_SIGNATURE)) == HDF5_SIGNATURE
    except OSError:
        return False


def _is_xdmf(path: str) -> bool:
    """A regular file of XML whose root element is Xdmf."""
    import xml.etree.ElementTree as ET

    if os.path.islink(path) or not os.path.isfile(path):
        return False
    try:
        # Only the first start tag is parsed: a large file costs one read.
        for _, element in ET.iterparse(path, events=("start",)):
            return element.tag == "Xdmf" or element.tag.endswith("}Xdmf")
    except (OSError, ET.ParseError, ValueError):
        return False
    return False


class Kind(NamedTuple):
    """The kind of output a writer makes: what the messages call it, and
    how an existing one is recognised."""
    name: str
    recognise: Callable[[str], bool]


ZARR = Kind("a Zarr store", _is_zarr_store)
NETCDF = Kind("a NetCDF-4 file", is_hdf5)
XDMF = Kind("an XDMF file", _is_xdmf)


# ---------------------------------------------------------------- checks


def _holds(place: str, path: str) -> bool:
    """Whether the real path of `path` is `place` or lies inside it."""
    try:
        return os.path.commonpath([place, path]) == place
    except ValueError:  # another drive
        return False


def _refuse_input(out: str, inputs) -> None:
    real_out = os.path.realpath(out)
    for path in inputs:
        if not isinstance(path, (str, bytes, os.PathLike)):
            continue  # a file object: not a place on this disk
        path = os.fsdecode(path)
        if not os.path.exists(path):
            continue  # not a local file (a URL): nothing here to protect
        same = False
        with contextlib.suppress(OSError):
            same = os.path.samefile(out, path)
        if same or real_out == os.path.realpath(path):
            raise OutputRefused(f"{out}: is the dump itself; name another output")
        if _holds(real_out, os.path.realpath(path)):
            raise OutputRefused(f"{out}: holds the dump {path}; name another output")


def check(out, kind: Kind, inputs=(), overwrite: bool = False) -> None:
    """Raises OutputRefused unless `out` may be written: it is not, and
    does not hold, any of the local files `inputs`; and it does not exist,
    or `overwrite` allows replacing it and it is of `kind`."""
    out = os.fspath(out)
    _refuse_input(out, inputs)
    if not os.path.lexists(out):
        return
    if not overwrite:
        raise OutputExists(f"{out}: exists; pass overwrite=True to replace it")
    if os.path.islink(out):
        raise OutputRefused(f"{out}: is a symbolic link, which is never replaced; name its target or another output")
    if not kind.recognise(out):
        what = "a directory" if os.path.isdir(out) else "a file" if os.path.isfile(out) else "something"
        raise OutputRefused(f"{out}: is {what} but not {kind.name}; only {kind.name} is replaced")


# ---------------------------------------------------------------- temporaries


def _host() -> str:
    return re.sub(r"[^A-Za-z0-9.-]", "_", socket.gethostname())[:64] or "host"


def temporary(out: str, what: str) -> str:
    """A fresh temporary name beside `out` for this process: "part" for a
    new output being written, "old" for the previous one moved aside."""
    folder, base = os.path.split(os.path.abspath(out))
    return os.path.join(folder, f".{base}.{MARKER}-{_host()}-{os.getpid()}-{secrets.token_hex(4)}.{what}")


def _alive(pid: int) -> bool:
    """Whether process `pid` runs; when that cannot be told, it is taken
    to run, so that its files are left alone."""
    if pid == os.getpid() or os.name != "posix":
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def clean_stale(out: str) -> list[str]:
    """Removes the temporaries that processes of this host, now gone, left
    beside `out`; a previous output that such a process had moved aside is
    put back when nothing has taken its name. Returns the names removed or
    put back."""
    folder, base = os.path.split(os.path.abspath(out))
    pattern = re.compile(re.escape(f".{base}.{MARKER}-{_host()}-") + r"(\d+)-[0-9a-f]+\.(part|old)")
    try:
        names = sorted(e.name for e in os.scandir(folder) if e.name.startswith(f".{base}.{MARKER}-"))
    except OSError:
        return []
    stale = [(name, int(m.group(1)), m.group(2)) for name, m in ((n, pattern.fullmatch(n)) for n in names)
             if m is not None and not _alive(int(m.group(1)))]
    # A process killed between moving the previous output aside and
    # renaming its new one in leaves both: the previous output goes back.
    # One killed while deleting the previous output (its new one already
    # in place) left no new one: what remains of the old is removed.
    interrupted = {pid for _, pid, what in stale if what == "part"}
    done = []
    for name, pid, what in sorted(stale, key=lambda s: s[2] != "old"):
        path = os.path.join(folder, name)
        with contextlib.suppress(OSError):
            if what == "old" and pid in interrupted and not os.path.lexists(out):
                os.rename(path, out)
            else:
                _remove(path)
            done.append(name)
    return done


# ---------------------------------------------------------------- replacing


def _swap(tmp: str, out: str) -> None:
    """Puts the complete output `tmp` under the name `out`. A previous
    output is moved aside first and deleted only once the new one is in
    place; should anything stop the swap before that, it is put back."""
    if not os.path.lexists(out):
        os.rename(tmp, out)
        return
    aside = temporary(out, "old")
    os.rename(out, aside)
    try:
        os.rename(tmp, out)
    except BaseException:
        if not os.path.lexists(tmp) and os.path.lexists(out):
            os.rename(out, tmp)  # the new one went in just before the interrupt: it is taken out again
        os.rename(aside, out)
        raise
    try:
        _remove(aside)
    except OSError as e:
        # The new output is in place; the previous one stays under its
        # temporary name, which a write to `out` by a later process removes.
        warnings.warn(f"{out}: written, but the previous output could not be deleted from {aside}: "
                      f"{e.strerror or e}", RuntimeWarning, stacklevel=3)


@contextlib.contextmanager
def writing(out, kind: Kind, inputs=(), overwrite: bool = False):
    """Checks `out` (see check()), then yields a temporary path beside it
    to write the output to; when the block completes, the output takes the
    name `out` (checked again, since the place may have changed while the
    output was written). On any exception or interrupt the temporary is
    removed and a previous output stays as it was."""
    out = os.fspath(out)
    clean_stale(out)
    check(out, kind, inputs, overwrite)
    tmp = temporary(out, "part")
    try:
        yield tmp
        check(out, kind, inputs, overwrite)
        _swap(tmp, out)
    except BaseException:
        with contextlib.suppress(OSError):
            _remove(tmp)
        raise
