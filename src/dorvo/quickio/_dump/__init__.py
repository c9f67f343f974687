"""The dump part: one opened dump (``dump``), its headers, its one read
planner, its streamed reductions and ``load``."""
