"""`quickio virtualize`: an XDMF file through which VTK-based viewers read
a dump in place, with no values copied."""
from __future__ import annotations

import os

from ..header import FieldHeader
from ._base import EXIT_OK, SUFFIX, CliError, Command
from ._dump import DIMS_HELP, PATH_HELP, is_url, read_header, require_whole
from ._outputs import check_place, writing
from ._summary import plural


def xmf_name(path):
    return (path[:-len(SUFFIX)] if path.endswith(SUFFIX) else path) + ".xmf"


class Virtualize(Command):
    name = "virtualize"
    help = ("write an XDMF file that lets ParaView, VisIt and other VTK-based viewers open a dump in "
            "place: one rectilinear grid per block of a field dump, one point cloud per block of a "
            "phase-space dump; no values are copied")

    def add_arguments(self, p):
        p.add_argument("path", metavar="PATH", help=PATH_HELP)
        p.add_argument("-o", "--output", metavar="OUT.xmf",
                       help="the XDMF file to write (default: PATH with .xmf for its .bin); its folder must exist")
        paths = p.add_mutually_exclusive_group()
        paths.add_argument("--relative", dest="absolute", action="store_false",
                           help="name the dump by its path relative to the XDMF file's folder, so that both "
                                "can move together (the default)")
        paths.add_argument("--absolute", dest="absolute", action="store_true",
                           help="name the dump by its absolute path, so that the XDMF file can move alone")
        p.add_argument("--n-dimensions", type=int, metavar="N", help=DIMS_HELP)
        p.set_defaults(absolute=False)

    def run(self, args):
        if is_url(args.path):
            raise CliError(f"{args.path}: an XDMF file points at the dump's own bytes on a disk its reader "
                           f"can open; copy the dump there first")
        out = args.output if args.output is not None else xmf_name(args.path)
        if not out.lower().endswith((".xmf", ".xdmf")):
            raise CliError(f"{out}: viewers pick their XDMF reader by the name; name it *.xmf")
        if os.path.isdir(out):
            raise CliError(f"{out}: is a directory; name the XDMF file inside it")
        check_place(out, args.path)
        header = read_header(args.path, args.n_dimensions)
        require_whole(header)
        from .. import xdmf

        try:
            xdmf.check_output(header.path, out)
        except xdmf.OutputRefused as e:
            raise CliError(str(e)) from e

        write = xdmf.write_field_xdmf if isinstance(header, FieldHeader) else xdmf.write_phase_space_xdmf
        try:
            with writing(out, "the XDMF file"):
                grids = write(header, out, absolute=args.absolute)
        except ValueError as e:
            # The writer's refusals of the dump (XdmfError) and of the
            # output (OutputRefused); any other ValueError is ours.
            if not isinstance(e, (xdmf.XdmfError, xdmf.OutputRefused)):
                raise
            raise CliError(str(e)) from e
        print(f"wrote {out}: {plural(grids, 'grid')} reading {header.path} in place")
        return EXIT_OK
