"""Remote dumps, and what every source shares: plain I/O that knows no dump.

A ``Remote`` is a URL read through fsspec (http(s)://, s3://, gs:// and the
protocol of any fsspec implementation installed) or an fsspec OpenFile. Its
identity is the size and whatever validators the server gives (ETag,
Last-Modified, a version). Over HTTP (``_http``) every answer is held to
them and to the range asked; other file systems are asked for their
validators again after each batch of ranges. A server that gives none says
so once, with an ``UnpinnedWarning``. Given the identity of an earlier
opening (``expect``), a Remote asks nothing until its first read.

Shared by the sources: what is a URL or a file object, the name of a file
object, and ``calls()``, which turns what a file system or a file object
raises into an OSError naming the file, a server that answers wrongly (a
refused range, no answer within the time-out) named as the cause.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import sys
import types
import warnings
from typing import Any

from .http import Http
from .local import changed


class UnpinnedWarning(UserWarning):
    """A dump whose identity nothing pins: a change to it while it is read
    cannot be told from the file that was opened."""


REMOTE_HINT = "pip install 'dorvo.quickio[remote]'"

# "http://", "s3://", and fsspec's chained URLs ("simplecache::s3://...").
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.\-]+(://|::)")

# Seconds a remote read may wait for the server's next bytes.
TIMEOUT = 60.0
# The block size of a file opened for a scan. The file has no cache: the
# native scan buffers its own reads.
SCAN_BLOCK_SIZE = 1 << 16


def is_url(obj) -> bool:
    return isinstance(obj, str) and _URL.match(obj) is not None


def is_open_file(obj) -> bool:
    """An fsspec OpenFile: a file system and a path, not yet opened."""
    return all(hasattr(obj, a) for a in ("fs", "path", "open")) and not hasattr(obj, "read")


def is_file_object(obj) -> bool:
    return (
        not isinstance(obj, (str, bytes, os.PathLike))
        and callable(getattr(obj, "read", None))
        and callable(getattr(obj, "seek", None))
    )


def is_remote(obj) -> bool:
    """True for what Remote reads: a URL, an fsspec OpenFile or a binary
    file object."""
    return is_url(obj) or is_file_object(obj) or is_open_file(obj)


def file_name(f) -> str:
    """What names a file object in messages: its `name` when that is a
    string (open files have one), else its type (as the native scan does)."""
    name = getattr(f, "name", None)
    return name if isinstance(name, str) and name else f"<{type(f).__name__} object>"


def _filesystem(url: str, storage_options: dict):
    try:
        import fsspec
    except ImportError as e:
        raise ImportError(f"{url}: reading dumps from URLs needs fsspec: {REMOTE_HINT}") from e
    try:
        return fsspec.core.url_to_fs(url, **storage_options)
    except ImportError as e:
        # fsspec knows the protocol but its implementation is missing:
        # aiohttp for HTTP (in the extra), s3fs, gcsfs, ... (not in it).
        raise ImportError(f"{url}: {e} (HTTP needs {REMOTE_HINT}; s3:// needs s3fs, gs:// gcsfs)") from e
    except ValueError as e:
        # A protocol that no installed package registers with fsspec.
        if "protocol" not in str(e).lower():
            raise
        raise ImportError(f"{url}: no installed fsspec file system reads this protocol ({e})") from e


def _os_error(name: str, e: BaseException, timeout: float = TIMEOUT) -> OSError:
    """The OSError to raise for a failure of a file system call on `name`:
    FileNotFoundError for a missing file, PermissionError for a refused one
    (HTTP 401 and 403), otherwise OSError naming what went wrong. fsspec's
    HTTP file system reports any failure to learn a file's size as
    FileNotFoundError, with the real failure (the server's answer, a
    connection refused) as its cause."""
    cause = e.__cause__ if isinstance(e, FileNotFoundError) and e.__cause__ is not None else e
    status = getattr(cause, "status", None)
    if status == 412:
        return changed(name)
    if isinstance(cause, TimeoutError) or type(cause).__name__ in ("ServerTimeoutError", "TimeoutError"):
        return OSError(errno.ETIMEDOUT, f"timed out: the server sent nothing for {timeout:g} s", name)
    if status == 416:
        return OSError(
            errno.EIO,
            "the server refused a byte range within the file's size (HTTP 416): "
            "it does not serve byte ranges as it announced",
            name,
        )
    if isinstance(status, int) and status not in (404, 410):
        if status in (401, 403):
            return PermissionError(errno.EACCES, f"access refused (HTTP {status})", name)
        return OSError(errno.EIO, f"the server answered HTTP {status} {getattr(cause, 'message', '')}".strip(), name)
    if isinstance(cause, OSError) and not isinstance(cause, FileNotFoundError) and status is None:
        e = cause  # no server to ask (refused, unreachable): say that, not "no such file"
    if isinstance(e, FileNotFoundError):
        return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)
    if isinstance(e, OSError):
        # OSError() makes the subclass that the errno stands for. A client
        # library's own error says more in its text than in its strerror.
        text = e.strerror if type(e).__module__ == "builtins" and e.strerror else str(e)
        return OSError(e.errno or errno.EIO, text, name)
    return OSError(errno.EIO, f"{type(e).__name__}: {e}", name)


@contextlib.contextmanager
def calls(name: str, timeout: float = TIMEOUT):
    """Turns what a file system or file object raises into the OSError of
    _os_error(); Python's own interrupts and errors of ours pass."""
    try:
        yield
    except (KeyboardInterrupt, MemoryError, ImportError):
        raise
    except Exception as e:
        if isinstance(e, OSError) and (e.filename is not None or str(e).startswith(name + ": ")):
            raise  # ours, or already naming the file
        raise _os_error(name, e, timeout) from e


