"""Writing an output next to the user's files without destroying anything
we did not write.

Ours means marked by us: every output carries a stamp that its format
keeps (the root attribute STAMP of a NetCDF-4 file or of a Zarr store's
zarr.json, an Information element STAMP in an XDMF file; views mark
themselves, see _views.view_file), by which ``kinds`` knows it. An existing output is replaced only when the
caller allows it and only when it is a stamped output of the kind the
writer makes, and a Zarr store only when it holds nothing but the files
that zarr wrote for it; anything else under that name is refused.

An output that is, or holds, a dump being read is refused whatever the
caller allows. Inputs are compared by (device, inode), so that any name of
the dump is found; an input not known to be a local file (a URL, a file
object) might be inside an existing output, which is then refused.

An output is written under a temporary name in its own folder and renamed
to its name only when complete. The replacement moves the previous output
aside, renames the new one in, and deletes the previous one only after
that; the signals that end a program (Ctrl-C) are held back across the two
renames, and a failure between them puts the previous one back. A previous
output that could not be deleted (a read-only folder in it) is refused
before anything is written. A process that is killed cannot clean up: its
temporaries are named after the target, this host and the process id
(".NAME.quickio-HOST-PID-TOKEN.part", the previous output moved aside as
"....old"), and the next write to the same target removes those of
processes that no longer run, putting a previous output that was moved
aside back when nothing has taken its name.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import shutil
import signal
import socket
import threading
import warnings
from typing import NamedTuple

from .kinds import (
    CONVERT,
    NETCDF,
    STAMP,
    VIRTUALIZE,
    XDMF,
    ZARR,
    Kind,
    hdf5_root_attribute,
    is_hdf5,
    xdmf_record,
    xdmf_stamp,
)

__all__ = [
    "CONVERT",
    "NETCDF",
    "STAMP",
    "VIRTUALIZE",
    "XDMF",
    "ZARR",
    "Input",
    "Kind",
    "OutputExists",
    "OutputRefused",
    "check",
    "hdf5_root_attribute",
    "is_hdf5",
    "writing",
    "xdmf_record",
    "xdmf_stamp",
]

MARKER = "quickio"


class OutputRefused(ValueError):
    """An output place that is not written to: it is, or holds, the input,
    or it holds something the writer did not write. The message is one
    line that names the place and the reason."""


class OutputExists(OutputRefused, FileExistsError):
    """An output place that exists, where the caller did not allow
    replacing it."""


# ---------------------------------------------------------------- checks


class Input(NamedTuple):
    """A dump being read, as the checks know it: its name for messages, and
    the (device, inode) of its file, None when it is not known to be a
    file on this computer's disks (a URL, a file object)."""

    name: str
    file: tuple | None


def input_of(dump) -> Input:
    """An Input as it is, or a local path's: its (device, inode) when a
    file of that name exists, else None."""
    if isinstance(dump, Input):
        return dump
    name = os.fsdecode(os.fspath(dump))
    try:
        st = os.stat(name)
    except (OSError, ValueError):
        return Input(name, None)
    return Input(name, (st.st_dev, st.st_ino))


def _files_at(out: str):
    """(device, inode, is it `out` itself) of `out` (and of what a link
    there leads to) and of every entry under it when it is a folder;
    links inside are not followed (deleting them leaves their targets)."""
    for stat in (os.lstat, os.stat):
        with contextlib.suppress(OSError):
            st = stat(out)
            yield st.st_dev, st.st_ino, True
    if not os.path.isdir(out):
        return
    for folder, dirs, files in os.walk(out):
        for name in dirs + files:
            with contextlib.suppress(OSError):
                st = os.lstat(os.path.join(folder, name))
                yield st.st_dev, st.st_ino, False


def _refuse_input(out: str, inputs) -> None:
    inputs = [input_of(i) for i in inputs]
    if not inputs or not os.path.lexists(out):
        return
    unknown = [i.name for i in inputs if i.file is None]
    if unknown:
        raise OutputRefused(
            f"{out}: exists, and the dump {unknown[0]} is not known to be a file on this "
            f"computer, so nothing tells that {out} does not hold it; remove {out} or name "
            f"another output"
        )
    files = {i.file: i.name for i in inputs}
    for device, inode, itself in _files_at(out):
        name = files.get((device, inode))
        if name is not None:
            raise OutputRefused(
                f"{out}: is the dump itself; name another output"
                if itself
                else f"{out}: holds the dump {name}; name another output"
            )


def _unremovable(path: str) -> str | None:
    """The first folder in `path` (a folder) whose entries this process
    may not delete, None when all may be."""
    if os.path.islink(path) or not os.path.isdir(path):
        return None
    for folder, dirs, _ in os.walk(path):
        if not os.access(folder, os.W_OK | os.X_OK):
            return folder
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(folder, d))]
    return None


def _read_only(out: str, folder: str) -> OutputRefused:
    return OutputRefused(
        f"{out}: cannot be replaced: {folder} is read-only, so the previous output could not "
        f"be deleted; make it writable or remove it"
    )


def check(out, kind: Kind, inputs=(), overwrite: bool = False) -> None:
    """Raises OutputRefused unless `out` may be written: it is not, and
    does not hold, any of the dumps `inputs` (Inputs, or local paths);
    and it does not exist, or `overwrite` allows replacing it and it is an
    output of ours of `kind` that can be deleted."""
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
    locked = _unremovable(out)
    if locked is not None:
        raise _read_only(out, locked)


