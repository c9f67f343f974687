"""`quickio convert`: a dump to NetCDF-4 or Zarr, as the dataset that
xarray's 'vintar' engine opens, chunk by chunk in bounded memory."""

from __future__ import annotations

import contextlib
import os
import struct
import sys

from ._base import EXIT_OK, CliError, Command
from ._dump import DIMS_HELP, PATH_HELP, open_dump, require_whole
from ._outputs import check_place


@contextlib.contextmanager
def converting(path, out):
    """Turns what a conversion raises into a CliError: a refusal that
    names the output is passed on as it is, the dump's faults name the
    dump, a failed write names both."""
    from .. import convert

    try:
        yield
    except convert.OutputRefused as e:
        raise CliError(str(e)) from e
    except MemoryError as e:
        raise CliError(f"{path}: not enough memory to convert the dump") from e
    except (EOFError, ValueError, struct.error, OSError) as e:
        text = str(e)
        if text.startswith(f"{out}: "):
            raise CliError(text) from e
        if isinstance(e, OSError):
            raise CliError(f"cannot convert {path} to {out}: {e.strerror or e}") from e
        raise CliError(f"{path}: cannot convert the dump: {text}") from e


class Convert(Command):
    name = "convert"
    help = (
        "convert a dump to NetCDF-4 or Zarr, as the dataset that xarray's 'vintar' engine opens, "
        "chunk by chunk in bounded memory"
    )
    details = "Needs the 'convert' extra."

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument(
            "out",
            metavar="OUT",
            help="the output: a NetCDF-4 file when it ends in .nc, a Zarr store (a folder) when "
            "it ends in .zarr; its folder must exist",
        )
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        p.add_argument("--overwrite", action="store_true", help="replace OUT if it exists")

    def run(self, args):
        from .. import convert

        out = args.out
        try:
            suffix = convert.output_format(out)
        except ValueError as e:
            raise CliError(str(e)) from e
        if os.path.lexists(out) and not args.overwrite:
            raise CliError(f"{out}: exists; pass --overwrite to replace it")
        if suffix == ".nc" and os.path.isdir(out):
            raise CliError(f"{out}: is a directory; name the NetCDF file inside it")
        check_place(out, args.path)
        try:
            convert.require(suffix)
        except convert.ConvertMissing as e:
            raise CliError(str(e)) from e
        with open_dump(args.path, args.n_dimensions) as dump:
            require_whole(dump)
            try:
                convert.check_output(dump, out, overwrite=args.overwrite)
            except convert.OutputRefused as e:
                raise CliError(str(e)) from e
            with converting(dump.name, out):
                convert.convert(dump, out, progress=sys.stderr.isatty(), overwrite=args.overwrite)
        print(f"wrote {out}")
        return EXIT_OK
