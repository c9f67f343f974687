"""Writes the seed corpus of the fuzz targets: small valid dumps (and a few
edge layouts) made with the test suite's dump writers, each behind the
control bytes its target reads first. Run from anywhere:

    python3 fuzz/make_corpus.py

The files are committed; rerun only when the writers or the input layouts
of the targets change.
"""
import shutil
import struct
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from helpers import DATA_DIR, NPROC_Y, field_dump_bytes, grid_values, phase_dump_bytes, phase_values  # noqa: E402


def field_seeds():
    g = lambda *shape: grid_values(*shape)[0]  # noqa: E731
    return {
        "1x1x1": field_dump_bytes(g(1, 1, 1)),
        "2x3x2_blocks2x2_nparam7": field_dump_bytes(g(2, 3, 2), ny_loc=[1, 2], nz_loc=[1, 1], nparam=7),
        "3x4x3_rows_per_layer": field_dump_bytes(g(3, 4, 3), ny_loc=[[1, 3], [2, 2]], nz_loc=[1, 2]),
        "2x2x3_layer_of_height0": field_dump_bytes(g(2, 2, 3), ny_loc=[[2], [2], [2]], nz_loc=[1, 0, 2]),
        "2x3x2_whole_planes": field_dump_bytes(g(2, 3, 2), nproc_z=2),
        "2x2x2_bad_markers": field_dump_bytes(g(2, 2, 2), nproc_y=2, bad_markers=True),
        "2x2x1_no_blocks_in_y": field_dump_bytes(g(2, 2, 1), int_params={NPROC_Y: 0}),
        "fortran_1x1": (DATA_DIR / "field_1x1.bin").read_bytes(),
        "fortran_2x2": (DATA_DIR / "field_2x2.bin").read_bytes(),
    }


def split_seeds():
    """Field dumps whose block data and axes pass a subrecord of 81 bytes
    (the header's 80-byte records stay whole): (limit, dump)."""
    g = lambda *shape: grid_values(*shape)[0]  # noqa: E731
    return {
        "8x3x2_blocks_split_once": (81, field_dump_bytes(g(8, 3, 2), nproc_z=2, sub=81)),
        "24x2x2_blocks_and_x_split": (81, field_dump_bytes(g(24, 2, 2), nproc_y=2, nproc_z=2, sub=81)),
    }


def phase_seeds():
    seeds = {}
    for n in range(3):  # n = 3 is the Fortran dump below
        seeds[f"n{n}_blocks_3_0_2"] = (n, phase_dump_bytes(phase_values(5, n), n, [3, 0, 2]))
    seeds["n1_negative_counts"] = (1, phase_dump_bytes(phase_values(2, 1), 1, [-4, 2, -1]))
    seeds["n2_stray_bytes"] = (2, phase_dump_bytes(phase_values(1, 2), 2, [1], extra=b"\x01\x02\x03"))
    seeds["n0_empty"] = (0, b"")
    seeds["fortran_n3"] = (3, (DATA_DIR / "phase_n3.bin").read_bytes())
    return seeds


def tiling_seeds():
    """Inputs of the field_tiling target: [flags][fail_from u32][nx u16][nproc_y][nproc_z]
    [layer heights][block widths][(offset u32, value i32) edits][cut u32]."""
    def tiling(nx, heights, widths, edits=(), cut=None, tall=False, fail_from=None):
        flags = (1 if cut is not None else 0) | (2 if tall else 0) | (4 if fail_from is not None else 0)
        data = struct.pack("<B", flags) + (struct.pack("<I", fail_from) if fail_from is not None else b"")
        data += struct.pack("<HBB", nx - 1, len(widths[0]), len(heights))
        data += bytes(heights) + bytes(w for layer in widths for w in layer)
        data += b"".join(struct.pack("<Ii", at, v) for at, v in edits)
        return data + (struct.pack("<I", cut) if cut is not None else b"")
    # Blocks of 16-64 KiB in runs of equal extents; extents of the first
    # block at 28 + 8*20 + 4 = 192, its data at 212.
    return {
        "equal_blocks_3x3": tiling(2048, [2, 2, 2], [[2, 2, 2]] * 3),
        "uneven_rows": tiling(1500, [3, 1, 4], [[1, 5, 2], [3, 3, 2], [4, 0, 4]]),
        "whole_planes": tiling(4096, [1, 1, 2, 1], [[3]] * 4),
        "many_small_layers": tiling(3000, [1] * 8, [[1, 1, 1, 1]] * 8),
        "third_block_extents_edited": tiling(2048, [2, 2], [[2, 2, 2]] * 2,
                                             edits=[(192 + 2 * (24 + 4 * 2048 * 4 + 4) + 8, 1)]),
        "layers_of_640_planes": tiling(4, [5, 5], [[3, 2], [1, 4]], tall=True),
        "cut_in_the_fourth_block": tiling(2048, [2, 2], [[2, 2]] * 2, cut=212 + 3 * (4 * 2048 * 4 + 28) + 100),
        # The reads of tasks fail with EIO from the first block's data on,
        # while later blocks still ask the pool for tasks.
        "eio_from_the_first_block": tiling(2048, [2, 2], [[2, 2]] * 2, fail_from=212),
    }


def main():
    corpus = HERE / "corpus"
    targets = {"field_reader": {}, "field_tiling": tiling_seeds(), "phase_count": {}, "phase_read": {}, "scan": {}}
    for name, dump in field_seeds().items():
        # Buffers sized exactly to the header's grid (mode 1, zero deltas).
        targets["field_reader"][name] = struct.pack("<BIHHH", 1, 0, 0, 0, 0) + dump
        targets["scan"][name] = struct.pack("<B", 3) + dump
    for name, (sub, dump) in split_seeds().items():
        # Records past `sub` bytes split: mode bit 1 and the limit above 64,
        # the scan's control byte its limit above 56 (and n = 3).
        targets["field_reader"][name] = struct.pack("<BIHHH", 3 | (sub - 64) << 2, 0, 0, 0, 0) + dump
        targets["scan"][name] = struct.pack("<B", (sub - 56) << 3 | 3) + dump
    for name, (n, dump) in phase_seeds().items():
        targets["phase_count"][name] = struct.pack("<b", n) + dump
        # A buffer sized exactly to the count (mode 1, zero delta).
        targets["phase_read"][name] = struct.pack("<BbI", 1, n, 0) + dump
        targets["scan"][f"phase_{name}"] = struct.pack("<B", n) + dump
    for target, seeds in targets.items():
        out = corpus / target
        shutil.rmtree(out, ignore_errors=True)
        out.mkdir(parents=True)
        for name, data in seeds.items():
            (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
