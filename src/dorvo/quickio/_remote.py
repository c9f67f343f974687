"""Bytes of a dump, wherever it lies: plain I/O that knows no dump.

A source is opened once and pins the identity of what it opened:
- ``LocalFile``: a file on the local disk, held open by its descriptor;
  its identity is (device, inode, size, mtime_ns, ctime_ns), checked on the
  descriptor and on the path (a file renamed over it) around every read.
- ``Remote``: a URL read through fsspec (http(s)://, s3://, gs:// and the
  protocol of any fsspec implementation installed), an fsspec ``OpenFile``,
  or a binary file object (anything with seek() and read()); its identity
  is the size and whatever validators the server gives (ETag,
  Last-Modified, a version). HTTP requests carry ``If-Match`` (or
  ``If-Unmodified-Since``), so that a changed object is refused by the
  server; other file systems are asked for their validators again after
  each batch of ranges.

Every source offers ``fetch(ranges)``, the bytes of each (start, stop)
range, and ``scanned()``, what the native scan reads. A source that no
longer holds what it pinned raises OSError "<name>: the file changed since
it was opened"; a server that answers wrongly (a short or refused range, no
answer within the time-out) is named as the cause.
"""
from __future__ import annotations

import contextlib
import errno
import os
import re
import threading


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


def _is_open_file(obj) -> bool:
    """An fsspec OpenFile: a file system and a path, not yet opened."""
    return all(hasattr(obj, a) for a in ("fs", "path", "open")) and not hasattr(obj, "read")


def is_file_object(obj) -> bool:
    return (not isinstance(obj, (str, bytes, os.PathLike)) and callable(getattr(obj, "read", None))
            and callable(getattr(obj, "seek", None)))


def is_remote(obj) -> bool:
    """True for what Remote reads: a URL, an fsspec OpenFile or a binary
    file object."""
    return is_url(obj) or is_file_object(obj) or _is_open_file(obj)


def _file_name(f) -> str:
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
        return OSError(errno.EIO, "the server refused a byte range within the file's size (HTTP 416): "
                                  "it does not serve byte ranges as it announced", name)
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


def changed(name: str) -> OSError:
    return OSError(f"{name}: the file changed since it was opened")


@contextlib.contextmanager
def _calls(name: str, timeout: float = TIMEOUT):
    """Turns what a file system or file object raises into the OSError of
    _os_error(); Python's own interrupts and errors of ours pass."""
    try:
        yield
    except (KeyboardInterrupt, MemoryError, ImportError):
        raise
    except Exception as e:
        if isinstance(e, OSError) and (e.filename is not None or "the file changed" in str(e)):
            raise
        raise _os_error(name, e, timeout) from e


class _ScanFile:
    """The file object a native scan reads: seek() and read() of the opened
    file, their failures raised as OSError naming the dump."""

    def __init__(self, f, name: str, timeout: float = TIMEOUT):
        self._f = f
        self.name = name
        self._timeout = timeout

    def seek(self, offset, whence=0):
        with _calls(self.name, self._timeout):
            return self._f.seek(offset, whence)

    def tell(self):
        return self._f.tell()

    def read(self, n=-1):
        with _calls(self.name, self._timeout):
            return self._f.read(n)


def resolve(path) -> str:
    """The one name rule of every entry point: the name as given, and, only
    when no such file exists, the name plus ".bin"."""
    name = os.fsdecode(os.fspath(path))
    if not os.path.lexists(name) and os.path.lexists(name + ".bin"):
        return name + ".bin"
    return name


def local_identity(st) -> tuple:
    """(device, inode, size, mtime_ns, ctime_ns): what the native passes
    take as the identity of a file."""
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


class LocalFile:
    """A file on the local disk, opened once and held by its descriptor.

    Its identity is pinned at opening; every fetch checks it on the
    descriptor (a rewrite in place changes the ctime even when the mtime is
    put back) and on the path (another file renamed over it) before and
    after reading, so that no read returns bytes of another file."""

    kind = "local"

    def __init__(self, path):
        self.name = resolve(path)
        try:
            fd = os.open(self.name, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        except FileNotFoundError:
            also = "" if self.name.endswith(".bin") else f" (nor {self.name}.bin)"
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT) + also, self.name) from None
        try:
            st = os.fstat(fd)
            if not os.path.stat.S_ISREG(st.st_mode):
                raise IsADirectoryError(errno.EISDIR, "is a directory, not a dump", self.name) \
                    if os.path.stat.S_ISDIR(st.st_mode) else OSError(errno.EINVAL, "not a regular file", self.name)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd
        self.identity = local_identity(st)
        self.size = st.st_size

    def close(self) -> None:
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)

    def check(self) -> None:
        """Raises OSError when the file is no longer the one opened."""
        if self._fd is None:
            raise ValueError(f"{self.name}: I/O operation on a closed dump")
        try:
            same = (local_identity(os.fstat(self._fd)) == self.identity
                    and local_identity(os.stat(self.name)) == self.identity)
        except FileNotFoundError:
            same = False
        if not same:
            raise changed(self.name)

    @contextlib.contextmanager
    def scanned(self):
        """The path the native scan reads; the identity is checked after."""
        yield self.name
        self.check()

    def fetch(self, ranges) -> list:
        self.check()
        out = []
        for s, e in ranges:
            data = os.pread(self._fd, e - s, s)
            while len(data) < e - s:
                more = os.pread(self._fd, e - s - len(data), s + len(data))
                if not more:
                    raise changed(self.name)
                data += more
            out.append(data)
        self.check()
        return out


