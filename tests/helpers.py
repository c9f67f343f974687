"""Writers of field and phase-space dumps, and small test utilities.

write_field_dump and write_phase_dump write through the package's public
writers; field_dump_bytes and phase_dump_bytes build dumps byte by byte,
including the broken ones that the public writers never make. tests/data/ holds dumps written by real
Fortran I/O (tests/fortran/) that pin these writers down.
"""
import collections.abc
import os
import subprocess
import sys
import traceback
from pathlib import Path

import numpy as np

import dorvo.quickio as quickio

DATA_DIR = Path(__file__).parent / "data"
TESTS_DIR = Path(__file__).parent

# Header entries the readers look at.
NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION = 0, 1, 3, 4, 6, 14


def grid_values(nx, ny, nz):
    """The sample field i + 10*j + 100*k (x fastest) and axes used by the
    Fortran fixtures: x = 0.5*i, y = 1 + j, z = -2 + 0.25*k."""
    i, j, k = np.meshgrid(np.arange(nx), np.arange(ny), np.arange(nz), indexing="ij")
    field = (i + 10 * j + 100 * k).astype(np.float32)
    x = (0.5 * np.arange(nx)).astype(np.float32)
    y = (1.0 + np.arange(ny)).astype(np.float32)
    z = (-2.0 + 0.25 * np.arange(nz)).astype(np.float32)
    return field, x, y, z


# The most payload gfortran writes in one subrecord.
MAX_SUBRECORD = 2**31 - 9


