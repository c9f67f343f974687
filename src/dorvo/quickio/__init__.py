"""Loaders of field and phase-space dumps into NumPy float32 arrays.

``load`` takes either kind of dump by its file name::

    from dorvo.quickio import load
    f, x, y, z = load("run/Ex_out.bin")                  # field dump
    ps = load("run/Phasespace.bin", n_dimensions=3)      # phase-space dump

``open`` opens a dump once, for many reads of it::

    from dorvo.quickio import open as open_dump
    with open_dump("run/Ex_out.bin") as d:
        plane = d.read(z=10)                             # only the blocks that hold it

``virtualize`` writes an HDF5/NetCDF-4 view that reads a dump in place::

    from dorvo.quickio import virtualize
    virtualize("run/Ex_out.bin", "Ex_out.nc")            # needs h5py

The extension modules behind it are imported on demand::

    from dorvo.quickio import meshdump, beamdump

``write_field`` and ``write_phase_space`` write dumps of either kind.

Open local dumps keep at most ``max_open_files()`` descriptors between
reads (128 unless set); a dump whose identity nothing can pin (a file object
without a file descriptor, a server without validators) says so with an
``UnpinnedWarning``.
"""

from ._dump.dump import Dump, UnpinnedWarning, max_open_files, open
from ._dump.loading import load
from .writers import write_field, write_phase_space

__version__ = "0.1.0"
__all__ = [
    "Dump",
    "UnpinnedWarning",
    "__version__",
    "load",
    "max_open_files",
    "open",
    "virtualize",
    "write_field",
    "write_phase_space",
]


def virtualize(dump_or_Dump, out, **kwargs):
    """Writes a view of a dump, or an XDMF file over views of a run; see
    dorvo.quickio.views.virtualize."""
    from .views import virtualize as write

    return write(dump_or_Dump, out, **kwargs)
