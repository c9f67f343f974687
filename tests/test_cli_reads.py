"""Every command opens and scans its dump once, carries that one opened
dump (and the identity it pinned) through its work, and reads the data at
most twice: a pass that counts and a pass that reads. Before, a histogram
of a phase-space dump opened it twice, scanned it three times and read it
four times. A URL is streamed by ranges, in the same two passes (the
small dump here is one stretch, one native call a pass)."""
import collections

import numpy as np
import pytest

from dorvo.quickio import _particles, _scan, cli, write_field, write_phase_space
from dorvo.quickio._dump import dump as _dump
from dorvo.quickio._io import sources as _sources
from helpers import RangeServer, grid_values, phase_values

HIST = ["--components", "0", "3", "--where", "1", "-1e9", "1e9"]
COMMANDS = {
    "info field": (["info", "{f}"], 0),
    "info phase": (["info", "{p}", "--n-dimensions", "3"], 0),
    "info --stats": (["info", "{p}", "--n-dimensions", "3", "--stats"], 1),
    "hist": (["hist", "{p}", "--n-dimensions", "3", *HIST, "--json"], 2),
    "plot phase": (["plot", "{p}", "--n-dimensions", "3", *HIST, "-o", "{out}/h.png"], 2),
    "plot field": (["plot", "{f}", "-o", "{out}/f.png"], 1),
    "convert": (["convert", "{p}", "{out}/p.nc", "--n-dimensions", "3"], None),
    "virtualize": (["virtualize", "{f}", "-o", "{out}/f.h5"], 0),
    "virtualize --copy": (["virtualize", "{p}", "--n-dimensions", "3", "--copy", "-o", "{out}/p.h5"], 1),
    "hist of a URL": (["hist", "{url}", "--n-dimensions", "3", *HIST, "--json"], 2),
    # A series of both kinds: each dump opened once; the phase-space dump
    # is probed as a field dump (its first records) before its walk.
    "virtualize --openpmd": (["virtualize", "{f}", "{p}", "--n-dimensions", "3", "--openpmd", "--unitless",
                              "--particles", "copy", "-o", "{out}/s.h5"], 1, (2, 3)),
}


@pytest.fixture
def counts(monkeypatch):
    """What the code under test does to dumps: opens, scans, and passes
    over the data (whole loads, selections read through the planner, and
    the streamed reductions' native passes; a load by ranges is one)."""
    seen = collections.Counter()

    def counting(owner, name, what):
        real = getattr(owner, name)

        def call(*args, **kwargs):
            outer = seen["depth"] == 0
            seen[what] += outer
            seen["depth"] += 1
            try:
                return real(*args, **kwargs)
            finally:
                seen["depth"] -= 1

        monkeypatch.setattr(owner, name, call)

    counting(_sources, "open_source", "opens")
    counting(_scan, "field", "scans")
    counting(_scan, "phase", "scans")
    for name in ("load", "read"):
        counting(_dump.Dump, name, "passes")
    for name in ("extent", "histogram", "moments", "select"):
        counting(_particles, name, "passes")
    return seen


@pytest.fixture(scope="module")
def dumps(tmp_path_factory):
    root = tmp_path_factory.mktemp("dumps")
    write_field(root / "f.bin", *grid_values(6, 4, 4), blocks=(2, 2))
    ps = phase_values(40, 3).T.copy()
    ps[3, 5] = np.nan  # a particle the histogram leaves out, and counts
    write_phase_space(root / "p.bin", [ps[:, :25], ps[:, 25:]], 3)
    with RangeServer(root) as server:
        yield root, server.url("p.bin")


@pytest.mark.parametrize("command", COMMANDS)
def test_one_open_one_scan_and_at_most_two_passes(dumps, tmp_path, counts, capsys, command):
    root, url = dumps
    args, passes, *opened = COMMANDS[command]
    status = cli.main([a.format(f=root / "f.bin", p=root / "p.bin", url=url, out=tmp_path) for a in args])
    assert status == 0, capsys.readouterr().err
    assert (counts["opens"], counts["scans"]) == (opened or [(1, 1)])[0]
    if passes is not None:
        assert counts["passes"] == passes
