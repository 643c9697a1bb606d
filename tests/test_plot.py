"""The figure of a result, drawn on a caller's Axes: its artists and limits, not its pixels."""

import numpy as np
import pytest

import velmor
from velmor.demo import synthesise

pytest.importorskip("matplotlib")
from matplotlib.figure import Figure  # noqa: E402

from velmor.plot import save_figure  # noqa: E402


@pytest.fixture(scope="module")
def piece():
    signal, segments = synthesise()
    return velmor.analyze(signal, 22050, return_ssm=True), segments


def vlines(ax):
    return sorted(round(float(line.get_xdata()[0]), 6) for line in ax.get_lines()
                  if len(line.get_xdata()) == 2 and line.get_xdata()[0] == line.get_xdata()[1])


def test_drawn_on_a_given_axes(piece):
    s, segments = piece
    fig = Figure()
    ax = fig.add_subplot()
    axes = s.plot(ax, reference=segments)
    assert axes["ssm"] is ax and axes["colorbar"] is not None
    assert all(a.figure is fig for a in axes.values() if a is not None)
    assert ax.get_xlim() == pytest.approx((0.0, s.duration)) and ax.get_ylim() == pytest.approx((s.duration, 0.0))
    (image,) = ax.get_images()
    left, right, bottom, top = image.get_extent()
    half = 0.5 / s.rate
    assert (left, top) == pytest.approx((s.frame_times[0] - half,) * 2)
    assert (right, bottom) == pytest.approx((s.frame_times[-1] + half,) * 2)
    expected = sorted(round(float(b), 6) for b in [*s.boundaries, *(start for start, _, _ in segments[1:])])
    for name in ("ssm", "labels", "reference labels", "novelty"):  # every panel shows both sets alike
        assert vlines(axes[name]) == expected, name
    assert [t.get_text() for t in axes["labels"].texts] == list(s.labels)
    assert [t.get_text() for t in axes["reference labels"].texts] == [lab for *_, lab in segments]
    curve = axes["novelty"].get_lines()[0]
    assert np.array_equal(curve.get_xdata(), s.times)
    lo, hi = axes["novelty"].get_ylim()
    assert hi < 1.2 * s.novelty.max() + 1e-9 and hi >= s.novelty[(s.times > 4) & (s.times < s.duration - 4)].max()
    assert "structure" in ax.get_title()


def test_without_an_ssm_or_a_reference():
    s = velmor.analyze(synthesise()[0], 22050)
    fig = Figure()
    axes = s.plot(fig.add_subplot(), title="no matrix")
    assert axes["ssm"] is None and axes["colorbar"] is None and axes["reference labels"] is None
    assert axes["labels"].get_title() == "no matrix"
    assert vlines(axes["novelty"]) == sorted(round(float(b), 6) for b in s.boundaries)


@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".pdf", b"%PDF"), (".svg", b"<?xml")])
def test_written_by_suffix(tmp_path, piece, suffix, magic):
    path = tmp_path / "sub" / f"figure{suffix}"
    save_figure(piece[0], path, reference=piece[1], dpi=50)
    assert path.read_bytes().startswith(magic)


@pytest.mark.parametrize("path, dpi", [("figure.gif", 100), ("figure", 100), ("figure.png", 0)])
def test_bad_figure_requests(tmp_path, piece, path, dpi):
    with pytest.raises(ValueError):
        save_figure(piece[0], tmp_path / path, dpi=dpi)
    assert not list(tmp_path.iterdir())


def test_a_new_figure_when_no_axes_is_given(piece):
    plt = pytest.importorskip("matplotlib.pyplot")
    axes = piece[0].plot()
    try:
        assert axes["ssm"].figure is axes["novelty"].figure
        assert axes["novelty"].get_xlim() == pytest.approx((0.0, piece[0].duration))
    finally:
        plt.close(axes["ssm"].figure)
