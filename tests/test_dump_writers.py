"""The Python dump writers against dumps written by Fortran I/O."""
import pytest

from helpers import DATA_DIR, field_dump_bytes, field_dump_size, grid_values, phase_dump_bytes, phase_values


@pytest.mark.parametrize(
    "name, make",
    [
        ("field_2x2.bin", lambda: field_dump_bytes(grid_values(4, 8, 6)[0], ny_loc=[3, 5], nz_loc=[2, 4])),
        ("field_1x1.bin", lambda: field_dump_bytes(grid_values(5, 3, 2)[0])),
        ("phase_n3.bin", lambda: phase_dump_bytes(phase_values(5, 3), 3, [3, 0, 2])),
    ],
)
def test_writer_matches_fortran(name, make):
    assert make() == (DATA_DIR / name).read_bytes()


@pytest.mark.parametrize("shape, blocks, nparam", [((5, 3, 2), 1, 20), ((4, 8, 6), 4, 20), ((2, 3, 2), 4, 7)])
def test_field_dump_size(shape, blocks, nparam):
    data = field_dump_bytes(grid_values(*shape)[0], nproc_y=2 if blocks == 4 else 1,
                            nproc_z=2 if blocks == 4 else 1, nparam=nparam)
    assert len(data) == field_dump_size(*shape, blocks=blocks, nparam=nparam)
