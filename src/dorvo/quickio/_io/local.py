"""Files on this machine's disk: opened by path, pinned, and guarded around
every read. Plain I/O that knows no dump.

A ``LocalFile`` pins the identity of the file it opens, (device, inode,
size, mtime_ns, ctime_ns), and around every read checks on its descriptor
and on its path that the file still has it, so that no read returns bytes
of another file. Three rules make that identity worth trusting:

- The writer probe. A read lease (``F_SETLEASE``, ``F_RDLCK``) cannot be
  taken while any process holds the file open for writing. Taken and let go
  at once, before and after a read, it says that no writer was at work at
  either moment, so that a read cannot overlap a write whose stamp came
  before the pin. It needs the file's owner or CAP_LEASE and a file system
  that grants leases (not NFS or Lustre); where it cannot be taken, the
  other two rules still hold.
- The racy timestamp. The kernel stamps a write's ctime from a coarse clock
  when the write begins; a second write within the same tick leaves the
  stamp as it was. A ctime within two ticks of the moment it is pinned is
  not trusted: the file is stat'ed again once the ticks have passed, and only
  an unchanged stat is pinned. Every change after that stamps a later ctime.
- Few descriptors. Local files hold at most ``max_open_files()`` descriptors
  between them (128 unless QUICKIO_MAX_OPEN_FILES or the call says
  otherwise), the least recently used closed first. A file whose descriptor
  was closed opens its path again on its next read and refuses a file that is
  not the one pinned; a file pinned elsewhere (an unpickled copy) opens
  nothing until its first read, the same way.
"""

from __future__ import annotations

import collections
import contextlib
import errno
import itertools
import os
import signal
import stat
import sys
import threading
import time
import weakref

try:
    import fcntl
except ImportError:  # pragma: no cover - not on Windows
    fcntl = None  # type: ignore[assignment]  # Windows has no fcntl: no leases there

SINCE_OPENED = "since it was opened"
WHILE_READ = "while it was read"


def changed(name: str, when: str = SINCE_OPENED) -> OSError:
    return OSError(f"{name}: the file changed {when}")


def being_written(name: str) -> OSError:
    return OSError(f"{name}: the file is being written: a process holds it open for writing")


# The suffix of a dump's file name. The two loaders take a dump's name
# without it; everything else takes the file's own name.
SUFFIX = ".bin"


def resolve(path) -> str:
    """The one name rule of every entry point: the name as given, and, only
    when no such file exists, the name plus ".bin"."""
    name = os.fsdecode(os.fspath(path))
    if not os.path.lexists(name) and os.path.lexists(name + SUFFIX):
        return name + SUFFIX
    return name


def without_suffix(name: str) -> str:
    """`name` less its ".bin", if it has one."""
    return name[: -len(SUFFIX)] if name.endswith(SUFFIX) else name


def dump_name(path) -> str:
    """What views, datasets and pictures call a dump: its file name less
    ".bin" (a dump does not record what it holds)."""
    return without_suffix(os.path.basename(os.fsdecode(os.fspath(path)).rstrip("/")))


def local_identity(st) -> tuple:
    """(device, inode, size, mtime_ns, ctime_ns): what the native passes
    take as the identity of a file."""
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


# ---------------------------------------------------------------- racy stamps


def _coarse_tick_ns() -> int:
    """The tick of the clock that stamps file times: the resolution of
    CLOCK_REALTIME_COARSE on Linux (1 to 10 ms), else 10 ms."""
    clock = getattr(time, "CLOCK_REALTIME_COARSE", 5 if sys.platform.startswith("linux") else None)
    if clock is None:
        return 10_000_000
    try:
        return max(int(time.clock_getres(clock) * 1e9), 1_000_000)
    except (AttributeError, OSError, TypeError):
        return 10_000_000


TICK_NS = _coarse_tick_ns()
# How many times a file that changes while it is pinned is stat'ed again
# before it is taken as being written.
PIN_ATTEMPTS = 3