class ScanFile:
    """The file object a native scan reads: seek() and read() of the opened
    file, their failures raised as OSError naming the dump."""

    def __init__(self, f, name: str, timeout: float = TIMEOUT):
        self._f = f
        self.name = name
        self._timeout = timeout

    def seek(self, offset, whence=0):
        with calls(self.name, self._timeout):
            return self._f.seek(offset, whence)

    def tell(self):
        return self._f.tell()

    def read(self, n=-1):
        """`n` bytes, or fewer at the file's end only: a raw stream may give
        fewer than asked at a time (a pipe, a socket, a network file)."""
        with calls(self.name, self._timeout):
            data = self._f.read(n)
            if n is None or n < 0 or not data or len(data) >= n:
                return data
            parts = [data]
            left = n - len(data)
            while left > 0:
                more = self._f.read(left)
                if not more:
                    break
                parts.append(more)
                left -= len(more)
            return b"".join(parts)


# Validators that fsspec file systems report in info(): HTTP's headers, and
# the object versions and modification times of object stores.
_VALIDATORS = (
    "ETag",
    "Last-Modified",
    "Content-MD5",
    "Digest",
    "VersionId",
    "version_id",
    "LastModified",
    "mtime",
    "generation",
    "etag",
    "last_modified",
)


# The package's folder: a warning points at the first frame outside it.
_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def unpinned(name: str, why: str) -> None:
    # The caller's line, however deep in the package the dump was opened
    # (open(), load(), a reduction, xarray's backend).
    frame: types.FrameType | None = sys._getframe(0)
    level = 1
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    warnings.warn(
        f"{name}: nothing pins this file's identity ({why}); a change to it while it is read cannot be detected",
        UnpinnedWarning,
        stacklevel=level,
    )


class _RangeFile:
    """The file object an HTTP scan reads: each read one checked range."""

    def __init__(self, source):
        self._source, self.name, self._at = source, source.name, 0

    def seek(self, offset, whence=0):
        self._at = (0, self._at, self._source.size)[whence] + offset
        return self._at

    def tell(self):
        return self._at

    def read(self, n=-1):
        stop = self._source.size if n is None or n < 0 else min(self._source.size, self._at + n)
        if stop <= self._at:
            return b""
        data = self._source.fetch([(self._at, stop)])[0]
        self._at = stop
        return data


