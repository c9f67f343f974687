"""Components by name: every entry point that takes a component index takes
its name too (the defaults, or the labels given), with the same result."""
import json

import numpy as np
import pytest

import dorvo.quickio as quickio
from dorvo.quickio import particles
from dorvo.quickio.cli import main
from helpers import phase_values, write_phase_dump

LABELS = ["q", "r", "s", "u", "v", "t", "weight"]


@pytest.fixture
def dump(tmp_path):
    path = tmp_path / "ph.bin"
    write_phase_dump(path, phase_values(60, 3), 3, [25, 0, 35])
    return path


def calls(names):
    """The same questions, asked with `names` (a list of 7 keys, index k
    standing for component k)."""
    x, y, z, px, py, pz, w = names
    return [
        lambda p, **kw: particles.histogram(p, 3, (x, px), bins=(4, 3), weights=w, where={py: (0, 300)}, **kw),
        lambda p, **kw: particles.histogram(p, 3, pz, bins=5, range=(0, 500), **kw),
        lambda p, **kw: particles.moments(p, 3, where={z: (-1e9, 150)}, **kw),
        lambda p, **kw: particles.select(p, 3, {y: (10, 250), w: (-1e9, 1e9)}, **kw),
        lambda p, **kw: read(p, components=px, particles=slice(3, 50), **kw),
    ]



def read(path, **kw):
    with quickio.open(path, n_dimensions=3) as d:
        return d.read(**kw)


def same(a, b):
    if isinstance(a, dict):
        return all(same(a[k], b[k]) for k in a)
    if isinstance(a, tuple):
        return all(same(u, v) for u, v in zip(a, b))
    return np.array_equal(a, b, equal_nan=True)


@pytest.mark.parametrize("names, labels", [(["x", "y", "z", "px", "py", "pz", "w"], None), (LABELS, LABELS)])
def test_python_names_equal_indices(dump, names, labels):
    kw = {} if labels is None else {"labels": labels}
    for by_index, by_name in zip(calls(list(range(7))), calls(names)):
        assert same(by_index(dump), by_name(dump, **kw))


def test_unknown_name_lists_the_known_ones(dump):
    with pytest.raises(ValueError, match=r"^weights: no component is named 'pq'; a dump with n = 3 has "
                                         r"x, y, z, px, py, pz, w$"):
        particles.histogram(dump, 3, "x", weights="pq")
    with pytest.raises(ValueError, match="^components: no component is named 'px'; a dump with n = 3 has q, r,"):
        read(dump, components="px", labels=LABELS)
    with pytest.raises(TypeError, match="^where: a component is an int or a name, not float$"):
        particles.moments(dump, 3, where={1.5: (0, 1)})


def hist_json(capsys, dump, *args):
    assert main(["hist", str(dump), "--n-dimensions", "3", "--json", *args]) == 0
    return json.loads(capsys.readouterr().out)


def test_cli_names_equal_indices(capsys, dump):
    by_index = hist_json(capsys, dump, "--components", "0", "3", "--weights", "6", "--where", "4", "0", "300")
    by_name = hist_json(capsys, dump, "--components", "x", "px", "--weights", "w", "--where", "py", "0", "300")
    assert by_name == by_index
    labelled = hist_json(capsys, dump, "--labels", ",".join(LABELS), "--components", "q", "u",
                         "--weights", "weight", "--where", "v", "0", "300")
    assert labelled["counts"] == by_index["counts"] and labelled["labels"] == ["q", "u"]


def test_cli_unknown_name(capsys, dump):
    assert main(["hist", str(dump), "--n-dimensions", "1", "--json", "--components", "pz"]) == 2
    assert capsys.readouterr().err == ("quickio: error: --components: no component is named 'pz'; "
                                       "a dump with n = 1 has x, px, w\n")
