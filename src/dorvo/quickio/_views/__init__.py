"""The files through which other tools read a dump in place: the HDF5 view
of a dump or a run, XDMF descriptions, openPMD series, and what a view
records of the dumps it reads."""


class ViewError(ValueError):
    """A dump, or a set of dumps, that cannot be viewed as asked."""
