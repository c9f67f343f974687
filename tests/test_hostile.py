"""Hostile dumps through both loaders and both raw entries.

Every fixture dump is cut at every byte, has each of its header and count
words replaced by extreme values, and has random bytes flipped. Each group
runs in one child interpreter (the calls could in principle kill it), which
must end normally without printing anything; every call must return or raise
one of ALLOWED, must never write past the buffers it is given, and a cut dump
may only load when the cut removed bytes the readers never read.
"""
import os
import random
import struct
import sys

import numpy as np
import pytest

from helpers import (DATA_DIR, field_dump_bytes, grid_values, phase_dump_bytes, phase_values,
                     run_isolated)

ALLOWED = (OSError, EOFError, ValueError, IndexError, struct.error, MemoryError, OverflowError, KeyError)
EXTREMES = [0, -1, 1, 2**31 - 1, -2**31, 2**20]
SENTINEL = np.float32(-31337.0)
PAD = 7  # sentinel elements behind every buffer handed to a raw entry

# name -> (kind, bytes maker, grid (nx, ny, nz) or n)
DUMPS = {
    "field_1x1": ("field", lambda: (DATA_DIR / "field_1x1.bin").read_bytes(), (5, 3, 2)),
    "field_2x2": ("field", lambda: (DATA_DIR / "field_2x2.bin").read_bytes(), (4, 8, 6)),
    "field_2x3x2_nparam7": ("field", lambda: field_dump_bytes(
        grid_values(2, 3, 2)[0], ny_loc=[1, 2], nz_loc=[1, 1], nparam=7), (2, 3, 2)),
    "field_empty_layer_and_blocks": ("field", lambda: field_dump_bytes(
        grid_values(2, 2, 3)[0], ny_loc=[[2, 0], [1, 1], [0, 2]], nz_loc=[1, 0, 2]), (2, 2, 3)),
    # Blocks of 20 KiB and more: read straight into place, and ahead.
    "field_large_blocks": ("field", lambda: field_dump_bytes(
        grid_values(64, 40, 12)[0], ny_loc=[[20, 20], [10, 30], [20, 20]], nz_loc=[4, 4, 4]), (64, 40, 12)),
    "phase_n3": ("phase", lambda: (DATA_DIR / "phase_n3.bin").read_bytes(), 3),
    "phase_n0": ("phase", lambda: phase_dump_bytes(phase_values(5, 0), 0, [3, 0, 2]), 0),
    "phase_n1_negative_counts_stray": ("phase", lambda: phase_dump_bytes(
        phase_values(3, 1), 1, [-4, 2, 0, 1, -1], extra=b"\x01\x02\x03"), 1),
    "phase_n2_one_particle": ("phase", lambda: phase_dump_bytes(phase_values(1, 2), 2, [1]), 2),
}


# ---- the child's side --------------------------------------------------------


def records(data):
    """(offset, payload length) of each Fortran record, walked by its markers."""
    out, at = [], 0
    while at + 4 <= len(data):
        (length,) = struct.unpack_from("<i", data, at)
        out.append((at, length))
        at += length + 8
    return out


def field_words(data):
    """Offsets of the words a field reader interprets or skips by position:
    every record marker, Nparam, the integer parameters and the extents."""
    recs = records(data)
    words = set()
    for i, (at, length) in enumerate(recs):
        words |= {at, at + 4 + length}
        # records 0 and 1: Nparam and the integers; 3, 5, ...: block extents
        if i in (0, 1) or (i >= 3 and i % 2 == 1 and i < len(recs) - 3):
            words |= set(range(at + 4, at + 4 + length, 4))
    return sorted(words)


def phase_blocks(data, n):
    """Offsets of the count words, and {offset of each block's end (0 for the
    start): particles before it}."""
    counts, ends, at, before = [], {0: 0}, 0, 0
    while len(data) - at >= 4:
        (c,) = struct.unpack_from("<i", data, at)
        counts.append(at)
        at += 4 + max(c, 0) * (8 * n + 8)
        before += max(c, 0)
        ends[at] = before
    return counts, ends


