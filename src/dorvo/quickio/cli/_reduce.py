"""Histograms and per-component statistics of one opened phase-space dump,
for `hist`, `plot` and `info --stats`.

Every dump is streamed through the opened Dump, in memory that does not
grow with it: a local file by its exact name, a URL or a file object by
ranges, a few in flight at a time. A histogram is a count pass (what it
will count, and its ranges) and a data pass.
"""

from __future__ import annotations

from .._dump.dump import Dump
from .._dump.reductions import Census
from ._dump import loading, progress_bar

__all__ = ["Census", "Particles"]


class Particles:
    """The reductions of one opened, well-formed phase-space dump."""

    def __init__(self, dump: Dump):
        self.dump = dump

    def _streaming(self, result: str):
        # The header said the dump is whole: what a pass raises is about the
        # file as it is now, or about the result asked for (its bins).
        return loading(self.dump, what=f"compute {result} of", refusal=f"cannot compute {result}")

    def census(self, components, where) -> Census:
        """The Census of a histogram of `components` after `where`: the
        particles selected, those finite in every component, and the ranges
        a histogram takes when none is given."""
        with self._streaming("the selection"):
            return self.dump.census(components, where, progress=progress_bar("selection"))

    def histogram(self, components, bins, ranges, where, weights=None):
        """(counts, edges...) as particles.histogram() gives them, over
        `ranges` (from the census when the user gave none)."""
        with self._streaming("the histogram"):
            return self.dump.histogram(
                components,
                bins=bins,
                range=ranges,
                weights=weights,
                where=where,
                progress=progress_bar("histogram"),
            )

    def moments(self) -> dict:
        """min, max, mean, std and NaN count of each component, as
        particles.moments() gives them."""
        with self._streaming("the statistics"):
            return self.dump.moments(progress=progress_bar("statistics"))
