"""The files that commands write: checked before any dump is read, so that
no error waits for a long load, and never the dump itself."""

from __future__ import annotations

import contextlib
import os

from .._dump.targets import local_path
from ._base import CliError
from ._dump import is_url


def check_place(out, dump) -> None:
    """Refuses an output whose folder is missing or not writable, that
    names the dump itself, or that holds the dump (a folder around it)."""
    folder = os.path.dirname(os.path.normpath(out)) or "."
    if not os.path.isdir(folder):
        raise CliError(f"{out}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise CliError(f"{out}: the folder {folder} is not writable")
    if is_url(dump):
        dump = local_path(dump)  # a file:// URL is the local file under another name
        if dump is None:
            return
    with contextlib.suppress(OSError):
        if os.path.samefile(out, dump):
            raise CliError(f"{out}: is the dump itself; name another output")
    inside = os.path.realpath(out) + os.sep
    if os.path.realpath(dump).startswith(inside):
        raise CliError(f"{out}: holds the dump {dump}; name another output")


PICTURE_HELP = (
    "the format follows the suffix: .png, .pdf, .svg or any other that matplotlib writes; the folder must exist"
)


def check_picture(out, dump):
    """Refuses a picture that could not be written, before anything is
    loaded: no matplotlib, a suffix that names no format matplotlib writes,
    a directory, a place check_place() refuses. Returns the plotting
    module."""
    plot = require_matplotlib()
    formats = plot.picture_formats()
    suffix = os.path.splitext(out)[1].lower().lstrip(".")
    if suffix not in formats:
        raise CliError(
            f"{out}: name the picture with the suffix of its format: " + ", ".join(f".{f}" for f in sorted(formats))
        )
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory; name the picture file inside it")
    check_place(out, dump)
    return plot


def require_matplotlib():
    """The plotting module, once matplotlib is known to import."""
    from .. import plot

    try:
        plot.require_matplotlib()
    except plot.MatplotlibMissing as e:
        raise CliError(str(e)) from e
    return plot


@contextlib.contextmanager
def writing(out, what="the picture"):
    """Turns a failed write of `out` into a CliError naming it."""
    try:
        yield
    except OSError as e:
        raise CliError(f"{out}: cannot write {what}: {e.strerror or e}") from e
