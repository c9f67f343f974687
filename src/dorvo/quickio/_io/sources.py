"""Which source reads a target: the front of the sources, which knows no dump.

A source is opened once and pins the identity of what it opened:
- ``LocalFile`` (``_local``): a file on the local disk, by path; its
  identity is (device, inode, size, mtime_ns, ctime_ns), checked on the
  descriptor and on the path around every read, with a probe for writers.
  A local file under another name is one too: a ``file://`` URL, possibly
  behind fsspec's caches (``simplecache::file://...``), an fsspec OpenFile
  of the local file system without compression, and a binary file opened
  with open() whose name is still its own path.
- ``FileObject``: any other binary file object (anything with seek() and
  read()), read under a lock. One with the descriptor of a regular file
  (``fileno()``; a gzip file's is that of its compressed bytes) is pinned
  by that file's fstat; one without is pinned by nothing but its size, and
  says so once with an ``UnpinnedWarning``.
- ``Remote`` (``_remote``): a URL or an fsspec OpenFile of another file
  system.

Every source offers ``check()``, ``fetch(ranges)``, the bytes of each
(start, stop) range, and ``scanned()``, what the native scan reads; a
local file also ``reading()``, around a native pass over its path. A
source that no longer holds what it pinned raises OSError "<name>: the file
changed since it was opened" (or "... while it was read").
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import stat
import threading
import weakref

from .local import LocalFile, changed, local_identity, pin
from .remote import (
    TIMEOUT,
    Remote,
    ScanFile,
    calls,
    check_lengths,
    file_name,
    is_file_object,
    is_open_file,
    is_remote,
    is_url,
    unpinned,
)

__all__ = ["FileObject", "local_path", "open_source", "target_name"]


def _regular_fileno(f):
    """The descriptor of a regular file behind file object `f`, or None."""
    try:
        fd = f.fileno()
        return fd if isinstance(fd, int) and stat.S_ISREG(os.fstat(fd).st_mode) else None
    except (AttributeError, OSError, ValueError):  # io.UnsupportedOperation is both
        return None


# One lock per file object, whatever opened it: a run that lists one file
# object twice reads it from two sources on two threads, whose seeks and
# reads must not interleave.
_LOCKS: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
_LOCKS_LOCK = threading.Lock()


def _lock_of(f):
    """The lock of file object `f`, shared by every source that reads it;
    a lock of its own for an object that cannot be weakly referenced."""
    with _LOCKS_LOCK:
        try:
            return _LOCKS.setdefault(f, threading.Lock())
        except TypeError:
            return threading.Lock()


class FileObject:
    """A binary file object, read through its own seek() and read() under a
    lock, so that threads reading parts of it do not mix their seeks. With
    the descriptor of a regular file, its identity is that file's (as a
    LocalFile's), checked by fstat around every read; without one, its size
    only."""

    path = None

    def __init__(self, f):
        self.file, self.name = f, file_name(f)
        self._lock = _lock_of(f)
        self.is_local = _regular_fileno(f) is not None
        with self._lock, calls(self.name):
            self.size = self._length()
            self.identity = local_identity(pin(f.fileno(), self.name)) if self.is_local else (self.size, ())
        if not self.is_local:
            unpinned(self.name, "a file object without the descriptor of a regular file")

    def close(self) -> None:
        pass

    def _length(self) -> int:
        position = self.file.tell()
        size = self.file.seek(0, os.SEEK_END)
        self.file.seek(position)
        return size

    def _check(self, when="since it was opened") -> None:
        if self.is_local:
            same = local_identity(os.fstat(self.file.fileno())) == self.identity
        else:
            same = self.file.seek(0, os.SEEK_END) == self.size
        if not same:
            raise changed(self.name, when)

    def check(self) -> None:
        with self._lock, calls(self.name):
            self._check()

    @contextlib.contextmanager
    def scanned(self):
        """The file for the native scan, left at the position it had."""
        with self._lock:
            try:
                position = self.file.tell()
            except (AttributeError, OSError, ValueError):
                position = None
            try:
                yield ScanFile(self.file, self.name)
                with calls(self.name):
                    self._check("while it was read")
            finally:
                if position is not None:
                    self.file.seek(position)

    def fetch(self, ranges, into=None) -> list:
        """The bytes of each (start, stop) range, in order (`into`, the
        buffers a remote source may fill, goes unused)."""
        with self._lock, calls(self.name):
            self._check()
            out = [self._read_range(s, e) for s, e in ranges]
            self._check("while it was read")
        check_lengths(self.name, self.size, ranges, out)
        return out

    def _read_range(self, start: int, stop: int) -> bytes:
        self.file.seek(start)
        parts, left = [], stop - start
        while left > 0:
            data = self.file.read(left)
            if not data:
                break
            parts.append(data)
            left -= len(data)
        return parts[0] if len(parts) == 1 else b"".join(parts)


# ---------------------------------------------------------------- local targets

# fsspec's caching layers, which hold the bytes of the file system below.
_CACHES = ("simplecache", "filecache", "blockcache", "cached")
_LOCAL_URL = re.compile(r"^(?:file|local)://(.*)$", re.S)


def _is_local_fs(fs) -> bool:
    return any(c.__name__ == "LocalFileSystem" for c in type(fs).__mro__)


def local_path(target):
    """The path of a target that is a local file under another name: a
    ``file://`` URL, possibly behind caches (``simplecache::file://...``),
    or an fsspec OpenFile of the local file system without compression;
    else None."""
    if is_open_file(target):
        fs = target.fs
        if getattr(fs, "protocol", None) and set(_CACHES) & set(_protocols(fs)):
            fs = getattr(fs, "fs", None)
        return target.path if _is_local_fs(fs) and getattr(target, "compression", None) is None else None
    if not is_url(target):
        return None
    *wrappers, last = target.split("::")
    found = _LOCAL_URL.match(last)
    if not found or any(w not in _CACHES for w in wrappers):
        return None
    return os.path.abspath(found.group(1))


def _protocols(fs) -> tuple:
    p = fs.protocol
    return (p,) if isinstance(p, str) else tuple(p)


def _own_path(f):
    """The path of an open()ed binary file (or fsspec's local file) that
    reads its file's own bytes, when that path still names the file of its
    descriptor; else None. (A gzip or tar member has a descriptor too, of
    other bytes.)"""
    raw = getattr(f, "f", None) if type(f).__name__ == "LocalFileOpener" else f
    if isinstance(raw, (io.BufferedReader, io.BufferedRandom)):
        raw = raw.raw
    if not isinstance(raw, io.FileIO) or not isinstance(raw.name, str):
        return None
    try:
        held, named = os.fstat(raw.fileno()), os.stat(raw.name)
    except (OSError, ValueError):
        return None
    return raw.name if (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino) else None


def open_source(target, storage_options=None, timeout=TIMEOUT, expect=None):
    """The source of `target`: a LocalFile for a path or a local file under
    another name, a FileObject, or a Remote. With `expect`, the source
    opens nothing until its first read (a file object is read at once)."""
    path = local_path(target)
    if path is not None:
        return LocalFile(path, exact=True, expect=expect)
    if is_file_object(target):
        own = _own_path(target)
        if own is not None:
            source = LocalFile(own, exact=True)
            if source.identity == local_identity(os.fstat(target.fileno())):
                return source
            source.close()
        return FileObject(target)
    if is_remote(target):
        return Remote(target, storage_options, timeout, expect)
    if not isinstance(target, (str, bytes, os.PathLike)):
        raise TypeError(
            f"expected a path, a URL, an fsspec OpenFile or a binary file object with seek() and "
            f"read(), not {type(target).__name__}"
        )
    return LocalFile(target, expect=expect)


def target_name(target) -> str:
    """The name by which messages call `target`, without opening it."""
    if isinstance(target, str):
        return target
    if is_file_object(target):
        return file_name(target)
    if is_open_file(target):
        return target.fs.unstrip_protocol(target.path)
    return os.fsdecode(os.fspath(target))
