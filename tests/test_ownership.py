"""What an output may replace: one matrix of what lies at the output's
place against convert and virtualize, plain and with --overwrite, each cell
checked by what exists afterwards; the swap's window, by injection at each
of its steps; the temporaries of other processes."""
import importlib.util
import json
import os
import signal
import warnings
from pathlib import Path

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
pytest.importorskip("xarray")

from dorvo.quickio import convert, virtualize, write_field  # noqa: E402
from dorvo.quickio._io import output as _output  # noqa: E402
from dorvo.quickio.cli import main  # noqa: E402

HAVE_ZARR3 = importlib.util.find_spec("zarr") is not None and int(
    importlib.import_module("zarr").__version__.split(".")[0]) >= 3
# convert's NetCDF and Zarr, virtualize's XDMF file (over a view) and view.
SUFFIXES = [".nc", pytest.param(".zarr", marks=pytest.mark.skipif(not HAVE_ZARR3, reason="zarr 3 not installed")),
            ".xmf", ".h5"]


def dump(path, value=1.0):
    write_field(path, np.full((4, 3, 2), value, np.float32), np.arange(4), np.arange(3), np.arange(2))
    return str(path)


def tree(root):
    """Everything under `root`: files by content, links by target."""
    out = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            out[rel] = ("link", os.readlink(path)) if os.path.islink(path) else \
                "dir" if os.path.isdir(path) else Path(path).read_bytes()
    return out


def made_from(out):
    """The name of the dump that the output at `out` shows."""
    if out.endswith(".zarr"):
        return json.loads(Path(out, "zarr.json").read_text())["attributes"]["name"]
    with h5py.File(out[:-4] + ".h5" if out.endswith(".xmf") else out, "r") as f:
        return f.attrs["name"]


def write(out, src, overwrite=False):
    """The command line, in this process, writing `src` to `out`: its status."""
    command = ["virtualize", src, "-o", out] if out.endswith((".xmf", ".h5")) else ["convert", src, out]
    return main(command + ["--overwrite"] * overwrite)


def user_file(out):
    if out.endswith((".nc", ".h5")):
        with h5py.File(out, "w") as f:
            f["mine"] = [1.0, 2.0]
    elif out.endswith(".zarr"):
        import zarr

        zarr.create_array(store=out, name="mine", data=np.arange(3.0))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # zarr's note that consolidated metadata is its own extension
            zarr.consolidate_metadata(out)
    else:
        Path(out).write_text('<?xml version="1.0"?>\n<Xdmf Version="2.0"><Domain><Grid Name="mine"/></Domain></Xdmf>\n')


def user_files(out, *names):
    for name in names:
        Path(out, name).parent.mkdir(exist_ok=True)
        Path(out, name).write_text("mine")


def link(out, how):
    elsewhere = "ours" + os.path.splitext(out)[1]
    write(elsewhere, "old.bin")
    (os.symlink if how == "symbolic" else os.link)(elsewhere, out)


def the_input(out, how):
    """Puts the dump at the output's place (in it, for a store) and
    returns it named `how`."""
    if out.endswith(".zarr"):
        write(out, "old.bin")
        path = os.path.join(out, "mydump.bin")
    else:
        path = out
    dump(path, 7.0)
    return "file://" + os.path.abspath(path) if how == "file://" else path


PLACES = {  # what lies at the output's place: (make it, kept by a plain write, by --overwrite)
    "nothing": (lambda out: None, False, False),
    "our old output": (lambda out: write(out, "old.bin"), True, False),
    "a user's file of its format": (user_file, True, True),
    "a user's folder": (lambda out: user_files(out, "notes.txt"), True, True),
    "our store with user files": (lambda out: (write(out, "old.bin"), user_files(out, "README_user.txt",
                                                                                "mydata/x.csv")), True, True),
    "a symbolic link to ours": (lambda out: link(out, "symbolic"), True, True),
    "a hard link to ours": (lambda out: link(out, "hard"), True, False),
}


def cells():
    for suffix in SUFFIXES:
        name = suffix if isinstance(suffix, str) else suffix.values[0]
        for place in PLACES:
            if (place, name == ".zarr") in (("our store with user files", False), ("a hard link to ours", True)):
                continue  # a file holds no user files; a store has no hard links
            for overwrite in (False, True):
                marks = () if isinstance(suffix, str) else suffix.marks
                yield pytest.param(name, place, overwrite, marks=marks,
                                   id=f"{name}-{place}-{'overwrite' if overwrite else 'plain'}")


@pytest.mark.parametrize("suffix, place, overwrite", list(cells()))
def test_ownership(tmp_path, monkeypatch, capsys, suffix, place, overwrite):
    make, kept_plain, kept_overwrite = PLACES[place]
    monkeypatch.chdir(tmp_path)
    dump("old.bin", 1.0)
    dump("new.bin", 2.0)
    out = "out" + suffix
    make(out)
    before = tree(tmp_path)
    status = write(out, "new.bin", overwrite)
    after = tree(tmp_path)
    if kept_overwrite if overwrite else kept_plain:
        assert status == 2 and after == before
        assert capsys.readouterr().err.count("\n") == 1
    else:
        assert status == 0 and made_from(out) == "new"
        mine = lambda t: {k: v for k, v in t.items() if not k.startswith(("out.", "out" + os.sep))}  # noqa: E731
        assert mine(after) == mine(before)


