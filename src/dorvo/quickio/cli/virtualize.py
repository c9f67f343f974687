"""`quickio virtualize`: a view through which HDF5 and NetCDF readers, and
through XDMF the VTK-based viewers, read a dump in place, with no values
copied; several dumps make a run that viewers play as a time series."""
from __future__ import annotations

import os

from ..header import FieldHeader
from . import _labels
from ._base import EXIT_OK, SUFFIX, CliError, Command
from ._dump import DIMS_HELP, is_url, read_header, require_whole
from ._outputs import check_place, writing
from ._summary import plural


def xmf_name(path):
    return (path[:-len(SUFFIX)] if path.endswith(SUFFIX) else path) + ".xmf"


class Virtualize(Command):
    name = "virtualize"
    help = ("write a view of a dump that holds none of its values: an HDF5/NetCDF-4 file (OUT.h5, OUT.nc) "
            "that h5py, xarray, MATLAB or Julia read, or an XDMF file over it (OUT.xmf) that ParaView and "
            "VisIt open as one grid or one point cloud; several dumps make a time series")
    details = ("The view names the dump: moving the dump breaks the view, rewriting it changes what the "
               "view shows.")

    def add_arguments(self, p):
        p.add_argument("paths", nargs="+", metavar="PATH",
                       help="the dump's file, by its full name (with its .bin); several make a run")
        p.add_argument("-o", "--output", metavar="OUT",
                       help="the view: OUT.h5 or OUT.nc, or OUT.xmf with the view beside it as OUT.h5 "
                            "(a run: each dump's name with .h5); default PATH with .xmf for its .bin; "
                            "its folder must exist")
        paths = p.add_mutually_exclusive_group()
        paths.add_argument("--relative", dest="absolute", action="store_false",
                           help="name the dump by its path from the view's folder; HDF5 resolves it from "
                                "the working directory, or from the view's folder with "
                                "HDF5_EXTFILE_PREFIX='${ORIGIN}'")
        paths.add_argument("--absolute", dest="absolute", action="store_true",
                           help="name the dump by its absolute path (the default)")
        p.add_argument("--times", type=int, metavar="K",
                       help="a run's times: real parameter K of each dump (default: the step number in "
                            "each dump's name, 100 for Ex_100.bin)")
        p.add_argument("--copy", action="store_true",
                       help="store a phase-space dump's particles in the view: viewers then read them as "
                            "fast as a load, where in place they take a read per particle")
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        _labels.add_option(p)
        p.set_defaults(absolute=True)

    def run(self, args):
        for path in args.paths:
            if is_url(path):
                raise CliError(f"{path}: a view points at the dump's own bytes on a disk its reader can "
                               f"open; copy the dump there first")
        run = len(args.paths) > 1
        if args.output is None and run:
            raise CliError("a run needs its XDMF file: give -o OUT.xmf")
        out = args.output if args.output is not None else xmf_name(args.paths[0])
        from .. import views

        if not out.lower().endswith(views.H5_SUFFIXES + views.XMF_SUFFIXES):
            raise CliError(f"{out}: name the view *.h5 or *.nc, or *.xmf for viewers (which pick their "
                           f"reader by the name)")
        if os.path.isdir(out):
            raise CliError(f"{out}: is a directory; name the view inside it")
        for path in args.paths:
            check_place(out, path)
        headers = [read_header(path, args.n_dimensions) for path in args.paths]
        for header in headers:
            require_whole(header)
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
            return self._per_block(headers[0], out, args.absolute, labels)
        try:
            with writing(out, "the view"):
                written = views.virtualize(headers if run else headers[0], out, relative=not args.absolute,
                                           times=args.times, copy=args.copy, labels=labels)
        except (views.ViewError, views.OutputRefused) as e:
            raise CliError(str(e)) from e
        what = plural(written.blocks, "block")
        if run:
            print(f"wrote {out}: {written.dumps} time steps over {plural(written.dumps, 'view')}, "
                  f"{what} in all read in place")
        else:
            print(f"wrote {', '.join(written.files)}: {what} of {headers[0].path} read in place")
        return EXIT_OK

    @staticmethod
    def _per_block(header, out, absolute, labels):
        """Without h5py: an XDMF file of one grid per block over the dump."""
        from .. import xdmf

        try:
            with writing(out, "the XDMF file"):
                if isinstance(header, FieldHeader):
                    grids = xdmf.write_field_xdmf(header, out, absolute=absolute)
                else:
                    grids = xdmf.write_phase_space_xdmf(header, out, absolute=absolute, labels=labels)
        except (xdmf.XdmfError, xdmf.OutputRefused) as e:
            raise CliError(str(e)) from e
        print(f"wrote {out}: {plural(grids, 'grid')} reading {header.path} in place "
              f"(one grid per block: h5py, missing, makes them one)")
        return EXIT_OK