def racy_wait_ns(st, now_ns: int) -> int:
    """Nanoseconds to wait before the stat `st`, taken at `now_ns`, can be
    trusted: 0 once its ctime is two ticks old. A file system that keeps
    whole seconds (both times without nanoseconds) ticks once a second. A
    ctime in the future (another machine's clock) waits two ticks at most."""
    whole_seconds = st.st_ctime_ns % 1_000_000_000 == 0 and st.st_mtime_ns % 1_000_000_000 == 0
    margin = 2 * (1_000_000_000 if whole_seconds else TICK_NS)
    age = now_ns - st.st_ctime_ns
    return 0 if age >= margin else min(margin - age, margin)


def pin(fd: int, name: str, fstat=os.fstat):
    """The stat of the file open on `fd` once it can be trusted (see
    racy_wait_ns): stat'ed again after the wait, it must not have changed;
    a file that keeps changing is being written."""
    st = fstat(fd)
    for _ in range(PIN_ATTEMPTS):
        wait = racy_wait_ns(st, time.time_ns())
        if not wait:
            return st
        time.sleep(wait / 1e9)
        again = fstat(fd)
        if local_identity(again) == local_identity(st):
            return again
        st = again
    raise being_written(name)


# ---------------------------------------------------------------- writer probe


def lease_signal():
    """The signal that a lease's break sends us instead of SIGIO, whose
    default ends the process: one whose default is to be ignored and that
    has no handler, or None (no probe) when both have one."""
    if fcntl is None or not hasattr(fcntl, "F_SETLEASE") or not hasattr(fcntl, "F_SETSIG"):
        return None
    for name in ("SIGURG", "SIGWINCH"):
        sig = getattr(signal, name, None)
        if sig is not None and signal.getsignal(sig) in (signal.SIG_DFL, signal.SIG_IGN):
            return sig
    return None


def probe(fd: int, name: str, sig) -> bool:
    """Raises OSError "... is being written" when a process holds the file
    open for writing; False when the system cannot tell (not the file's
    owner, a file system without leases), True when it vouched. The lease
    is let go at once: a writer opening the file meanwhile waits for that
    alone. Callers probing one descriptor from several threads take turns.

    `sig` (from lease_signal()) is what a lease's break sends. Letting a
    lease go resets it to SIGIO, so it is set again before every lease."""
    try:
        fcntl.fcntl(fd, fcntl.F_SETSIG, sig)
    except OSError:
        return False
    try:
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
    except OSError as e:
        if e.errno == errno.EAGAIN:
            raise being_written(name) from None
        return False
    try:
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)
    except OSError:
        pass  # the lease was broken and let go by a writer's open meanwhile
    return True


# ---------------------------------------------------------------- descriptors


def _default_limit() -> int:
    try:
        return max(1, int(os.environ.get("QUICKIO_MAX_OPEN_FILES", "128")))
    except ValueError:
        return 128


