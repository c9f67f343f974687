"""The `quickio` command: inspect, plot, convert and demonstrate dumps.

    quickio info PATH [--n-dimensions N] [--json] [--blocks] [--stats]
    quickio plot PATH -o OUT.png [--n-dimensions N] [--components I J]
    quickio virtualize PATH... [-o OUT.xmf|OUT.h5|OUT.nc] [--absolute | --relative] [--times K] [--copy]
                 [--n-dimensions N] [--labels NAMES]
    quickio convert PATH OUT.nc|OUT.zarr [--n-dimensions N] [--overwrite]
    quickio hist PATH --n-dimensions N --components I [J] [--bins B [B]] [--range LO HI ...]
                 [--where K LO HI ...] [--log] [-o OUT.png] [--json]
    quickio demo [--out DIR]

One module per command (info, plot, virtualize, convert, hist, demo), each
a Command of _base, which also holds the one error boundary that they all
run inside; _dump reads dumps, _outputs checks what commands write,
_summary is what info shows and _reduce the streamed reductions.

Exit status: 0 on success; 1 when `info` printed its summary but found the
dump cut off or ill-formed, or a view's dump changed; 2 for an ordinary
error (a missing file, a file that is no dump, a URL that cannot be read,
a missing optional dependency, an output that cannot be written, a full
disk, bad arguments), reported as one line on stderr (--debug adds its
traceback); 130 when interrupted (Ctrl-C), with the one line "quickio:
interrupted"; 141 when the reader of the output went away. Anything else
is a fault of this program and keeps its traceback.
"""

from __future__ import annotations

from .. import __version__
from ._base import EXIT_HELP, PROG, CliError, Parser, add_debug_option, run
from .convert import Convert
from .demo import Demo
from .hist import Hist
from .info import Info
from .plot import Plot
from .virtualize import Virtualize

__all__ = ["CliError", "build_parser", "main"]

COMMANDS = (Info(), Plot(), Virtualize(), Convert(), Hist(), Demo())


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG, description="Inspect, plot, convert and demonstrate field and phase-space dumps.", epilog=EXIT_HELP
    )
    parser.add_argument(
        "--version", action="version", version=f"%(prog)s {__version__}", help="print the version and exit"
    )
    add_debug_option(parser, default=False)
    sub = parser.add_subparsers(
        dest="command",
        required=True,
        metavar="COMMAND",
        parser_class=Parser,
        help="what to do; 'quickio COMMAND --help' tells more",
    )
    for command in COMMANDS:
        command.add_to(sub)
    return parser


def main(argv=None) -> int:
    """Runs the command line; returns the exit status."""
    return run(build_parser(), argv)
