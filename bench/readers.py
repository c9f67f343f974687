"""The loaders the bench compares against: what a user would write without
dorvo.quickio. Each returns the same arrays as the native loader it stands
in for, and trusts the file (no checks beyond what NumPy does anyway).
"""
import numpy as np


# The sequential read's one buffer, kept across runs so that its pages are
# touched once, as a reader that reuses its buffer would have them.
_SEQUENTIAL_BUFFER = bytearray(16 << 20)


def sequential(path):
    """The storage's limit: the file read front to back in 16 MiB reads into
    one reused buffer. Returns the number of bytes read."""
    view = memoryview(_SEQUENTIAL_BUFFER)
    total = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            n = f.readinto(view)
            if not n:
                return total
            total += n


def memcpy_of(nbytes):
    """The memory's limit for a result of `nbytes`: a call that copies that
    many bytes into memory already touched (both arrays made, and touched,
    before any timing)."""
    src = np.ones(nbytes // 4, np.float32)
    dst = np.zeros_like(src)

    def copy():
        np.copyto(dst, src)
        return dst

    return copy


def floor(path):
    """The floor of any load: allocate an array of the file's size and read
    the file's bytes into it."""
    return np.fromfile(path, np.uint8)


def numpy_field(path):
    """Field dump with NumPy alone: read the whole file, then copy each
    block's data into its place in an (nx, ny, nz) Fortran-order array."""
    w = np.fromfile(path, "<i4")
    nparam = int(w[1])
    ints = w[4:4 + nparam]
    nproc_y, nproc_z = int(ints[0]), int(ints[1])
    nx, ny, nz = int(ints[3]), int(ints[4]), int(ints[6])
    field = np.empty((nx, ny, nz), np.float32, order="F")
    pos = 7 + 2 * nparam  # in words: the first block's extent record
    z0 = 0
    for _ in range(nproc_z):
        y0 = 0
        for _ in range(nproc_y):
            bx, by, bz = (int(v) for v in w[pos + 1:pos + 4])
            pos += 5
            count = bx * by * bz
            data = w[pos + 1:pos + 1 + count].view("<f4").reshape((bx, by, bz), order="F")
            field[:, y0:y0 + by, z0:z0 + bz] = data
            pos += count + 2
            y0 += by
        z0 += bz
    axes = []
    for length in (nx, ny, nz):
        axes.append(w[pos + 1:pos + 1 + length].view("<f4").copy())
        pos += length + 2
    return (field, *axes)


def fortranfile_field(path):
    """Field dump with scipy.io.FortranFile: one record at a time."""
    from scipy.io import FortranFile

    with FortranFile(path, "r") as f:
        nparam = int(f.read_ints(np.int32)[0])
        ints = f.read_ints(np.int32)
        f.read_reals(np.float32)
        nproc_y, nproc_z = int(ints[0]), int(ints[1])
        nx, ny, nz = int(ints[3]), int(ints[4]), int(ints[6])
        assert len(ints) == nparam
        field = np.empty((nx, ny, nz), np.float32, order="F")
        z0 = 0
        for _ in range(nproc_z):
            y0 = 0
            for _ in range(nproc_y):
                bx, by, bz = (int(v) for v in f.read_ints(np.int32))
                field[:, y0:y0 + by, z0:z0 + bz] = f.read_reals(np.float32).reshape((bx, by, bz), order="F")
                y0 += by
            z0 += bz
        x = f.read_reals(np.float32)
        y = f.read_reals(np.float32)
        z = f.read_reals(np.float32)
    return field, x, y, z


def numpy_phase(path, n):
    """Phase-space dump with NumPy alone: read the whole file, walk the
    block counts, and gather the 2n+1 components of every entry into a
    (2n+1, P) Fortran-order array."""
    w = np.fromfile(path, "<i4")
    words = 2 * n + 2
    parts = []
    pos = 0
    end = len(w)
    while pos < end:
        c = int(w[pos])
        pos += 1
        if c > 0:
            parts.append(w[pos:pos + c * words].reshape(c, words)[:, :words - 1])
            pos += c * words
    if not parts:
        return np.empty((words - 1, 0), np.float32, order="F")
    return np.concatenate(parts).view("<f4").T