# ---------------------------------------------------------------- temporaries


def _host() -> str:
    return re.sub(r"[^A-Za-z0-9.-]", "_", socket.gethostname())[:64] or "host"


# The temporaries this process is using: its own others are left over
# from a write that failed, and as stale as those of a process gone.
_IN_USE: set = set()


def temporary(out: str, what: str) -> str:
    """A fresh temporary name beside `out` for this process: "part" for a
    new output being written, "old" for the previous one moved aside. It
    is in use until release()d."""
    folder, base = os.path.split(os.path.abspath(out))
    name = os.path.join(folder, f".{base}.{MARKER}-{_host()}-{os.getpid()}-{secrets.token_hex(4)}.{what}")
    _IN_USE.add(name)
    return name


def release(name: str) -> None:
    _IN_USE.discard(name)


def _alive(pid: int) -> bool:
    """Whether process `pid` runs; when that cannot be told (a process of
    another user: EPERM), it is taken to run, so that its files are left
    alone. Our own process is never asked about: its temporaries are
    known by _IN_USE."""
    if os.name != "posix":
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
    beside `out` (and those of this process that it no longer uses). A
    previous output that such a process had moved aside is
    put back when nothing has taken its name (the process stopped between
    the renames of a swap), and removed only when a new output stands
    there. Returns the names removed or put back."""
    folder, base = os.path.split(os.path.abspath(out))
    pattern = re.compile(re.escape(f".{base}.{MARKER}-{_host()}-") + r"(\d+)-[0-9a-f]+\.(part|old)")
    try:
        names = sorted(e.name for e in os.scandir(folder) if e.name.startswith(f".{base}.{MARKER}-"))
    except OSError:
        return []

    def is_stale(name, pid):
        return os.path.join(folder, name) not in _IN_USE if pid == os.getpid() else not _alive(pid)

    stale = [
        (name, m.group(2))
        for name, m in ((n, pattern.fullmatch(n)) for n in names)
        if m is not None and is_stale(name, int(m.group(1)))
    ]
    done = []
    for name, what in sorted(stale, key=lambda s: s[1] != "old"):
        path = os.path.join(folder, name)
        with contextlib.suppress(OSError):
            if what == "old" and not os.path.lexists(out):
                os.rename(path, out)
            else:
                _remove(path)
            done.append(name)
    return done


# ---------------------------------------------------------------- replacing

# The signals whose Python handlers (KeyboardInterrupt for SIGINT) are held
# back across a swap.
HELD_SIGNALS = tuple(getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name))


@contextlib.contextmanager
def _signals_held():
    """Runs the block with the Python handlers of HELD_SIGNALS replaced by
    one that notes the signal; the handlers are put back after it, and
    called then for each signal that arrived. Handlers run in the main
    thread only: another thread is never interrupted, and needs nothing."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived, saved = [], {}
    try:
        for number in HELD_SIGNALS:
            handler = signal.getsignal(number)
            if callable(handler):
                saved[number] = handler
                signal.signal(number, lambda n, frame: arrived.append((n, frame)))
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)
        for number, frame in arrived:
            saved[number](number, frame)


def _swap(tmp: str, out: str) -> None:
    """Puts the complete output `tmp` under the name `out`. A previous
    output is moved aside first and deleted only once the new one is in
    place; should anything stop the swap before that, or the previous one
    turn out read-only, it is put back. A signal held back during the
    renames is handled once the previous output is deleted."""
    if not os.path.lexists(out):
        os.rename(tmp, out)
        return
    aside = temporary(out, "old")
    swapped = False
    try:
        with _signals_held():
            try:
                os.rename(out, aside)
                os.rename(tmp, out)
                locked = _unremovable(aside)
                if locked is not None:
                    raise _read_only(out, os.path.join(out, os.path.relpath(locked, aside)))
            except BaseException:
                if os.path.lexists(aside):
                    if not os.path.lexists(tmp) and os.path.lexists(out):
                        os.rename(out, tmp)  # the new one went in before the failure: it is taken out again
                    os.rename(aside, out)
                raise
            swapped = True
    finally:
        try:
            if swapped:
                _discard(out, aside)
        finally:
            release(aside)


def _discard(out: str, aside: str) -> None:
    try:
        _remove(aside)
    except OSError as e:
        # The new output is in place; the previous one stays under its
        # temporary name, which a write to `out` by a later process removes.
        warnings.warn(
            f"{out}: written, but the previous output could not be deleted from {aside}: {e.strerror or e}",
            RuntimeWarning,
            stacklevel=5,
        )


@contextlib.contextmanager
def writing(out, kind: Kind, inputs=(), overwrite: bool = False):
    """Checks `out` (see check()), then yields a temporary path beside it
    to write the output to; when the block completes, the output takes the
    name `out` (checked again, since the place may have changed while the
    output was written). On any exception or interrupt the temporary is
    removed and a previous output stays as it was."""
    out = os.fspath(out)
    inputs = [input_of(i) for i in inputs]
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
    finally:
        release(tmp)


@contextlib.contextmanager
def hdf5_errors(path):
    """HDF5 reports a failed write (a full disk, a file size limit) as a
    RuntimeError that holds the errno in its text: raised as that OSError,
    naming `path`."""
    try:
        yield
    except RuntimeError as e:
        found = re.search(r"errno = (\d+)", str(e))
        if found is None or int(found.group(1)) == 0:
            raise
        number = int(found.group(1))
        raise OSError(number, os.strerror(number), os.fspath(path)) from e