@pytest.mark.parametrize("overwrite", [False, True], ids=["plain", "overwrite"])
@pytest.mark.parametrize("how", ["path", "file://", "file object"])
@pytest.mark.parametrize("suffix", SUFFIXES)
def test_the_input_at_the_output_place_survives(tmp_path, monkeypatch, suffix, how, overwrite):
    monkeypatch.chdir(tmp_path)
    dump("old.bin")
    out = "out" + suffix
    src = the_input(out, how)
    before = tree(tmp_path)
    if how != "file object":
        assert write(out, src, overwrite) == 2
    else:
        with open(src, "rb") as fh, pytest.raises(ValueError):
            (virtualize if suffix in (".xmf", ".h5") else convert.convert)(fh, out, overwrite=overwrite)
    assert tree(tmp_path) == before


@pytest.mark.parametrize("how", ["path", "file://", "simplecache", "file object", "fsspec file"])
@pytest.mark.parametrize("suffix", SUFFIXES[:2])
def test_an_input_outside_replaces_our_output(tmp_path, monkeypatch, suffix, how):
    """A dump named by anything that resolves to a local file outside the
    output replaces our old output; one that does not resolve is refused
    (nothing tells that the output does not hold it)."""
    fsspec = pytest.importorskip("fsspec")
    monkeypatch.chdir(tmp_path)
    out = "out" + suffix
    convert.convert(dump("old.bin", 1.0), out)
    path = os.path.abspath(dump("new.bin", 2.0))
    with open(path, "rb") as fh:
        src = {"path": path, "file://": "file://" + path, "simplecache": "simplecache::file://" + path,
               "file object": fh, "fsspec file": fsspec.open("file://" + path)}[how]
        convert.convert(src, out, overwrite=True)
    assert made_from(out) == "new"


# ---------------------------------------------------------------- the swap


def hidden(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.startswith("."))


STEPS = [  # (the rename or removal that is hit, what hits it, whether the new output ends in place); an
    # interrupt raised by the rename of the new output is test_convert's
    ("aside", "raise before", False), ("aside", "raise after", False), ("aside", "signal after", True),
    ("in", "signal after", True), ("remove", "raise before", True), ("remove", "signal after", True),
]


@pytest.mark.parametrize("step, hit, replaced", STEPS)
def test_interrupting_the_swap_loses_nothing(tmp_path, monkeypatch, step, hit, replaced):
    """Ctrl-C at every step of replacing an output: raised by the call
    itself, or as a signal right after it. Either the old output or the
    new one is in place, the interrupt is raised, and the next write
    leaves no hidden copy."""
    out = tmp_path / "o.nc"
    convert.convert(dump(tmp_path / "old.bin", 1.0), out)
    new = dump(tmp_path / "new.bin", 2.0)
    rename, remove = os.rename, _output._remove

    def hit_at(call, this):
        def patched(src, *args):
            if this(str(src)):
                if hit == "raise before":
                    raise KeyboardInterrupt
                call(src, *args)
                if hit == "signal after":
                    signal.raise_signal(signal.SIGINT)
                else:
                    raise KeyboardInterrupt
                return
            call(src, *args)
        return patched

    if step == "remove":
        monkeypatch.setattr(_output, "_remove", hit_at(remove, lambda src: src.endswith(".old")))
    else:
        moved = (lambda src: src == str(out)) if step == "aside" else (lambda src: src.endswith(".part"))
        monkeypatch.setattr(os, "rename", hit_at(rename, moved))
    with pytest.raises(KeyboardInterrupt):
        convert.convert(new, out, overwrite=True)
    monkeypatch.undo()
    assert made_from(str(out)) == ("new" if replaced else "old")
    with pytest.raises(convert.OutputExists):
        convert.convert(new, out)
    assert hidden(tmp_path) == []


def test_read_only_old_output_is_refused_not_hidden(tmp_path, monkeypatch, capsys):
    """A store with a folder this process may not write (root may write
    anywhere, so the system's answer is stood in for) is refused in one
    line, before and during the swap, and nothing is left hidden."""
    pytest.importorskip("zarr")
    monkeypatch.chdir(tmp_path)
    convert.convert(dump("old.bin", 1.0), "o.zarr")
    dump("new.bin", 2.0)
    access = os.access
    monkeypatch.setattr(os, "access", lambda p, mode: not str(p).endswith(("o.zarr/field", ".old/field"))
                        and access(p, mode))
    assert main(["convert", "new.bin", "o.zarr", "--overwrite"]) == 2
    assert capsys.readouterr().err == ("quickio: error: o.zarr: cannot be replaced: o.zarr/field is read-only, so "
                                       "the previous output could not be deleted; make it writable or remove it\n")
    monkeypatch.setattr(_output, "check", lambda *args, **kwargs: None)  # as if it turned read-only meanwhile
    with pytest.raises(convert.OutputRefused, match="cannot be replaced"):
        convert.convert("new.bin", "o.zarr", overwrite=True)
    assert made_from("o.zarr") == "old" and hidden(tmp_path) == []


def test_temporaries_of_live_processes_are_left_alone(tmp_path, monkeypatch):
    """Another user's process answers EPERM to a signal: it runs, and its
    temporaries stay; those of a process that is gone are removed, and a
    previous output it had moved aside comes back."""
    out = tmp_path / "o.nc"
    host = _output._host()
    live = tmp_path / f".o.nc.quickio-{host}-4000001-0000000a.part"
    gone_part = tmp_path / f".o.nc.quickio-{host}-4000002-0000000b.part"
    gone_old = tmp_path / f".o.nc.quickio-{host}-4000002-0000000c.old"
    for path in (live, gone_part, gone_old):
        path.write_text(path.suffix)

    def kill(pid, sig):
        raise PermissionError if pid == 4000001 else ProcessLookupError

    monkeypatch.setattr(os, "kill", kill)
    assert set(_output.clean_stale(str(out))) == {gone_old.name, gone_part.name}
    assert hidden(tmp_path) == [live.name] and out.read_text() == ".old"
