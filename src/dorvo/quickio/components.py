"""Names of the components of phase-space particles.

A phase-space dump does not name its components. With n dimensions a
particle has 2n+1 of them, by default named as the simulation stores them:
the n positions, the n momenta, then the weight:

    n = 1:  x, px, w
    n = 2:  x, y, px, py, w
    n = 3:  x, y, z, px, py, pz, w
    other:  q1 ... qn, p1 ... pn, w   (n = 0: w)

Every tool that shows components (``quickio info``, ``hist``, ``plot``,
the xarray "component" coordinate, the views) takes its names from here,
or from the user's ``--labels`` or ``labels=``. Every entry point that
takes a component (``particles``, ``Dump.read``, ``quickio``'s
``--components``, ``--weights`` and ``--where``) takes its index or its
name, through ``component_index``.
"""

from __future__ import annotations

import operator

from ._dump.headers import dimensions

__all__ = ["check_labels", "component_index", "default_labels", "parse_labels"]


def default_labels(n_dimensions: int) -> list:
    """The 2n+1 default component names for n = `n_dimensions`."""
    n = dimensions(n_dimensions)
    positions = list("xyz")[:n] if n <= 3 else [f"q{i + 1}" for i in range(n)]
    momenta = [f"p{q}" for q in positions] if n <= 3 else [f"p{i + 1}" for i in range(n)]
    return [*positions, *momenta, "w"]


def parse_labels(text, n_dimensions: int) -> list:
    """The 2n+1 names of a comma-separated list ("x,y,z,px,py,pz,w"), or
    the defaults when `text` is None. Raises ValueError for a list of
    another length or with an empty or repeated name."""
    if text is None:
        return default_labels(n_dimensions)
    return _checked([t.strip() for t in text.split(",")], n_dimensions, "--labels")


def check_labels(labels, n_dimensions: int) -> list:
    """The 2n+1 names of `labels`, a list or tuple of str, or the defaults
    when it is None: what a ``labels=`` keyword takes. Raises TypeError for
    anything else, ValueError for a list of another length or with an
    empty or repeated name."""
    if labels is None:
        return default_labels(n_dimensions)
    if not isinstance(labels, (list, tuple)) or not all(isinstance(name, str) for name in labels):
        raise TypeError(f"labels= takes a list or tuple of str, one name per component, not {labels!r}")
    return _checked([str(name) for name in labels], n_dimensions, "labels=")


def _checked(names: list, n_dimensions: int, what: str) -> list:
    count = 2 * dimensions(n_dimensions) + 1
    if len(names) != count:
        raise ValueError(f"{what} names {len(names)} components; a dump with n = {n_dimensions} has {count}")
    if not all(name.strip() for name in names):
        raise ValueError(f"{what}: a component name is empty")
    if len(set(names)) != len(names):
        raise ValueError(f"{what}: a component name is repeated")
    return names


def component_index(key, n_dimensions: int, labels=None, what: str = "component") -> int:
    """The index of the component `key` names: an int (0 to 2n), or one of
    the 2n+1 names, `labels` or by default those of default_labels(n).
    Raises ValueError for an index out of range or an unknown name (listing
    the names there are), TypeError for anything else; `what` says which
    argument the key came from."""
    n = dimensions(n_dimensions)
    if isinstance(key, str):
        names = default_labels(n) if labels is None else list(labels)
        if key in names:
            return names.index(key)
        raise ValueError(f"{what}: no component is named {key!r}; a dump with n = {n} has {', '.join(names)}")
    try:
        k = operator.index(key)
    except TypeError:
        raise TypeError(f"{what}: a component is an int or a name, not {type(key).__name__}") from None
    if not 0 <= k <= 2 * n:
        raise ValueError(f"{what}: component {k} out of range: a dump with n = {n} has components 0 to {2 * n}")
    return k