def variants(data, family, words):
    if family == "truncate":
        # Every byte of a small dump; of a large one, every byte near a
        # record boundary and every 61st elsewhere.
        near = {w + d for w in words for d in range(-8, 9)}
        for cut in range(len(data)):
            if len(data) <= 4096 or cut in near or cut % 61 == 0:
                yield f"cut at {cut}", data[:cut], cut
    elif family == "words":
        for at in words:
            for v in EXTREMES:
                yield f"word at {at} = {v}", data[:at] + struct.pack("<i", v) + data[at + 4:], None
    elif family == "flips":
        rng = random.Random(f"{len(data)}:{data[:64].hex()}")
        for k in range(300):
            mutated = bytearray(data)
            # Half the flips land in the first 128 bytes, where the header is.
            span = 128 if k % 2 else len(data)
            for at in rng.sample(range(min(span, len(data))), rng.randint(1, 3)):
                mutated[at] ^= rng.randint(1, 255)
            yield f"flips #{k}", bytes(mutated), None


def guarded(label, call):
    """The call's result, or the ALLOWED exception it raised."""
    try:
        return call()
    except ALLOWED as e:
        return e
    except BaseException as e:
        raise AssertionError(f"{label}: {e!r} is not an allowed failure") from e


def padded(n):
    """A sentinel array and its first n elements, the view handed over."""
    whole = np.full(n + PAD, SENTINEL, np.float32)
    return whole, whole[:n]


def field_calls(stem, grid):
    from dorvo.quickio import meshdump
    nx, ny, nz = grid
    bufs = [padded(k) for k in (nx * ny * nz, nx, ny, nz)]
    loaded = guarded("read_Vintar_bin", lambda: meshdump.read_Vintar_bin(stem, dict(nx=nx, ny=ny, nz=nz)))
    filled = guarded("read_file", lambda: meshdump.read_file(*(v for _, v in bufs), os.fsencode(stem + ".bin")))
    assert all((w[len(v):] == SENTINEL).all() for w, v in bufs), "read_file wrote past a buffer"
    if not isinstance(filled, BaseException):
        assert all(r is v for r, (_, v) in zip(filled, bufs))
        filled = [v.copy() for _, v in bufs]
    return loaded, filled


def phase_calls(stem, n, size):
    from dorvo.quickio import beamdump
    whole, ps = padded(size)
    loaded = guarded("total_phase_space_read", lambda: beamdump.total_phase_space_read(stem, {"n_dimensions": n}))
    filled = guarded("beamdump", lambda: beamdump.beamdump(ps, n, os.fsencode(stem + ".bin")))
    assert (whole[size:] == SENTINEL).all(), "beamdump wrote past its buffer"
    if not isinstance(filled, BaseException):
        assert filled is ps
        filled = ps.copy()
    return loaded, filled


def same_field(result, want):
    return all(np.array_equal(np.ravel(a, order="F"), np.ravel(b, order="F")) for a, b in zip(result, want))