class Remote:
    """A dump read by byte ranges: a URL or fsspec OpenFile through its file
    system. Opening pins the size and validators (``identity``); with
    `expect`, the identity pinned by an earlier opening, nothing is asked
    until the first read."""

    is_local = False
    path = None

    def __init__(self, target, storage_options=None, timeout=TIMEOUT, expect=None):
        self.storage_options = dict(storage_options or {})
        self.timeout = float(timeout)
        self.url = None
        self._fs = self._path = self._http = None
        if is_open_file(target):
            self._fs, self._path = target.fs, target.path
            self.name = self._fs.unstrip_protocol(self._path)
        elif is_url(target):
            self.url = self.name = target
        else:
            raise TypeError(
                f"expected a path, a URL, an fsspec OpenFile or a binary file object with seek() and "
                f"read(), not {type(target).__name__}"
            )
        self.identity = self._learn_identity() if expect is None else (expect[0], tuple(map(tuple, expect[1])))
        self.size = self.identity[0]
        self._validators = dict(self.identity[1])
        self._headers = {}
        if self._is_http():
            etag, modified = self._validators.get("ETag"), self._validators.get("Last-Modified")
            if etag and not etag.startswith("W/"):  # If-Match compares strong tags only
                self._headers = {"If-Match": etag}
            elif modified:
                self._headers = {"If-Unmodified-Since": modified}
        if expect is None and not self._validators:
            unpinned(self.name, "the server gives no ETag, Last-Modified or version")

    def close(self) -> None:
        pass

    def _is_http(self) -> bool:
        return "http" in tuple(getattr(self.filesystem()[0], "protocol", ()) or ())

    def _http_client(self) -> Http:
        if self._http is None:
            self._http = Http(*self.filesystem(), self.name)
        return self._http

    def _learn_identity(self) -> tuple:
        """(size, ((validator, value), ...)) of the file as it is now."""
        fs, path = self.filesystem()
        with calls(self.name, self.timeout):
            if self._is_http():
                found = self._http_client().identity()
                if found is not None:
                    return found
            info = fs.info(path)
        validators = tuple((k, str(info[k])) for k in _VALIDATORS if info.get(k) not in (None, ""))
        return (int(info["size"]), validators)

    def filesystem(self) -> tuple[Any, str]:
        """(fs, path) of a URL or OpenFile; made once, on first use. An HTTP
        file system waits at most `timeout` seconds for the server."""
        if self._fs is None:
            options = dict(self.storage_options)
            if re.match(r"^https?://", self.url) and "timeout" not in options.get("client_kwargs", {}):
                try:
                    import aiohttp
                except ImportError:
                    pass
                else:
                    timeout = aiohttp.ClientTimeout(total=None, sock_connect=self.timeout, sock_read=self.timeout)
                    options["client_kwargs"] = {**options.get("client_kwargs", {}), "timeout": timeout}
            self._fs, self._path = _filesystem(self.url, options)
        return self._fs, self._path

    def check(self) -> None:
        """Asks for the validators again; raises when they differ. Over HTTP
        every answer is checked as it comes: nothing to ask."""
        if not self._is_http() and self._learn_identity() != self.identity:
            raise changed(self.name)

    @contextlib.contextmanager
    def scanned(self):
        """A file object over the dump for the native scan."""
        if self._is_http():
            yield _RangeFile(self)
            return
        fs, path = self.filesystem()
        with calls(self.name, self.timeout):
            f = fs.open(path, "rb", block_size=SCAN_BLOCK_SIZE, cache_type="none", size=self.size)
        with f:
            yield ScanFile(f, self.name, self.timeout)
        self.check()

    def fetch(self, ranges, into=None) -> list:
        """The bytes of each (start, stop) range of the file, in order. Over
        HTTP, with `into` (a writable buffer per range, a byte longer than
        it at least), in views of those buffers."""
        ranges = list(ranges)
        if self._is_http():
            with calls(self.name, self.timeout):
                return self._http_client().get(ranges, self.size, self._validators, self._headers, into)
        fs, path = self.filesystem()
        with calls(self.name, self.timeout):
            out = fs.cat_ranges([path] * len(ranges), [s for s, _ in ranges], [e for _, e in ranges])
            for data in out:
                if isinstance(data, BaseException):
                    raise data
        self.check()
        check_lengths(self.name, self.size, ranges, out)
        return out


def check_lengths(name, size, ranges, out) -> None:
    for (s, e), data in zip(ranges, out):
        if len(data) != e - s:
            raise OSError(
                errno.EIO,
                f"asked for bytes {s} to {e} of {size}, the file system sent {len(data)} "
                f"bytes: it does not serve byte ranges as asked",
                name,
            )


def glob(pattern: str, storage_options=None) -> list:
    """The URLs that a URL with a pattern (*, [...]) matches, as its file
    system globs; a URL without one is itself."""
    if not any(c in pattern for c in "*["):
        return [pattern]
    fs, path = _filesystem(pattern, dict(storage_options or {}))
    with calls(pattern):
        return [fs.unstrip_protocol(p) for p in fs.glob(path)]
