"""Colour handling of the quick-look plots, read from the figure objects."""
import numpy as np
import pytest

pytest.importorskip("matplotlib", reason="matplotlib (the 'plot' extra) not installed")

from matplotlib.colors import to_rgba  # noqa: E402
from matplotlib.text import Text  # noqa: E402

from dorvo.quickio import plot  # noqa: E402
from helpers import grid_values  # noqa: E402


def meshes(fig):
    """The meshes of the three panels (the colour bar comes after them)."""
    return [ax.collections[0] for ax in fig.axes[:3]]


@pytest.mark.parametrize("offset, cmap, limits", [
    # The three mid-plane slices of the sample field i + 10j + 100k hold
    # 200..253, 30..433 and 2..452. Shifted to span zero, the scale is
    # centred on it; all positive, it runs over the data of all three.
    (-200.0, plot.DIVERGING, (-252.0, 252.0)),
    (1.0, plot.SEQUENTIAL, (3.0, 453.0)),
])
def test_field_panels_share_one_scale(offset, cmap, limits):
    field, x, y, z = grid_values(4, 6, 5)
    fig = plot.field_figure(field + offset, x, y, z)
    panels = meshes(fig)
    # One colour scale: the three slices cover different ranges, yet have
    # the same limits and map, and one colour bar.
    assert {(m.norm.vmin, m.norm.vmax) for m in panels} == {limits}
    assert {m.cmap.name for m in panels} == {cmap}
    assert len({id(m.norm) for m in panels}) == 1
    assert sum(1 for ax in fig.axes if ax.get_label() == "<colorbar>") == 1


def test_field_nan_and_inf_have_colours_of_their_own():
    field, x, y, z = grid_values(4, 6, 5)
    field = field - 200
    k = 2
    field[0, 0, k], field[1, 0, k], field[2, 0, k] = np.nan, np.inf, -np.inf
    field[3, 0, k] = 0.0
    fig = plot.field_figure(field, x, y, z)
    xy = meshes(fig)[0]  # the x-y plane at the middle z (k = 2)
    # pcolormesh rows run along y: the first row holds x = 0..3 at y = 0.
    colours = xy.to_rgba(xy.get_array())[0, :4]
    nan, posinf, neginf, zero = (tuple(c) for c in colours)
    assert nan == to_rgba(plot.NAN_COLOUR)
    assert posinf == to_rgba(plot.POSINF_COLOUR)
    assert neginf == to_rgba(plot.NEGINF_COLOUR)
    assert len({nan, posinf, neginf, zero}) == 4
    legend = [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    assert legend == ["NaN (1)", "+Inf (1)", "-Inf (1)"]
    assert fig.axes[1].get_legend() is None  # the x-z plane at y = 2 holds none


def test_field_axis_with_nan_is_drawn_by_index():
    field, x, y, z = grid_values(4, 6, 5)
    x[1] = np.nan
    fig = plot.field_figure(field, x, y, z)
    assert [ax.get_xlabel() for ax in fig.axes[:3]] == ["x index (x axis not finite)"] * 2 + ["y"]
    assert [ax.get_ylabel() for ax in fig.axes[:3]] == ["y", "z", "z"]


def note_of(fig):
    texts = [t.get_text() for ax in fig.axes for t in ax.findobj(Text) if "not shown" in t.get_text()]
    return texts[0] if texts else None


def test_phase_space_leaves_out_and_counts_particles_that_are_not_finite():
    rng = np.random.default_rng(1)
    ps = rng.normal(size=(7, 500)).astype(np.float32)
    ps[0, :3] = np.nan
    ps[3, 3:5] = np.inf
    ps[3, 5] = -np.inf
    ps[5, 6:9] = np.nan  # a component that is not drawn: those particles are shown
    fig = plot.phase_space_figure(ps, 0, 3, names=("x", "px"))
    main = fig.axes[0]
    assert main.collections[0].get_array().sum() == 494
    assert note_of(fig) == "not shown: 6 particles\n3 with NaN, 3 with +/-Inf\nin component 0 or 3"
    assert (main.get_xlabel(), main.get_ylabel()) == ("x (component 0)", "px (component 3)")
    assert fig._suptitle.get_text() == "494 particles: px against x"
    assert note_of(plot.phase_space_figure(ps, 1, 2)) is None


def test_phase_space_with_no_finite_particle_draws_an_empty_figure(tmp_path):
    ps = np.full((3, 4), np.nan, np.float32)
    plot.plot_phase_space(ps, 0, 1, tmp_path / "p.png")
    assert (tmp_path / "p.png").stat().st_size > 0
    assert note_of(plot.phase_space_figure(ps, 0, 1)).startswith("not shown: 4 particles\n4 with NaN")
