"""Loaders of field and phase-space dumps into NumPy float32 arrays.

``load`` takes either kind of dump by its file name::

    from dorvo.quickio import load
    f, x, y, z = load("run/Ex_out.bin")                  # field dump
    ps = load("run/Phasespace.bin", n_dimensions=3)      # phase-space dump

``open`` opens a dump once, for many reads of it::

    from dorvo.quickio import open as open_dump
    with open_dump("run/Ex_out.bin") as d:
        plane = d.read(z=10)                             # only the blocks that hold it

The extension modules behind it are imported on demand::

    from dorvo.quickio import meshdump, beamdump
"""

from ._dump import Dump, open
from ._loading import load

__version__ = "0.1.0"
__all__ = ["Dump", "__version__", "load", "open"]