def run_group(name, family, workdir):
    """Runs one group of hostile dumps in this (child) interpreter."""
    kind, make, grid = DUMPS[name]
    data = make()
    stem = os.path.join(workdir, "hostile")
    path = stem + ".bin"
    with open(path, "wb") as f:
        f.write(data)

    if kind == "field":
        whole = field_calls(stem, grid)
        # The loader also needs header entry 14, which a 7-entry header lacks.
        assert not isinstance(whole[1], BaseException), (name, whole)
        words = field_words(data)
        # The z axis record's closing marker is never read.
        readable_cuts = {len(data) - k for k in range(1, 5)}
    else:
        from dorvo.quickio import beamdump
        n = grid
        comp = 2 * n + 1
        ref = beamdump.total_phase_space_read(stem, {"n_dimensions": n})
        size = ref.size
        words, ends = phase_blocks(data, n)
        # A cut at a block's end, or up to 3 bytes into the next count word,
        # leaves a shorter dump that is whole: the particles before the cut;
        # so does a cut inside the trailing word of a block's last entry,
        # which no reader needs.
        readable_cuts = {end + k: before for end, before in ends.items() for k in range(4)}
        ordered = sorted(ends.items())
        readable_cuts.update({end - k: before for (_, prior), (end, before) in zip(ordered, ordered[1:])
                              if before > prior for k in range(1, 5)})

    for label, mutated, cut in variants(data, family, words):
        with open(path, "wb") as f:
            f.write(mutated)
        if kind == "field":
            loaded, filled = field_calls(stem, grid)
        else:
            loaded, filled = phase_calls(stem, n, size)
        results = [r for r in (loaded, filled) if not isinstance(r, BaseException)]
        if cut is None or not results:
            continue
        where = f"{name}: {label}"
        assert cut in readable_cuts, f"{where}: a cut dump loaded"
        if kind == "field":
            assert all(same_field(r, w) for r, w in zip((loaded, filled), whole)
                       if not isinstance(r, BaseException)), where
        else:
            p = readable_cuts[cut]
            if not isinstance(loaded, BaseException):
                assert np.array_equal(loaded, ref[:, :p]), where
            elif p == 0:
                assert "Invalid shape in axis 0: 0." in str(loaded), where
            if not isinstance(filled, BaseException):
                assert np.array_equal(filled[:p * comp], ref.ravel(order="F")[:p * comp]), where
                assert (filled[p * comp:] == SENTINEL).all(), f"{where}: beamdump wrote past the particles"


def run_dimensions(name, workdir):
    """A phase dump read with wrong, negative and extreme n."""
    from dorvo.quickio import beamdump
    _, make, n = DUMPS[name]
    stem = os.path.join(workdir, "hostile")
    with open(stem + ".bin", "wb") as f:
        f.write(make())
    size = beamdump.total_phase_space_read(stem, {"n_dimensions": n}).size
    for m in sorted({n + 1, max(n - 1, 0), 0, 7} | set(EXTREMES)):
        loaded, filled = phase_calls(stem, m, size)
        if m < 0:
            assert isinstance(loaded, ValueError) and isinstance(filled, ValueError), (m, loaded, filled)
            assert f"n_dimensions must be >= 0, got {m}" in str(loaded), loaded
    # The right n and a buffer one element short.
    whole, ps = padded(size - 1)
    err = guarded("beamdump", lambda: beamdump.beamdump(ps, n, os.fsencode(stem + ".bin")))
    assert isinstance(err, ValueError) and (whole[size - 1:] == SENTINEL).all(), err


# ---- the tests ---------------------------------------------------------------


def in_child(tmp_path, call):
    proc = run_isolated(f"import test_hostile as t\nt.{call}\n", timeout=600)
    assert proc.stderr == "", proc.stderr


@pytest.mark.parametrize("family", ["truncate", "words", "flips"])
@pytest.mark.parametrize("name", list(DUMPS))
def test_hostile_dumps(tmp_path, name, family):
    in_child(tmp_path, f"run_group({name!r}, {family!r}, {str(tmp_path)!r})")


@pytest.mark.parametrize("name", [k for k, v in DUMPS.items() if v[0] == "phase"])
def test_hostile_dimensions(tmp_path, name):
    in_child(tmp_path, f"run_dimensions({name!r}, {str(tmp_path)!r})")


def test_words_cover_headers_and_counts():
    # The mutation sites are the ones the readers interpret: Nparam (4),
    # every integer parameter, the markers, the extents; every count word.
    data = DUMPS["field_2x3x2_nparam7"][1]()
    words = field_words(data)
    assert {4, *range(16, 16 + 28, 4)} <= set(words) and 0 in words and len(data) - 4 in words
    extents_at = 28 + 8 * 7 + 4
    assert set(range(extents_at, extents_at + 12, 4)) <= set(words)
    data = DUMPS["phase_n1_negative_counts_stray"][1]()
    counts, ends = phase_blocks(data, 1)
    assert counts == [0, 4, 40, 44, 64]
    assert ends == {0: 0, 4: 0, 40: 2, 44: 2, 64: 3, 68: 3}
