"""Loaders of field and phase-space dumps into NumPy float32 arrays.

The extension modules are imported on demand::

    from dorvo.quickio import meshdump, beamdump
"""

__version__ = "0.1.0"
__all__ = ["__version__"]