# Validators that fsspec file systems report in info(): HTTP's headers, and
# the object versions and modification times of object stores.
_VALIDATORS = ("ETag", "Last-Modified", "Content-MD5", "Digest", "VersionId", "version_id", "LastModified",
               "mtime", "generation", "etag", "last_modified")


class Remote:
    """A dump read by byte ranges: a URL or fsspec OpenFile through its file
    system, or a binary file object through seek() and read().

    Opening pins the size and validators (``identity``). A file object is
    read under a lock, so that threads reading parts of it do not mix their
    seeks; its identity is its size."""

    kind = "remote"

    def __init__(self, target, storage_options=None, timeout=TIMEOUT):
        self.storage_options = dict(storage_options or {})
        self.timeout = float(timeout)
        self.url = self.file = None
        self._fs = self._path = None
        if _is_open_file(target):
            self._fs, self._path = target.fs, target.path
            self.name = self._fs.unstrip_protocol(self._path)
        elif is_url(target):
            self.url = self.name = target
        elif is_file_object(target):
            self.file = target
            self.name = _file_name(target)
        else:
            raise TypeError(f"expected a path, a URL, an fsspec OpenFile or a binary file object with seek() and "
                            f"read(), not {type(target).__name__}")
        self._lock = threading.Lock()
        self._headers = {}
        self.identity = self._learn_identity()
        self.size = self.identity[0]
        if self._is_http():
            validators = dict(self.identity[1])
            if "ETag" in validators:
                self._headers = {"If-Match": validators["ETag"]}
            elif "Last-Modified" in validators:
                self._headers = {"If-Unmodified-Since": validators["Last-Modified"]}

    def close(self) -> None:
        pass

    def _is_http(self) -> bool:
        return self._fs is not None and "http" in tuple(getattr(self._fs, "protocol", ()) or ())

    def _learn_identity(self) -> tuple:
        """(size, ((validator, value), ...)) of the file as it is now."""
        if self.file is not None:
            with self._lock, _calls(self.name, self.timeout):
                position = self.file.tell()
                size = self.file.seek(0, os.SEEK_END)
                self.file.seek(position)
            return (size, ())
        fs, path = self.filesystem()
        with _calls(self.name, self.timeout):
            info = fs.info(path)
        validators = tuple((k, str(info[k])) for k in _VALIDATORS if info.get(k) not in (None, ""))
        return (int(info["size"]), validators)

    def filesystem(self):
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
        """Asks for the validators again; raises when they differ. Requests
        that carry the validators as a condition need no asking."""
        if self._headers:
            return
        if self._learn_identity() != self.identity:
            raise changed(self.name)

    @contextlib.contextmanager
    def scanned(self):
        """A file object over the dump for the native scan. A caller's file
        object is read under the lock and left at the position it had."""
        if self.file is not None:
            with self._lock:
                try:
                    position = self.file.tell()
                except (AttributeError, OSError, ValueError):
                    position = None
                try:
                    yield _ScanFile(self.file, self.name, self.timeout)
                finally:
                    if position is not None:
                        self.file.seek(position)
            return
        fs, path = self.filesystem()
        with _calls(self.name, self.timeout):
            f = fs.open(path, "rb", block_size=SCAN_BLOCK_SIZE, cache_type="none", size=self.size,
                        **({"headers": self._headers} if self._headers else {}))
        with f:
            yield _ScanFile(f, self.name, self.timeout)
        self.check()

    def fetch(self, ranges) -> list:
        """The bytes of each (start, stop) range of the file, in order."""
        ranges = list(ranges)
        if self.file is not None:
            with self._lock, _calls(self.name, self.timeout):
                if self.file.seek(0, os.SEEK_END) != self.size:
                    raise changed(self.name)
                out = [self._read_range(s, e) for s, e in ranges]
        else:
            fs, path = self.filesystem()
            extra = {"headers": self._headers} if self._headers else {}
            with _calls(self.name, self.timeout):
                out = fs.cat_ranges([path] * len(ranges), [s for s, _ in ranges], [e for _, e in ranges], **extra)
                for data in out:
                    if isinstance(data, BaseException):
                        raise data
            self.check()
        for (s, e), data in zip(ranges, out):
            if len(data) != e - s:
                raise OSError(errno.EIO, f"asked for bytes {s} to {e} of {self.size}, the server sent {len(data)} "
                                         f"bytes: it does not serve byte ranges as asked", self.name)
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


def open_source(target, storage_options=None, timeout=TIMEOUT):
    """The source of `target`: a LocalFile for a path, a Remote otherwise."""
    if is_remote(target):
        return Remote(target, storage_options, timeout)
    if not isinstance(target, (str, bytes, os.PathLike)):
        raise TypeError(f"expected a path, a URL, an fsspec OpenFile or a binary file object with seek() and "
                        f"read(), not {type(target).__name__}")
    return LocalFile(target)


def glob(pattern: str, storage_options=None) -> list:
    """The URLs that a URL with a pattern (*, [...]) matches, as its file
    system globs; a URL without one is itself."""
    if not any(c in pattern for c in "*["):
        return [pattern]
    fs, path = _filesystem(pattern, dict(storage_options or {}))
    with _calls(pattern):
        return [fs.unstrip_protocol(p) for p in fs.glob(path)]
