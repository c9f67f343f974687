"""Loaders of field and phase-space dumps into NumPy float32 arrays.

``load`` takes either kind of dump by its file name::

    from dorvo.quickio import load
    f, x, y, z = load("run/Ex_out.bin")                  # field dump
    ps = load("run/Phasespace.bin", n_dimensions=3)      # phase-space dump

The extension modules behind it are imported on demand::

    from dorvo.quickio import meshdump, beamdump

``write_field`` and ``write_phase_space`` write dumps of either kind.
"""

from ._loading import load
from .writers import write_field, write_phase_space

__version__ = "0.1.0"
__all__ = ["__version__", "load", "write_field", "write_phase_space"]
