"""The --labels option: names of the components of a phase-space dump."""

from __future__ import annotations

from ..components import parse_labels
from ._base import CliError

HELP = (
    "names of the phase-space components, comma-separated (e.g. x,y,z,px,py,pz,w); default: x, px, w "
    "for n = 1; x, y, px, py, w for n = 2; x, y, z, px, py, pz, w for n = 3"
)


def add_option(p) -> None:
    p.add_argument("--labels", metavar="NAMES", help=HELP)


def parse(text, n_dimensions) -> list:
    try:
        return parse_labels(text, n_dimensions)
    except ValueError as e:
        raise CliError(str(e)) from None
