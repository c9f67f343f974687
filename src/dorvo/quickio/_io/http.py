"""Byte ranges over HTTP that trust no server. Plain I/O that knows no dump.

Requests go through the session of fsspec's HTTP file system (its client
options, authentication and time-outs). Every answer is checked before its
bytes are used:

- its validators (ETag, Last-Modified) must be the ones pinned, whether or
  not the server honoured the If-Match or If-Unmodified-Since it was sent;
- a 206's Content-Range must be the range asked, of the size pinned;
- the body must be exactly the range asked: a 200 with the whole file, a
  short or a long body, and a 416 are refused, naming the server.

A pin whose Last-Modified lies within two seconds of the server's clock
(its Date) is not trusted: a rewrite within the same second would keep it.
The server is asked again once the seconds have passed.
"""

from __future__ import annotations

import asyncio
import email.utils
import errno
import os
import re
import time
from urllib.parse import urlsplit

from .local import PIN_ATTEMPTS, being_written, changed

# The validators every answer is held to; the others that a HEAD may give
# (Content-MD5, Digest) are of the whole body, not of a range.
_COMPARED = ("ETag", "Last-Modified")
_REPORTED = ("ETag", "Last-Modified", "Content-MD5", "Digest")
_CONTENT_RANGE = re.compile(r"^bytes (\d+)-(\d+)/(\d+|\*)$")
# Last-Modified and Date count whole seconds.
_MARGIN_S = 2.0


class HttpStatus(Exception):
    """An answer that is not the file: its `status` and `message`, as
    fsspec's and aiohttp's errors carry them."""

    def __init__(self, status: int, message: str):
        super().__init__(f"{status}, message={message!r}")
        self.status, self.message = status, message


def _headers(r) -> dict:
    """The headers of an answer, by their names in lower case."""
    return {k.lower(): v for k, v in r.headers.items()}


def _seconds(value):
    try:
        return email.utils.parsedate_to_datetime(value).timestamp()
    except (TypeError, ValueError, IndexError, OverflowError):
        return None


