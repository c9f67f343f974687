"""Streamed writers of large field and phase-space dumps.

The bench's dumps are about a gibibyte each; these writers produce them a
few planes or a few thousand particles at a time, so that writing one needs
memory for one chunk, not for the whole dump. The byte layout is the one
tests/helpers.py writes for small dumps (tests/test_bench_support.py checks
that the two agree byte for byte).
"""
import numpy as np

# Integer header entries the readers look at.
NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION = 0, 1, 3, 4, 6, 14
NPARAM = 20

# Bytes written per call at most: large enough for few calls, small enough
# that a chunk of values costs little memory.
CHUNK_BYTES = 16 << 20
# The files are written through a buffer of this size, so that the kernel
# sees few large writes whatever the block sizes are: how a file was
# written shapes how the page cache holds it (small writes leave it in
# small pieces, slower to read back for any reader, the floor included),
# and a dump copied onto this machine arrives in large writes.
WRITE_BUFFER = 16 << 20


def _record(fh, payload):
    """Writes one Fortran sequential record (int32 length on both sides)."""
    n = np.int32(len(payload)).tobytes()
    fh.write(n)
    fh.write(payload)
    fh.write(n)


def field_values(nx, ny, z0, y0, by, k0, k1):
    """Values of planes k0..k1-1 of a block whose first row is y0 and first
    plane is z0: the grid's linear index (x fastest) modulo 2**24, so that
    every value is exact in float32 and a misplaced row shows. Shape
    (k1-k0, by, nx), x fastest in memory."""
    i = np.arange(nx, dtype=np.int64)
    j = np.arange(y0, y0 + by, dtype=np.int64)
    k = np.arange(z0 + k0, z0 + k1, dtype=np.int64)
    lin = (k[:, None, None] * ny + j[None, :, None]) * nx + i[None, None, :]
    return (lin & 0xFFFFFF).astype("<f4")


def axes_values(nx, ny, nz):
    """The x, y and z axes written into bench dumps."""
    return (0.5 * np.arange(nx, dtype="<f4"), 1.0 + np.arange(ny, dtype="<f4"),
            -2.0 + 0.25 * np.arange(nz, dtype="<f4"))


def expected_field(nx, ny, nz):
    """The (nx, ny, nz) Fortran-order field that field_values() describes."""
    return field_values(nx, ny, 0, 0, ny, 0, nz).reshape(nz, ny, nx).transpose(2, 1, 0)


def _split(total, parts):
    base, extra = divmod(total, parts)
    return [base + (1 if p < extra else 0) for p in range(parts)]


def write_field(path, nx, ny, nz, nproc_y, nproc_z):
    """Writes a field dump of an (nx, ny, nz) grid cut into nproc_z layers of
    nproc_y blocks, as evenly as the grid allows. Returns the file size."""
    ints = np.array([1000 + i for i in range(NPARAM)], dtype="<i4")
    ints[[NPROC_Y, NPROC_Z, NX, NY, NZ, NDIMENSION]] = [nproc_y, nproc_z, nx, ny, nz, 3]
    with open(path, "wb", buffering=WRITE_BUFFER) as fh:
        _record(fh, np.int32(NPARAM).tobytes())
        _record(fh, ints.tobytes())
        _record(fh, (0.5 * np.arange(NPARAM, dtype="<f4")).tobytes())
        z0 = 0
        for height in _split(nz, nproc_z):
            y0 = 0
            for width in _split(ny, nproc_y):
                _record(fh, np.array([nx, width, height], "<i4").tobytes())
                nbytes = 4 * nx * width * height
                marker = np.int32(nbytes).tobytes()
                fh.write(marker)
                step = max(1, CHUNK_BYTES // max(1, 4 * nx * width))
                for k in range(0, height, step):
                    fh.write(field_values(nx, ny, z0, y0, width, k, min(height, k + step)).tobytes())
                fh.write(marker)
                y0 += width
            z0 += height
        for axis in axes_values(nx, ny, nz):
            _record(fh, axis.tobytes())
        return fh.tell()


def particle_values(p0, p1, n):
    """Components of particles p0..p1-1 of a phase-space dump of dimension
    count n, shape (p1-p0, 2n+2): 2n+1 float32 components (particle index
    modulo 2**20 times 16 plus component index, exact in float32) and the
    particle index as an int32 trailing word, stored as its bits."""
    c = 2 * n + 1
    p = np.arange(p0, p1, dtype=np.int64)
    out = np.empty((p1 - p0, c + 1), dtype="<f4")
    out[:, :c] = ((p[:, None] & 0xFFFFF) * 16 + np.arange(c)).astype("<f4")
    out[:, c] = p.astype("<i4").view("<f4")
    return out


def expected_particles(total, n):
    """The (2n+1, total) Fortran-order result of a bench phase-space dump."""
    return particle_values(0, total, n)[:, :2 * n + 1].T


def write_phase(path, n, block_counts):
    """Writes a phase-space dump of dimension count n whose blocks hold
    block_counts particles each (a run of equal counts is written a chunk
    of blocks at a time). Returns the file size."""
    words = 2 * n + 2
    with open(path, "wb", buffering=WRITE_BUFFER) as fh:
        p = 0
        i = 0
        counts = list(block_counts)
        while i < len(counts):
            c = counts[i]
            if c <= 0:
                fh.write(np.int32(c).tobytes())
                i += 1
                continue
            if 4 * words * c >= CHUNK_BYTES:
                # One large block, streamed a chunk of particles at a time.
                fh.write(np.int32(c).tobytes())
                step = max(1, CHUNK_BYTES // (4 * words))
                for q in range(p, p + c, step):
                    fh.write(particle_values(q, min(p + c, q + step), n).tobytes())
                p += c
                i += 1
                continue
            # A run of blocks with the same count c, as rows of
            # [count, c entries] words.
            run = 1
            limit = max(1, CHUNK_BYTES // (4 * (1 + words * c)))
            while i + run < len(counts) and counts[i + run] == c and run < limit:
                run += 1
            rows = np.empty((run, 1 + words * c), dtype="<i4")
            rows[:, 0] = c
            rows[:, 1:] = particle_values(p, p + run * c, n).view("<i4").reshape(run, words * c)
            fh.write(rows.tobytes())
            p += run * c
            i += run
        return fh.tell()