def subrecords(nbytes, sub=MAX_SUBRECORD):
    """(payload start, length, opening marker, closing marker) of each
    subrecord of a record of `nbytes` as gfortran writes it with subrecords
    of at most `sub` bytes: a negative opening marker when another follows,
    a negative closing one when another came before."""
    count = max(1, -(-nbytes // sub))
    out = []
    for k in range(count):
        start = k * sub
        length = min(sub, nbytes - start)
        out.append((start, length, -length if k < count - 1 else length, -length if k > 0 else length))
    return out


def fortran_records(payloads, bad_markers=False, sub=MAX_SUBRECORD):
    """Frames each payload as a sequential unformatted record: an int32
    length marker on both sides, or subrecords of at most `sub` bytes for a
    longer payload. With bad_markers the markers hold values that have
    nothing to do with the payload (readers must not care)."""
    out = bytearray()
    for n, payload in enumerate(payloads):
        payload = bytes(payload)
        if bad_markers:
            out += np.int32(-7 - n).tobytes() + payload + np.int32(0x7FFF0000 + n).tobytes()
            continue
        for start, length, head, tail in subrecords(len(payload), sub):
            out += np.int32(head).tobytes() + payload[start:start + length] + np.int32(tail).tobytes()
    return bytes(out)


def _split(total, parts):
    return [len(a) for a in np.array_split(np.arange(total), parts)] if parts > 0 else []


def field_dump_bytes(field, x=None, y=None, z=None, *, nproc_y=None, nproc_z=None,
                     ny_loc=None, nz_loc=None, nparam=20, int_params=None,
                     real_params=None, blocks=None, bad_markers=False, sub=MAX_SUBRECORD):
    """Bytes of a field dump holding `field` (an (nx, ny, nz) array).

    The grid is cut into nproc_z layers of nproc_y blocks. ny_loc gives the
    blocks' y extents, either one list for every layer or one list per
    layer; nz_loc gives the layer heights; without them the sizes are split
    as evenly as possible. `blocks`, a list of ((nx_loc, ny_loc, nz_loc),
    data or None), replaces the blocks cut from the field verbatim, for
    dumps whose extents do not tile the grid. int_params ({index: value})
    overrides header entries after the defaults are filled in; entries
    beyond nparam are dropped, so a short header simply lacks them.
    x, y, z default to the sample axes of grid_values(). Records longer
    than `sub` bytes are split into subrecords, as gfortran writes them.
    """
    field = np.asarray(field, dtype=np.float32)
    nx, ny, nz = field.shape
    _, x0, y0, z0 = grid_values(nx, ny, nz)
    axes = [np.asarray(a if a is not None else d, dtype="<f4") for a, d in ((x, x0), (y, y0), (z, z0))]
    if nz_loc is None:
        nz_loc = _split(nz, nproc_z or 1)
    if ny_loc is None:
        ny_loc = _split(ny, nproc_y or 1)
    per_layer = len(ny_loc) > 0 and np.ndim(ny_loc[0]) > 0
    layers = [list(r) for r in ny_loc] if per_layer else [list(ny_loc)] * len(nz_loc)

    if blocks is None:
        blocks, z0 = [], 0
        for height, rows in zip(nz_loc, layers):
            y0 = 0
            for width in rows:
                blocks.append(((nx, width, height), field[:, y0:y0 + width, z0:z0 + height]))
                y0 += width
            z0 += height
    ints = {NPROC_Y: len(layers[0]) if layers else 0, NPROC_Z: len(layers),
            NX: nx, NY: ny, NZ: nz, NDIMENSION: 3, **(int_params or {})}
    ipar = [ints.get(i, 1000 + i) for i in range(nparam)]
    rpar = real_params if real_params is not None else 0.5 * np.arange(nparam)

    payloads = [np.int32(nparam).tobytes(), np.asarray(ipar, "<i4").tobytes(),
                np.asarray(rpar, "<f4").tobytes()]
    for extent, data in blocks:
        if data is None:
            data = np.arange(np.prod(extent, dtype=np.int64) if min(extent) > 0 else 0)
        payloads += [np.asarray(extent, "<i4").tobytes(),
                     np.asarray(data, "<f4").ravel(order="F").tobytes()]
    payloads += [a.tobytes() for a in axes]
    return fortran_records(payloads, bad_markers, sub)


# Options of field_dump_bytes() that make dumps write_field() cannot.
MALFORMED_FIELD_OPTIONS = {"blocks", "bad_markers"}


def write_field_dump(path, field, x=None, y=None, z=None, *, nproc_y=None, nproc_z=None, ny_loc=None,
                     nz_loc=None, nparam=20, int_params=None, real_params=None, **malformed):
    """Writes a field dump as field_dump_bytes(...) makes it to path and
    returns the bytes written: through dorvo.quickio.write_field when the
    dump is one it can write, else (a verbatim block list, bad markers, a
    header of other than 20 entries, per-layer y extents) byte by byte."""
    field = np.asarray(field, dtype=np.float32)
    layers_differ = ny_loc is not None and len(ny_loc) > 0 and np.ndim(ny_loc[0]) > 0
    no_blocks = (ny_loc is not None and len(ny_loc) == 0) or (nz_loc is not None and len(nz_loc) == 0)
    if malformed or nparam != 20 or layers_differ or no_blocks:
        data = field_dump_bytes(field, x, y, z, nproc_y=nproc_y, nproc_z=nproc_z, ny_loc=ny_loc, nz_loc=nz_loc,
                                nparam=nparam, int_params=int_params, real_params=real_params, **malformed)
        Path(path).write_bytes(data)
        return data
    _, x0, y0, z0 = grid_values(*field.shape)
    axes = [a if a is not None else d for a, d in ((x, x0), (y, y0), (z, z0))]
    blocks = (ny_loc if ny_loc is not None else (nproc_y or 1), nz_loc if nz_loc is not None else (nproc_z or 1))
    ints = {i: 1000 + i for i in range(nparam)}
    for i in (NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION):
        del ints[i]
    quickio.write_field(path, field, *axes, blocks=blocks, params={**ints, **{i: v for i, v in (int_params or {}).items() if i < nparam}},
                        real_params=real_params if real_params is not None else 0.5 * np.arange(nparam))
    return Path(path).read_bytes()


def field_dump_size(nx, ny, nz, blocks=1, nparam=20):
    """Length in bytes of a well-formed field dump."""
    return 3 * 8 + 4 + 8 * nparam + blocks * (8 + 12 + 8) + 3 * 8 + 4 * (nx * ny * nz + nx + ny + nz)


def phase_dump_bytes(particles, n, block_counts=None, trailing=None, extra=b""):
    """Bytes of a phase-space dump: blocks of [int32 N][N entries], each
    entry the 2n+1 float32 components of one particle and one trailing
    word. Counts <= 0 make empty blocks. `trailing` is a scalar or one value
    per particle (int32 if integral, else float32), by default 7000 + p;
    `extra` is appended raw (stray bytes, a cut-off block)."""
    parts = np.asarray(particles, dtype="<f4").reshape(-1, 2 * n + 1)
    count = len(parts)
    if block_counts is None:
        block_counts = [count]
    assert sum(c for c in block_counts if c > 0) == count, "block counts must add up to the particles"
    if trailing is None:
        trailing = 7000 + np.arange(count)
    trailing = np.broadcast_to(trailing, (count,))
    words = trailing.astype("<i4" if trailing.dtype.kind in "iub" else "<f4").view("<f4")
    entries = np.concatenate([parts, words[:, None]], axis=1)
    out, p = bytearray(), 0
    for c in block_counts:
        out += np.int32(c).tobytes()
        if c > 0:
            out += entries[p:p + c].tobytes()
            p += c
    return bytes(out) + bytes(extra)


def write_phase_dump(path, particles, n, block_counts=None, trailing=None, extra=b""):
    """Writes the dump of phase_dump_bytes(...) to path and returns the
    bytes written: through dorvo.quickio.write_phase_space (trailing words
    0) unless trailing words, stray bytes or negative counts are asked for."""
    parts = np.asarray(particles, dtype="<f4").reshape(-1, 2 * n + 1)
    if trailing is None and not extra and all(c >= 0 for c in block_counts or []):
        counts = block_counts if block_counts is not None else [len(parts)]
        assert sum(counts) == len(parts), "block counts must add up to the particles"
        starts = np.cumsum([0, *counts])
        quickio.write_phase_space(path, (parts[a:b].T for a, b in zip(starts[:-1], starts[1:])), n)
        return Path(path).read_bytes()
    data = phase_dump_bytes(particles, n, block_counts, trailing, extra)
    Path(path).write_bytes(data)
    return data


def phase_values(count, n):
    """The sample particles of the Fortran fixture: component k of particle
    p is 10*p + k + 0.5; shape (count, 2n+1)."""
    p, k = np.meshgrid(np.arange(count), np.arange(2 * n + 1), indexing="ij")
    return (10 * p + k + 0.5).astype(np.float32)


def under_sanitizer():
    """True in the run against the AddressSanitizer build (its runtime is
    preloaded into the interpreter)."""
    return "asan" in os.environ.get("LD_PRELOAD", "")


def slow_storage(shim, path, delay_s):
    """The environment of a child interpreter whose every read of `path`
    first waits `delay_s` seconds (the storage fault library, preloaded), as
    a busy network file system may keep a read waiting."""
    return dict(os.environ, QUICKIO_FAULT_PATH=str(path), QUICKIO_FAULT_DELAY_US=str(int(delay_s * 1e6)),
                PYTHONPATH=os.pathsep.join(filter(None, [str(TESTS_DIR), os.environ.get("PYTHONPATH")])),
                LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)])))


