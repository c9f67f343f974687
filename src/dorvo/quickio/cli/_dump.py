"""The dump a command names, opened once: its header from the one scan,
its data through the same opened dump, with what the readers raise turned
into one-line errors that name the dump.

A file opened without --n-dimensions is read as a field dump, by its own
header; with it, as a phase-space dump of that dimension count, since such
a dump does not record it. A path may also be a URL read through fsspec,
of which only the byte ranges needed are fetched. The opened dump pins the
file it scanned: every read after that is of the same file, or fails.
"""

from __future__ import annotations

import contextlib
import os
import re
import struct

from .._dump import progress
from .._dump.dump import Dump, KindError
from .._dump.headers import DimensionsError, dimensions
from .._dump.targets import dump_name, is_url, without_suffix
from ..header import PhaseSpaceHeader
from ._base import CliError, os_message

__all__ = [
    "DIMS_HELP",
    "PATH_HELP",
    "check_dimensions",
    "dump_name",
    "is_url",
    "load",
    "n_hint",
    "open_dump",
    "open_either",
    "progress_bar",
    "reading",
    "require_whole",
    "without_suffix",
]

PATH_HELP = (
    "the dump's file, by its full name (with its .bin), or its URL (http(s)://, s3://, gs://, ...; "
    "needs pip install 'dorvo.quickio[remote]')"
)
DIMS_HELP = (
    "dimension count of a phase-space dump (its particles have 2N+1 components); "
    "required for one, since the file does not record it; refused for a field dump"
)


@contextlib.contextmanager
def reading(path, *, what="read the header of", refusal="malformed dump"):
    """Turns what reading the dump at `path` raises into a CliError naming
    it: a file or URL that cannot be read, a missing file system for a URL,
    memory, and the dump's own faults (`refusal`)."""
    try:
        yield
    except OSError as e:
        raise CliError(os_message(e, path)) from e
    except ImportError as e:
        # A URL whose file system is not installed (fsspec, aiohttp, s3fs).
        raise CliError(str(e)) from e
    except MemoryError as e:
        # Ours says what would not fit (a histogram of too many bins): keep it.
        raise CliError(f"{path}: not enough memory to {what} the dump" + (f": {e}" if str(e) else "")) from e
    except DimensionsError as e:
        # The count given is wrong whatever the dump holds: no "malformed dump".
        raise CliError(re.sub(r"\bn_dimensions[= ]", "--n-dimensions ", str(e))) from e
    except KindError as e:
        # As open() and load() refuse it: the user took the file for
        # something it is not.
        # Named by the dump the error names: one of a run's, given `path` as their label.
        named = str(e).rpartition(": a field dump")[0] or path
        raise CliError(
            f"{named}: a field dump, not a phase-space dump; --n-dimensions applies to phase-space dumps only"
        ) from e
    except (EOFError, ValueError, struct.error) as e:
        text = str(e)
        if path is not None and text.startswith(path + ": "):
            text = text[len(path) + 2 :]
        raise CliError(f"{path}: {refusal}: {text}") from e


def check_dimensions(n_dimensions) -> None:
    """What the arguments alone decide of --n-dimensions; the dump's size
    bounds it too, when it is opened."""
    if n_dimensions is not None:
        with reading(None):
            dimensions(n_dimensions)


def open_dump(path, n_dimensions) -> Dump:
    """The dump at `path`, opened and scanned once: a field dump without
    `n_dimensions`, a phase-space dump read with it. The caller closes it."""
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a dump")
    check_dimensions(n_dimensions)
    with reading(path):
        dump = Dump(path, n_dimensions=n_dimensions, strict=False)
    if dump.header is None:
        message = dump.not_a_field_dump("give it with --n-dimensions N")
        dump.close()
        raise CliError(message)
    return dump


def open_either(path, n_dimensions) -> Dump:
    """The dump at `path`, opened once: a field dump by its own header, any
    other file as a phase-space dump read with `n_dimensions`, for a
    command that takes dumps of both kinds at once. The caller closes it."""
    if os.path.isdir(path):
        raise CliError(f"{path}: is a directory, not a dump")
    check_dimensions(n_dimensions)
    with reading(path):
        dump = Dump(path, strict=False)
    try:
        if dump.header is None and n_dimensions is not None:
            with reading(path):
                dump.as_phase_space(n_dimensions)
        if dump.header is None:
            raise CliError(dump.not_a_field_dump("give it with --n-dimensions N"))
    except BaseException:
        dump.close()
        raise
    return dump


def n_hint(dump: Dump):
    """For a phase-space dump that is not whole when walked with its
    dimension count: the hint that another count makes it whole, when one
    does, else None (the dump is cut short or broken, and no count helps)."""
    try:
        other = dump.whole_with()
    except (OSError, MemoryError, EOFError, ValueError):
        return None
    if other is None:
        return None
    return (
        f"read with --n-dimensions {other} the file is whole (the file does not record its dimension "
        f"count; this walk used {dump.header.n_dimensions})"
    )


def require_whole(dump: Dump) -> None:
    header = dump.header
    if not header.well_formed:
        hint = n_hint(dump) if isinstance(header, PhaseSpaceHeader) else None
        raise CliError(
            f"{header.path}: cannot load a dump that is not well-formed: {header.reason}"
            + (f"; {hint}" if hint else "")
        )


def loading(dump: Dump, what="load", refusal="the loader refused the dump"):
    """reading() around a read of the data of `dump`."""
    return reading(dump.name, what=what, refusal=refusal)


def load(dump: Dump):
    """What load() gives of a well-formed dump: (field, x, y, z) of a
    field dump, the (2n+1, P) particle array of a phase-space dump, read
    through the opened dump."""
    require_whole(dump)
    with loading(dump):
        return dump.load()


def progress_bar(label):
    """A progress callback drawing a tqdm bar on a terminal, once a pass has
    taken a second; None without a terminal or without tqdm."""
    return progress.bar(label)