class Http:
    """One URL read through the session of `fs`, an fsspec HTTP file system.
    `name` names the file in messages; the server is named by its host."""

    def __init__(self, fs, path: str, name: str):
        self.fs, self.path, self.name = fs, path, name
        parts = urlsplit(path)
        self.server = parts.hostname + (f":{parts.port}" if parts.port else "") if parts.hostname else path

    def _run(self, coroutine_function):
        from fsspec.asyn import sync

        return sync(self.fs.loop, coroutine_function)

    def _request_options(self, extra: dict) -> dict:
        kw = dict(self.fs.kwargs)
        kw["headers"] = {**kw.get("headers", {}), "Accept-Encoding": "identity", **extra}
        return kw

    # ------------------------------------------------------------ identity

    def identity(self):
        """(size, validators) from a HEAD, with the racy rule applied; None
        when the server answers HEAD without a size (ask fsspec instead)."""
        for _ in range(PIN_ATTEMPTS):
            found = self._head()
            if found is None:
                return None
            size, validators, date = found
            wait = self._racy_wait(dict(validators), date)
            if not wait:
                return size, validators
            time.sleep(wait)
            again = self._head()
            if again is not None and again[:2] == (size, validators):
                return size, validators
        raise being_written(self.name)

    @staticmethod
    def _racy_wait(validators: dict, date) -> float:
        modified = _seconds(validators.get("Last-Modified"))
        if modified is None:
            return 0.0
        now = _seconds(date)
        age = (time.time() if now is None else now) - modified
        return 0.0 if age >= _MARGIN_S else min(_MARGIN_S - age, _MARGIN_S)

    def _head(self):
        async def head():
            session = await self.fs.set_session()
            async with session.head(
                self.fs.encode_url(self.path), allow_redirects=True, **self._request_options({})
            ) as r:
                return r.status, r.reason, _headers(r)

        status, reason, headers = self._run(head)
        if status == 404:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), self.path)
        if status in (401, 403):
            raise HttpStatus(status, reason)
        encoded = headers.get("content-encoding", "identity") not in ("identity", "")
        if status != 200 or "content-length" not in headers or encoded:
            return None
        validators = tuple((k, headers[k.lower()]) for k in _REPORTED if headers.get(k.lower()))
        return int(headers["content-length"]), validators, headers.get("date")

    # ------------------------------------------------------------ ranges

    def get(self, ranges, size: int, validators: dict, conditions: dict, into=None) -> list:
        """The bytes of each (start, stop) range, fetched together, each
        answer held to `size` and `validators`: new bytearrays, or with
        `into` (a writable buffer per range, a byte longer than it at
        least) views of those buffers."""

        async def one(session, start, stop, buffer):
            options = self._request_options({**conditions, "Range": f"bytes={start}-{stop - 1}"})
            async with session.get(self.fs.encode_url(self.path), **options) as r:
                data = await self._body(r, stop - start, buffer) if r.status in (200, 206) else b""
                return r.status, r.reason, _headers(r), data

        async def every():
            session = await self.fs.set_session()
            buffers = [None] * len(ranges) if into is None else into
            return await asyncio.gather(*(one(session, s, e, b) for (s, e), b in zip(ranges, buffers)))

        answers = self._run(every) if ranges else []
        return [self._checked(s, e, size, validators, *answer) for (s, e), answer in zip(ranges, answers)]

    @staticmethod
    async def _body(r, length: int, buffer=None):
        """At most one byte more than `length` of the body: enough to tell a
        body longer than the range without taking in a whole file. The
        chunks go into one buffer as they come (a copy each), not joined
        at the end (a second copy of every byte): a new bytearray, or the
        caller's `buffer` (then a view of it is returned), which a reader
        of many ranges reuses rather than have every range's memory
        allocated and zeroed afresh."""
        import aiohttp

        out = bytearray(length + 1) if buffer is None else buffer
        view, got = memoryview(out), 0
        try:
            while got <= length:
                chunk = await r.content.readany()
                if not chunk:
                    break
                take = min(len(chunk), length + 1 - got)
                view[got : got + take] = chunk if take == len(chunk) else memoryview(chunk)[:take]
                got += take
        except aiohttp.ClientPayloadError:
            pass  # the connection closed early: the length check says so
        if buffer is not None:
            return view[:got]
        view.release()
        del out[got:]
        return out

    def _checked(self, start, stop, size, validators, status, reason, headers, data) -> bytes:
        asked = f"bytes {start} to {stop} of {size}"
        if status == 412 or status in (404, 410):
            raise changed(self.name)
        if status == 416:
            raise OSError(
                errno.EIO, f"the server {self.server} refused {asked} (HTTP 416), bytes that it announced", self.name
            )
        if status in (401, 403):
            raise PermissionError(errno.EACCES, f"access refused (HTTP {status})", self.name)
        if status not in (200, 206):
            raise OSError(
                errno.EIO,
                f"the server {self.server} answered HTTP {status} {reason or ''}".strip()
                + f" to a request for {asked}",
                self.name,
            )
        for k in _COMPARED:
            if k in validators and headers.get(k.lower()) is None:
                raise OSError(
                    errno.EIO,
                    f"the server {self.server} sent {asked} without the {k} it gave at "
                    f"opening: they cannot be told from bytes of another file",
                    self.name,
                )
            if k in validators and headers[k.lower()] != validators[k]:
                raise changed(self.name)
        if status == 206:
            span = _CONTENT_RANGE.match(headers.get("content-range", ""))
            if span and span.group(3) not in ("*", str(size)):
                raise changed(self.name)
            if not span or (int(span.group(1)), int(span.group(2)) + 1) != (start, stop):
                sent = (
                    f"bytes {span.group(1)} to {int(span.group(2)) + 1}"
                    if span
                    else f"a Content-Range of {headers.get('content-range')!r}"
                )
                raise OSError(
                    errno.EIO,
                    f"asked for {asked}, the server {self.server} sent {sent}: it does not serve byte ranges as asked",
                    self.name,
                )
        # A 200 is the whole file: the range asked only when that is the whole
        # file too (a body of the range's length from another file is not).
        if len(data) != stop - start or (status == 200 and (start, stop) != (0, size)):
            if status == 200:
                what = "the whole file (HTTP 200)"
            else:
                what = f"more than {stop - start} bytes" if len(data) > stop - start else f"{len(data)} bytes"
            raise OSError(
                errno.EIO,
                f"asked for {asked}, the server {self.server} sent {what}: it does not serve byte ranges as asked",
                self.name,
            )
        return data