def run_isolated(code, *, timeout=120, env=None):
    """Runs `code` in a fresh interpreter (with this directory importable)
    and asserts that it ended normally and printed nothing on stdout.
    For calls that might kill or hang the process. Returns the result."""
    env = env or dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(TESTS_DIR),
                                                                        os.environ.get("PYTHONPATH")])))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert proc.returncode == 0 and proc.stdout == "", (
        f"rc={proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


# params stand-ins that the loaders must ask through their own item access.
class AskOnly:
    """Item access and nothing else; records the keys asked for."""
    def __init__(self, d):
        self.d, self.asked = d, []

    def __getitem__(self, key):
        self.asked.append(key)
        return self.d[key]


class ReadOnlyMapping(collections.abc.Mapping):
    """A mapping that is not a dict."""
    def __init__(self, d):
        self.d = d

    def __getitem__(self, key):
        return self.d[key]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def lines_in(exc, name):
    """Source positions of the traceback entries that `name` added."""
    return [(e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__) if e.name == name]


def buffer_root(a):
    """The object at the end of an array's .base chain (through memoryviews)."""
    while True:
        nxt = a.obj if isinstance(a, memoryview) else getattr(a, "base", None)
        if nxt is None:
            return a
        a = nxt


class RangeServer:
    """A loopback HTTP server of the files in `root` that serves byte
    ranges (Range: bytes=a-b, a-, -n) as a file server or object store
    does, and records every request as (method, path, (start, stop) or
    None) in `requests`. Python's http.server serves whole files only.

    `validators` are those every answer carries: "etag", an ETag of the
    file's size, mtime and inode (as common file servers make it), or
    "last-modified" alone, or "none". With `conditions` true, a request
    whose If-Match names another ETag, or whose If-Unmodified-Since is
    older than the file, is refused (412), and If-Modified-Since is
    answered 304 when the file is not newer, as HTTP servers do; false, they
    are ignored. `fault` makes ranged GETs misbehave: "stall" sends nothing
    for `stall` seconds, "416" refuses them, "short" sends half the range,
    "whole" answers 200 with the whole file, "shifted" sends the range one
    byte further on, labelled as such.

        with RangeServer(tmp_path) as server:
            url = server.url("dump.bin")
    """

    def __init__(self, root, validators="etag", conditions=True):
        import email.utils
        import http.server
        import threading

        self.root = Path(root)
        self.requests = []
        self.fault = None
        self.stall = 5.0
        self.validators, self.conditions = validators, conditions
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"  # keep-alive, as clients expect
            # Headers and body go out in two writes: with Nagle's algorithm
            # a small body waits for the client's delayed ACK (40 ms).
            disable_nagle_algorithm = True

            def do_HEAD(self):
                self._serve(body=False)

            def do_GET(self):
                self._serve(body=True)

            def log_message(self, *args):
                pass

            def _send(self, status, headers, data=b"", body=True):
                self.send_response(status)
                for k, v in {"Accept-Ranges": "bytes", "Content-Length": str(len(data)), **headers}.items():
                    self.send_header(k, v)
                self.end_headers()
                if body:
                    self.wfile.write(data)

            def _serve(self, body):
                from urllib.parse import unquote, urlsplit

                name = unquote(urlsplit(self.path).path).lstrip("/")
                span = self._range()
                owner.requests.append((self.command, "/" + name, span))
                path = owner.root / name
                if not name or ".." in Path(name).parts or not path.is_file():
                    self._send(404, {}, b"", body)
                    return
                st = path.stat()
                size = st.st_size
                tags = {"etag": {"ETag": f'"{size:x}-{st.st_mtime_ns:x}-{st.st_ino:x}"'},
                        "last-modified": {"Last-Modified": email.utils.formatdate(st.st_mtime, usegmt=True)},
                        "none": {}}[owner.validators]
                refusal = self._refusal(tags, int(st.st_mtime))
                if refusal:
                    self._send(refusal, tags, b"", body)
                    return
                if span is None or (owner.fault == "whole" and body):
                    if body:
                        self._send(200, tags, path.read_bytes())
                    else:
                        self._send(200, {"Content-Length": str(size), **tags}, body=False)
                    return
                start, stop = span
                if start < 0:  # the last -start bytes
                    start, stop = max(size + start, 0), size
                stop = min(size if stop is None else stop, size)
                if start >= size or start >= stop or owner.fault == "416":
                    self._send(416, {"Content-Range": f"bytes */{size}"}, b"", body)
                    return
                if owner.fault == "stall":
                    import time

                    time.sleep(owner.stall)
                if owner.fault == "short":
                    stop = start + max(1, (stop - start) // 2)
                if owner.fault == "shifted" and stop < size:
                    start, stop = start + 1, stop + 1
                # Only the range, by sendfile as file servers send it: dumps
                # of the size sweep and the benchmarks run to a GiB.
                self._send(206, {"Content-Range": f"bytes {start}-{stop - 1}/{size}", "Content-Length":
                                 str(stop - start), **tags}, body=False)
                with open(path, "rb") as f:
                    while body and start < stop:
                        sent = os.sendfile(self.connection.fileno(), f.fileno(), start, stop - start)
                        if not sent:  # the file was cut since: the client finds the body short
                            break
                        start += sent

            def _refusal(self, tags, mtime):
                """412 or 304 for a request whose conditions the file fails."""
                if not owner.conditions:
                    return None
                match = self.headers.get("If-Match")
                if match is not None and match != tags.get("ETag"):
                    return 412
                since = self.headers.get("If-Unmodified-Since")
                if since is not None and mtime > email.utils.parsedate_to_datetime(since).timestamp():
                    return 412
                since = self.headers.get("If-Modified-Since")
                if since is not None and mtime <= email.utils.parsedate_to_datetime(since).timestamp():
                    return 304
                return None

            def _range(self):
                """(start, stop) of a Range header; (-n, None) for the last n
                bytes, (a, None) for everything from a."""
                value = self.headers.get("Range")
                if not value or not value.startswith("bytes="):
                    return None
                first, _, last = value[len("bytes="):].partition("-")
                if not first:
                    return (-int(last), None)
                return (int(first), int(last) + 1 if last else None)

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True
            # A client sends a batch of 64 ranges on as many connections at
            # once. socketserver's backlog of 5 drops the handshakes over it
            # while this thread waits for the interpreter lock; once the
            # kernel gives up on one, its request is never read and the
            # client waits out its timeout. File servers listen with
            # backlogs of hundreds.
            request_queue_size = 128

            def handle_error(self, request, client_address):
                # A client that closes its kept-alive connection is no fault.
                if not isinstance(sys.exc_info()[1], ConnectionError):
                    super().handle_error(request, client_address)

        self._server = Server(("127.0.0.1", 0), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    def url(self, name):
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}/{name}"

    def ranges(self):
        """The byte ranges of the GET requests so far, in order."""
        return [span for method, _, span in self.requests if method == "GET" and span is not None]

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