class _Descriptors:
    """The descriptors that local files keep between reads, by key.

    Invariant: at most `limit` descriptors are open, unless more reads are
    in flight than that; a descriptor is never closed while a read uses it
    (`_busy` counts its reads), and the idle ones over the limit close, the
    least recently used first. A key discarded during a read closes when
    its last read ends.

    The lock is re-entrant: a garbage collection inside any of these
    methods may run a dropped file's finalizer, which discards its key on
    the same thread while the lock is held (a plain lock would wait for
    itself for ever). Such a discard touches its own key alone."""

    def __init__(self, limit: int):
        self.limit = limit
        self._lock = threading.RLock()
        self._idle: collections.OrderedDict[int, int] = collections.OrderedDict()  # key -> fd, least recent first
        self._busy: dict[int, list[int]] = {}  # key -> [fd, reads in flight]
        self._discarded: set[int] = set()

    def take(self, key, opener) -> int:
        """The descriptor of `key`, opened by `opener()` when it has none."""
        with self._lock:
            if key in self._busy:
                self._busy[key][1] += 1
                return self._busy[key][0]
            fd = self._idle.pop(key, None)
            if fd is None:
                fd = opener()
            self._busy[key] = [fd, 1]
            self._trim()
            return fd

    def give_back(self, key) -> None:
        with self._lock:
            entry = self._busy[key]
            entry[1] -= 1
            if entry[1]:
                return
            del self._busy[key]
            if key in self._discarded:
                self._discarded.discard(key)
                os.close(entry[0])
                return
            self._idle[key] = entry[0]
            self._trim()

    def adopt(self, key, fd: int) -> None:
        """Keeps `fd`, just opened, as the idle descriptor of `key`."""
        with self._lock:
            self._idle[key] = fd
            self._trim()

    def discard(self, key) -> None:
        with self._lock:
            fd = self._idle.pop(key, None)
            if fd is not None:
                os.close(fd)
            elif key in self._busy:
                self._discarded.add(key)

    def forget(self) -> None:
        """In a forked child: its copies of the parent's descriptors share
        their open files, and so their leases, with the parent, whose probes
        would reset the signal of a lease the child holds. The child closes
        its copies and opens its files again on demand."""
        self._lock = threading.RLock()
        for fd in [*self._idle.values(), *(entry[0] for entry in self._busy.values())]:
            os.close(fd)
        self._idle.clear()
        self._busy.clear()
        self._discarded.clear()

    def open_count(self) -> int:
        with self._lock:
            return len(self._idle) + len(self._busy)

    def _trim(self) -> None:
        while len(self._idle) + len(self._busy) > self.limit:
            try:  # a finalizer run by os.close may have taken the last one
                _, fd = self._idle.popitem(last=False)
            except KeyError:
                return
            os.close(fd)


_descriptors = _Descriptors(_default_limit())
_keys = itertools.count()
_files: weakref.WeakSet[LocalFile] = weakref.WeakSet()  # every LocalFile, for the fork handler


def _after_fork_in_child() -> None:
    _descriptors.forget()
    for f in list(_files):
        f._probing = threading.Lock()  # a thread of the parent may have held it


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


def max_open_files(limit: int | None = None) -> int:
    """The most descriptors that open local files keep between reads; with
    `limit` (1 or more), sets it, closing the least recently used ones over
    it, and returns the previous one."""
    previous = _descriptors.limit
    if limit is not None:
        if int(limit) < 1:
            raise ValueError(f"max_open_files must be at least 1, got {limit}")
        with _descriptors._lock:
            _descriptors.limit = int(limit)
            _descriptors._trim()
    return previous


# ---------------------------------------------------------------- the file


def _open(path: str, name: str, by_rule: bool = False) -> tuple:
    """(fd, stat) of the regular file at `path`, opened read-only without
    waiting (a FIFO would block an ordinary open). `by_rule`: the name was
    looked for with ".bin" too, which a missing file's message says."""
    flags = os.O_RDONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0)
    try:
        fd = os.open(path, flags)
    except FileNotFoundError:
        also = "" if name.endswith(SUFFIX) or not by_rule else f" (nor {name}{SUFFIX})"
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT) + also, name) from None
    except OSError:
        try:  # a socket cannot be opened at all
            socket = stat.S_ISSOCK(os.stat(path).st_mode)
        except OSError:
            socket = False
        if socket:
            raise OSError(errno.EINVAL, "not a regular file", name) from None
        raise
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise (
                IsADirectoryError(errno.EISDIR, "is a directory, not a dump", name)
                if stat.S_ISDIR(st.st_mode)
                else OSError(errno.EINVAL, "not a regular file", name)
            )
    except BaseException:
        os.close(fd)
        raise
    return fd, st


