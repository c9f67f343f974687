"""The dimension count is bounded by what the file can hold, at every entry
point: one particle (8n + 8 bytes with its block count) must fit in the
file, and a file too short for any particle is read with at most
SMALL_FILE_DIMENSIONS. One past the bound, 2**31 and 2**40 all give the same
one-line ValueError (status 2 in the CLI); a non-integer count is a
TypeError. Before the bound, `quickio info --n-dimensions 16777216` printed
hundreds of megabytes of names, and 2**31 raised OverflowError."""
import numpy as np
import pytest
import xarray

from dorvo.quickio import _scan, cli, header, load, open as open_dump, particles, views
from dorvo.quickio._dump import headers as _headers
from dorvo.quickio.components import component_index, default_labels
from helpers import phase_values, write_phase_dump

# The count a file too short for any particle is read with at most.
SMALL = 16

ENTRY_POINTS = {
    "load": lambda p, n: load(p, n_dimensions=n),
    "open": lambda p, n: open_dump(p, n_dimensions=n).close(),
    "header": lambda p, n: header.read_phase_space_header(p, n),
    "whole_with": lambda p, n: header.whole_with(p, n),
    "moments": lambda p, n: particles.moments(p, n),
    "histogram": lambda p, n: particles.histogram(p, n, 0),
    "select": lambda p, n: particles.select(p, n, None),
    "xarray": lambda p, n: xarray.open_dataset(p, engine="vintar", n_dimensions=n).close(),
    "virtualize": lambda p, n: views.virtualize(p, str(p) + ".h5", n_dimensions=n),
}
CLI = {
    "info": ["info", "{p}", "--n-dimensions", "{n}"],
    "hist": ["hist", "{p}", "--n-dimensions", "{n}", "--components", "0", "--json"],
    "convert": ["convert", "{p}", "{p}.nc", "--n-dimensions", "{n}"],
    "virtualize": ["virtualize", "{p}", "-o", "{p}.h5", "--n-dimensions", "{n}"],
}


@pytest.fixture(scope="module", params=["50 particles", "empty"])
def dump(request, tmp_path_factory):
    """(path, size, bound) of a dump of 50 particles of n = 3, and of an
    empty one."""
    path = tmp_path_factory.mktemp("dims") / "ph.bin"
    if request.param == "empty":
        path.write_bytes(b"")
    else:
        write_phase_dump(path, phase_values(50, 3), 3)
    size = path.stat().st_size
    return path, size, max(SMALL, (size - 8) // 8)


def test_the_bound_is_the_largest_count_of_which_one_particle_fits(dump):
    path, size, bound = dump
    assert _scan.most_dimensions(size) == bound
    assert size < 8 * SMALL + 8 or 8 * bound + 8 <= size < 8 * (bound + 1) + 8


@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_every_entry_point_refuses_a_count_past_the_bound(dump, entry):
    path, size, bound = dump
    call = ENTRY_POINTS[entry]
    for n in (bound + 1, 2**31, 2**40):
        with pytest.raises(ValueError) as info:
            call(path, n)
        assert str(info.value) == (f"{path}: n_dimensions={n} is more than the file can hold: one particle takes "
                                   f"{8 * n + 8} bytes and the file has {size}; it can be read with at most "
                                   f"n_dimensions={bound}")
    with pytest.raises(TypeError, match="^n_dimensions must be an integer, not float$"):
        call(path, 3.7)
    # At the bound the count is the file's business: it reads, or the walk
    # reports what it found.
    try:
        call(path, bound)
    except _headers.DimensionsError:
        raise
    except (ValueError, EOFError) as e:
        assert "n_dimensions" in str(e) or "announces" in str(e), e


def test_a_count_that_is_no_integer_is_refused_where_no_file_bounds_it():
    for call in (lambda: component_index(0, 3.7), lambda: default_labels(3.7)):
        with pytest.raises(TypeError, match="^n_dimensions must be an integer, not float$"):
            call()


@pytest.mark.parametrize("command", CLI)
def test_the_command_line_says_it_in_one_line(dump, command, capsys):
    path, size, bound = dump
    for n in (bound + 1, 2**40):
        status = cli.main([a.format(p=path, n=n) for a in CLI[command]])
        out, err = capsys.readouterr()
        assert (status, out) == (2, "")
        assert err == (f"quickio: error: {path}: --n-dimensions {n} is more than the file can hold: one particle "
                       f"takes {8 * n + 8} bytes and the file has {size}; it can be read with at most "
                       f"--n-dimensions {bound}\n")


def test_an_empty_dump_opens_with_ordinary_counts_and_bounds_its_output(tmp_path):
    path = tmp_path / "empty.bin"
    path.write_bytes(np.int32(0).tobytes() * 2)  # two empty blocks
    for n in range(SMALL + 1):
        assert load(path, n_dimensions=n).shape == (2 * n + 1, 0)
    with pytest.raises(ValueError, match=f"at most n_dimensions={SMALL}$"):
        load(path, n_dimensions=SMALL + 1)
