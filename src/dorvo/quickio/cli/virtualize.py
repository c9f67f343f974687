"""`quickio virtualize`: a view through which HDF5 and NetCDF readers, and
through XDMF the VTK-based viewers, read a dump in place, with no values
copied; several dumps make a run that viewers play as a time series."""

from __future__ import annotations

import contextlib
import os

from ..header import FieldHeader
from . import _labels
from ._base import EXIT_OK, CliError, Command
from ._dump import DIMS_HELP, is_url, open_dump, open_either, require_whole, without_suffix
from ._outputs import check_place, writing
from ._summary import plural


def refusal(e) -> str:
    """A refusal of the library, in the command line's terms."""
    return str(e).replace("pass overwrite=True", "pass --overwrite")


@contextlib.contextmanager
def refused(*errors):
    """The library's refusals (`errors`) as one line in the command line's
    terms. Inside writing(), which would take an existing output (an
    OSError) for a failed write."""
    try:
        yield
    except errors as e:
        raise CliError(refusal(e)) from e


def xmf_name(path):
    return without_suffix(path) + ".xmf"


class Virtualize(Command):
    name = "virtualize"
    help = (
        "write a view of a dump that holds none of its values: an HDF5/NetCDF-4 file (OUT.h5, OUT.nc) "
        "that h5py, xarray, MATLAB or Julia read, or an XDMF file over it (OUT.xmf) that ParaView and "
        "VisIt open as one grid or one point cloud; several dumps make a time series"
    )
    details = (
        "The view names the dump and records the file it was made from: moving the dump breaks the "
        "view, and rewriting it changes what the view shows, which 'quickio info VIEW' tells."
    )

    def add_arguments(self, p):
        p.add_argument(
            "paths",
            nargs="+",
            metavar="PATH",
            help="the dump's file, by its full name (with its .bin); several make a run",
        )
        p.add_argument(
            "-o",
            "--output",
            metavar="OUT",
            help="the view: OUT.h5 or OUT.nc (a run of field dumps: one view on (dump, z, y, x)), or "
            "OUT.xmf with the view beside it as OUT.h5 (a run: each dump's name with .h5); "
            "default PATH with .xmf for its .bin; its folder must exist",
        )
        paths = p.add_mutually_exclusive_group()
        paths.add_argument(
            "--relative",
            dest="absolute",
            action="store_false",
            help="name the dump by its path from the view's folder; HDF5 resolves it from "
            "the working directory, or from the view's folder with "
            "HDF5_EXTFILE_PREFIX='${ORIGIN}'",
        )
        paths.add_argument(
            "--absolute", dest="absolute", action="store_true", help="name the dump by its absolute path (the default)"
        )
        p.add_argument(
            "--times",
            type=int,
            metavar="K",
            help="a run's times: real parameter K of each dump (default: the step number in "
            "each dump's name, 100 for Ex_100.bin)",
        )
        p.add_argument(
            "--copy",
            action="store_true",
            help="store a phase-space dump's particles in the view: viewers then read them as "
            "fast as a load, where in place they take a read per particle",
        )
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        _labels.add_option(p)
        opmd = p.add_argument_group(
            "openPMD",
            "a series that openpmd-api, openPMD-viewer and the openPMD tools "
            "read: -o SERIES.h5 (groupBased) or -o FOLDER/NAME_%T.h5 "
            "(fileBased, a folder of its own); field dumps are meshes, "
            "phase-space dumps a species, each named by its file name less "
            "its step (Ex_100.bin: mesh Ex of iteration 100)",
        )
        opmd.add_argument("--openpmd", action="store_true", help="write an openPMD series")
        given = opmd.add_mutually_exclusive_group()
        given.add_argument(
            "--units",
            metavar="FILE",
            help="the records' units (TOML: [meshes.NAME], [grid], [time], [species.NAME]); the dumps record none",
        )
        given.add_argument(
            "--unitless", action="store_true", help="write every unit as 1 and no dimensions, and say so in the file"
        )
        opmd.add_argument("--species", metavar="NAME", help="the name of the phase-space dumps' species")
        opmd.add_argument(
            "--name", action="append", default=[], metavar="DUMP=NAME", help="the record name of one dump (repeatable)"
        )
        opmd.add_argument(
            "--particles",
            choices=("in-place", "copy"),
            default="in-place",
            help="in-place (the default) reads the dumps' particles through a software conversion, "
            "some 50 to 75 loads; copy stores them in the series, read as fast as a load",
        )
        p.add_argument(
            "--overwrite",
            action="store_true",
            help="replace the outputs (the view, the XDMF file, a run's views) if they exist; only "
            "what virtualize wrote is replaced",
        )
        p.set_defaults(absolute=True)

    def run(self, args):
        for path in args.paths:
            if is_url(path):
                raise CliError(
                    f"{path}: a view points at the dump's own bytes on a disk its reader can "
                    f"open; copy the dump there first"
                )
        if args.openpmd:
            return self._openpmd(args)
        if args.units is not None or args.unitless or args.species or args.name or args.particles != "in-place":
            raise CliError("--units, --unitless, --species, --name and --particles apply to --openpmd")
        run = len(args.paths) > 1
        if args.output is None and run:
            raise CliError("a run needs its XDMF file: give -o OUT.xmf")
        out = args.output if args.output is not None else xmf_name(args.paths[0])
        from .. import views

        if not out.lower().endswith(views.H5_SUFFIXES + views.XMF_SUFFIXES):
            raise CliError(
                f"{out}: name the view *.h5 or *.nc, or *.xmf for viewers (which pick their reader by the name)"
            )
        if os.path.isdir(out):
            raise CliError(f"{out}: is a directory; name the view inside it")
        for path in args.paths:
            check_place(out, path)
        with contextlib.ExitStack() as opened:
            dumps = [opened.enter_context(open_dump(path, args.n_dimensions)) for path in args.paths]
            for dump in dumps:
                require_whole(dump)
            return self._views(dumps, out, run, args)

    def _views(self, dumps, out, run, args):
        """Writes the view of the opened `dumps` (a run when `run`)."""
        from .. import views

        headers = [d.header for d in dumps]
        labels = None
        if args.labels is not None:
            if isinstance(headers[0], FieldHeader):
                raise CliError("--labels applies to phase-space dumps only")
            labels = _labels.parse(args.labels, headers[0].n_dimensions)
        try:
            views.require_h5py()
        except ImportError as e:
            if run or args.times is not None or not out.lower().endswith(views.XMF_SUFFIXES):
                raise CliError(str(e)) from e
            return self._per_block(dumps[0], out, args.absolute, labels, args.overwrite)
        with writing(out, "the view"), refused(views.ViewError, views.OutputRefused):
            written = views.virtualize(
                dumps if run else dumps[0],
                out,
                relative=not args.absolute,
                times=args.times,
                copy=args.copy,
                labels=labels,
                overwrite=args.overwrite,
            )
        how = "stored in the view" if args.copy and not isinstance(headers[0], FieldHeader) else "read in place"
        what = plural(written.blocks, "block")
        if run:
            views_written = plural(len(written.files) - out.lower().endswith(views.XMF_SUFFIXES), "view")
            print(f"wrote {out}: {written.dumps} time steps over {views_written}, {what} in all {how}")
            for line in views.moving_axes(headers, args.times):
                print(f"moving window: {line}")
        else:
            print(f"wrote {', '.join(written.files)}: {what} of {headers[0].path} {how}")
        return EXIT_OK

    @staticmethod
    def _openpmd(args):
        """An openPMD series of the dumps."""
        from .. import views

        out = args.output
        if out is None or not out.lower().endswith(".h5"):
            raise CliError(
                "an openPMD series needs its name: -o SERIES.h5, or -o FOLDER/NAME_%T.h5 for a file per iteration"
            )
        if args.times is not None or args.labels is not None:
            raise CliError(
                "--times and --labels apply to other views: an openPMD series times its iterations "
                "by their steps and the [time] dt of its units"
            )
        if args.units is None and not args.unitless:
            raise CliError(
                "an openPMD series needs the units of its records, which the dumps do not record: "
                "give --units FILE, or --unitless to write every unit as 1"
            )
        names = {}
        for item in args.name:
            dump, sep, name = item.rpartition("=")
            if not sep or not dump:
                raise CliError(f"--name {item}: give DUMP=NAME")
            names[dump] = name
        for path in args.paths:
            check_place(out, path)
        # A series mixes field dumps, known by their headers, and
        # phase-space dumps read with --n-dimensions.
        with contextlib.ExitStack() as opened:
            dumps = [opened.enter_context(open_either(path, args.n_dimensions)) for path in args.paths]
            for dump in dumps:
                require_whole(dump)
            with writing(out, "the series"), refused(ImportError, views.ViewError, views.OutputRefused):
                written = views.virtualize(
                    dumps,
                    out,
                    relative=not args.absolute,
                    overwrite=args.overwrite,
                    copy=args.copy or args.particles == "copy",
                    openpmd=True,
                    units=args.units,
                    unitless=args.unitless,
                    names=names,
                    species=args.species,
                )
        copied = args.copy or args.particles == "copy"
        files = written.files[0] if len(written.files) == 1 else f"{plural(len(written.files), 'file')} {out}"
        print(
            f"wrote {files}: an openPMD series of {plural(written.dumps, 'dump')} over "
            f"{plural(written.blocks, 'block')}, {'particles copied, the rest ' if copied else ''}read in place"
            + ("; unitless" if args.unitless else "")
        )
        return EXIT_OK

    @staticmethod
    def _per_block(dump, out, absolute, labels, overwrite):
        """Without h5py: an XDMF file of one grid per block over the dump."""
        from .._views import xdmf

        header = dump.header
        with writing(out, "the XDMF file"), refused(xdmf.XdmfError, xdmf.OutputRefused):
            if isinstance(header, FieldHeader):
                grids = xdmf.write_field_xdmf(dump, out, absolute=absolute, overwrite=overwrite)
            else:
                grids = xdmf.write_phase_space_xdmf(dump, out, absolute=absolute, labels=labels, overwrite=overwrite)
        print(
            f"wrote {out}: {plural(grids, 'grid')} reading {header.path} in place "
            f"(one grid per block: h5py, missing, makes them one)"
        )
        return EXIT_OK
