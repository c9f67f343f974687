"""Reading the dump a command names: its header, then its data, with what
the readers raise turned into one-line errors that name the dump.

A file that starts like a field dump is read as one; any other file is read
as a phase-space dump with the dimension count given by --n-dimensions,
since such a dump does not record it. A path may also be a URL read through
fsspec, of which only the byte ranges needed are fetched.
"""
from __future__ import annotations

import contextlib
import os
import struct
import sys


from .. import _dump, header as headers, open as open_dump
from ..header import FieldHeader, PhaseSpaceHeader
from ._base import CliError, os_message

PATH_HELP = ("the dump's file, by its full name (with its .bin), or its URL (http(s)://, s3://, gs://, ...; "
             "needs pip install 'dorvo.quickio[remote]')")
DIMS_HELP = ("dimension count of a phase-space dump (its particles have 2N+1 components); "
             "required for one, since the file does not record it; ignored for a field dump")


def is_url(path) -> bool:
    return _dump.is_url(path)


def n_hint(n_dimensions) -> str:
    return (f"check --n-dimensions (the file does not record the dimension count; "
            f"this walk used {n_dimensions})")


@contextlib.contextmanager
def reading(path, *, what="read the header of", refusal="malformed dump", n_dimensions=None):
    """Turns what reading the dump at `path` raises into a CliError naming
    it: a file or URL that cannot be read, a missing file system for a URL,
    memory, and the dump's own faults (`refusal`). With `n_dimensions`, the
    dump is a phase-space dump walked with that count, and a failure
    suggests checking it."""
    hint = f"; {n_hint(n_dimensions)}" if n_dimensions is not None else ""
    try:
        yield
    except OSError as e:
        raise CliError(os_message(e, path)) from e
    except ImportError as e:
        # A URL whose file system is not installed (fsspec, aiohttp, s3fs).
        raise CliError(str(e)) from e
    except MemoryError as e:
        raise CliError(f"{path}: not enough memory to {what} the dump{hint}") from e
    except (EOFError, ValueError, struct.error) as e:
        text = str(e)
        if text.startswith(path + ": "):
            text = text[len(path) + 2:]
        raise CliError(f"{path}: {refusal}: {text}{hint}") from e


def check_dimensions(n_dimensions) -> None:
    if n_dimensions is not None and n_dimensions < 0:
        raise CliError(f"--n-dimensions must be 0 or more, not {n_dimensions}")


def read_header(path, n_dimensions):
    """Header of the dump at `path`: a field header when the file starts
    like a field dump, a phase-space header read with `n_dimensions`
    otherwise."""
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a dump")
    check_dimensions(n_dimensions)
    with reading(path):
        header = headers.read_field_header_if_dump(path)
    if header is not None:
        return header
    if n_dimensions is None:
        # Said once, on the way out: scanning the file again costs little.
        with reading(path), _dump.Dump(path, strict=False) as d:
            raise CliError(d.not_a_field_dump("give it with --n-dimensions N"))
    with reading(path, n_dimensions=n_dimensions):
        return headers.read_phase_space_header(path, n_dimensions)


def require_whole(header) -> None:
    if not header.well_formed:
        hint = f"; {n_hint(header.n_dimensions)}" if isinstance(header, PhaseSpaceHeader) else ""
        raise CliError(f"{header.path}: cannot load a dump that is not well-formed: {header.reason}{hint}")


def loading(header):
    """reading() around a load of the data of the dump of `header`."""
    n = header.n_dimensions if isinstance(header, PhaseSpaceHeader) else None
    return reading(header.path, what="load", refusal="the loader refused the dump", n_dimensions=n)


def load_field(header: FieldHeader):
    """(field, x, y, z) of a well-formed field dump, through its opened dump."""
    require_whole(header)
    with loading(header), open_dump(header.path) as d:
        return d.load()


def load_phase_space(header: PhaseSpaceHeader):
    """The (2n+1, P) particle array of a well-formed phase-space dump,
    through its opened dump."""
    require_whole(header)
    with loading(header), open_dump(header.path, n_dimensions=header.n_dimensions) as d:
        return d.load()


def progress_bar(label):
    """A progress callback drawing a tqdm bar on a terminal, once a pass has
    taken a second; None without a terminal or without tqdm."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    bar = None

    def show(done, total):
        nonlocal bar
        if bar is None:
            bar = tqdm(total=total, desc=label, unit="B", unit_scale=True, delay=1.0, leave=False)
        bar.update(done - bar.n)
        if done >= total:
            bar.close()

    return show