class LocalFile:
    """A file on the local disk, pinned at opening (or, with `expect`, by
    whoever opened it first) and checked around every read.

    `name` names it in messages: the path by the name rule, or as given
    with `exact`; `path` is its absolute path, which reopens it and which
    the native passes read."""

    is_local = True

    def __init__(self, path, *, exact: bool = False, expect=None, name: str | None = None):
        given = os.fsdecode(os.fspath(path)) if exact else resolve(path)
        self.name = given if name is None else name
        self.path = os.path.abspath(given)
        self._key = next(_keys)
        self._closed = False
        # The writer probe's signal, chosen once; no probe without one, nor
        # once the system says it cannot take them.
        self._signal = lease_signal()
        self._probes = self._signal is not None
        self._probing = threading.Lock()  # one probe of the descriptor at a time
        weakref.finalize(self, _descriptors.discard, self._key)
        _files.add(self)
        if expect is not None:
            self.identity = tuple(expect)
        else:
            fd, _ = _open(self.path, self.name, by_rule=not exact)
            try:
                self.identity = local_identity(pin(fd, self.name))
            except BaseException:
                os.close(fd)
                raise
            _descriptors.adopt(self._key, fd)
        self.size = self.identity[2]

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            _descriptors.discard(self._key)

    def _reopen(self) -> int:
        """A descriptor of the file pinned, opened again by path."""
        try:
            fd, st = _open(self.path, self.name)
        except (FileNotFoundError, IsADirectoryError):
            raise changed(self.name) from None
        if local_identity(st) != self.identity:
            os.close(fd)
            raise changed(self.name)
        return fd

    @contextlib.contextmanager
    def _descriptor(self):
        if self._closed:
            raise ValueError(f"{self.name}: I/O operation on a closed dump")
        fd = _descriptors.take(self._key, self._reopen)
        try:
            yield fd
        finally:
            _descriptors.give_back(self._key)

    def _verify(self, fd: int, when: str) -> None:
        """No writer at work, and the identity pinned on the descriptor and
        on the path; else OSError."""
        if self._probes:
            with self._probing:
                self._probes = probe(fd, self.name, self._signal)
        try:
            same = local_identity(os.fstat(fd)) == self.identity and local_identity(os.stat(self.path)) == self.identity
        except FileNotFoundError:
            same = False
        if not same:
            raise changed(self.name, when)

    @property
    def probed(self) -> bool:
        """Whether the writer probe vouches for this file's reads."""
        return self._probes

    def check(self) -> None:
        """Raises OSError when the file is no longer the one opened."""
        with self._descriptor() as fd:
            self._verify(fd, SINCE_OPENED)

    @contextlib.contextmanager
    def reading(self):
        """Around a read of the file by its path (a native pass): the file
        must be the one pinned, with no writer, before and after. Yields the
        path to read: the name, by which the reader's messages call it, while
        it still leads to the file (the working folder may have changed).
        A read that fails on a file that changed under it raises "changed
        while it was read", with the reader's error as the cause."""
        with self._descriptor() as fd:
            self._verify(fd, SINCE_OPENED)
            try:
                yield self.name if os.path.abspath(self.name) == self.path else self.path
            except Exception as e:
                self._verify_after_failure(fd, e)
                raise
            self._verify(fd, WHILE_READ)

    def _verify_after_failure(self, fd: int, e: Exception) -> None:
        try:
            self._verify(fd, WHILE_READ)
        except OSError as mismatch:
            raise mismatch from e

    scanned = reading

    def fetch(self, ranges, into=None) -> list:
        """The bytes of each (start, stop) range, all of the file pinned
        (`into`, the buffers a remote source may fill, goes unused)."""
        with self._descriptor() as fd:
            self._verify(fd, SINCE_OPENED)
            out = []
            for s, e in ranges:
                data = os.pread(fd, e - s, s)
                while len(data) < e - s:
                    more = os.pread(fd, e - s - len(data), s + len(data))
                    if not more:
                        raise changed(self.name, WHILE_READ)
                    data += more
                out.append(data)
            self._verify(fd, WHILE_READ)
        return out
