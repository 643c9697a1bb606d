# matplotlib's stubs leave the **kwargs of its drawing methods untyped, which strict mode reports
# at every call: that one rule is off here.
# pyright: reportUnknownMemberType=false
"""Figures of a result: the SSM, label bars and the novelty curve on one time axis in seconds.

    plot_structure(result, ax=None, reference=None)   -- draw on a caller's Axes (or a new figure)
    save_figure(result, path, reference=None, dpi=100) -- write PNG, PDF or SVG, by the path's suffix

Needs the ``plot`` extra (matplotlib). Every panel shares the time axis of the SSM: its pixels are
centred on their frames, the novelty value of a change lies where the change lies, detected
boundaries are solid lines and reference boundaries dashed ones, drawn alike on every panel.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Protocol, TypeVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .annotations import SegmentedResult

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from .annotations import AnnotationLike


class Drawable(SegmentedResult, Protocol):
    """What a figure draws of a result (a :class:`velmor.result.Structure`)."""

    @property
    def labels(self) -> Sequence[str]:
        """Label of every segment."""
        ...

    @property
    def intervals(self) -> NDArray[np.float64]:
        """Start and end of every segment in seconds."""
        ...

    @property
    def novelty(self) -> NDArray[np.float64]:
        """The novelty curve."""
        ...

    @property
    def times(self) -> NDArray[np.float64]:
        """Time in seconds of a change found at each novelty frame."""
        ...

    @property
    def frame_times(self) -> NDArray[np.float64]:
        """Centre of each analysis frame in seconds."""
        ...

    @property
    def rate(self) -> float:
        """The analysis frames per second."""
        ...

    @property
    def peak_frames(self) -> NDArray[np.intp]:
        """The frames of all novelty peaks."""
        ...

    @property
    def ssm(self) -> NDArray[Any] | None:
        """The self-similarity matrix, if kept."""
        ...

_PathT = TypeVar("_PathT", str, "os.PathLike[str]")

FORMATS = ("png", "pdf", "svg")
"""File formats :func:`save_figure` writes, chosen by the path's suffix."""

DETECTED: dict[str, Any] = {"color": "#17becf", "lw": 1.3, "ls": "-"}
REFERENCE: dict[str, Any] = {"color": "#2ca02c", "lw": 1.3, "ls": (0, (4, 3))}
_PALETTE = ("#4c72b0", "#dd8452", "#55a868", "#c44e52", "#8172b3", "#937860", "#da8bc3", "#8c8c8c",
            "#ccb974", "#64b5cd")


def _need_matplotlib() -> None:
    try:
        import matplotlib
        del matplotlib
    except ImportError:
        raise ImportError("plotting needs the 'plot' extra: pip install 'velmor[plot]'") from None


def _interior_limits(result: Drawable) -> tuple[float, float]:
    """y-limits of the novelty panel from the curve away from its ends, where the kernel leaves the
    matrix and the values mean little."""
    x = np.asarray(result.novelty, dtype=float)
    if x.size == 0:
        return 0.0, 1.0
    margin = result.parameters.get("margin") if hasattr(result.parameters, "get") else None
    if not isinstance(margin, (int, float)) or margin <= 0:
        margin = 0.05 * result.duration
    t = np.asarray(result.times)
    inner = x[(t >= margin) & (t <= result.duration - margin) & np.isfinite(x)]
    if inner.size == 0:
        inner = x[np.isfinite(x)]
    lo, hi = (float(inner.min()), float(inner.max())) if inner.size else (0.0, 1.0)
    lo = min(lo, 0.0)
    span = hi - lo if hi > lo else 1.0
    return lo, hi + 0.12 * span


def _label_bar(ax: Axes, intervals: ArrayLike, labels: Iterable[str], name: str) -> None:
    order: dict[str, int] = {}
    for (start, end), label in zip(np.asarray(intervals, dtype=float).tolist(), labels):
        colour = _PALETTE[order.setdefault(label, len(order)) % len(_PALETTE)]
        ax.axvspan(start, end, color=colour, alpha=0.9, lw=0)
        ax.text((start + end) / 2, 0.5, label, ha="center", va="center", fontsize="small", color="white",
                fontweight="bold", clip_on=True)
    ax.set_yticks([0.5], [name])
    ax.set_ylim(0, 1)
    ax.tick_params(axis="y", length=0)
    ax.tick_params(axis="x", labelbottom=False)


def plot_structure(result: Drawable, ax: Axes | None = None, *, reference: AnnotationLike | None = None,
                   title: str | None = None, colorbar: bool = True) -> dict[str, Axes | None]:
    """Draw a result on ``ax``: its SSM (when kept) with a colorbar, label bars and the novelty curve.

    The label bars and the novelty panel are appended below ``ax`` (and the colorbar beside it), in
    the space ``ax`` had, so a caller's grid of figures keeps its layout.

    Parameters
    ----------
    result : velmor.result.Structure
        A result of :func:`velmor.analyze`.
    ax : matplotlib.axes.Axes or None
        Where to draw; None makes a new figure (through pyplot).
    reference : optional
        Reference boundaries or segments, anything :func:`velmor.annotations.as_annotation` reads;
        with labels it gets a label bar of its own.
    title : str or None
        Default: the file's name and the method.
    colorbar : bool
        Draw a colorbar beside the SSM.

    Returns
    -------
    axes : dict
        ``"ssm"`` (or None), ``"labels"``, ``"reference labels"`` (or None), ``"novelty"``,
        ``"colorbar"`` (or None).
    """
    _need_matplotlib()
    import importlib

    from .annotations import as_annotation

    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(7, 8.5))
    ref = None if reference is None else as_annotation(reference)
    duration = float(result.duration)
    axes_grid1: Any = importlib.import_module("mpl_toolkits.axes_grid1")  # untyped
    divider: Any = axes_grid1.make_axes_locatable(ax)
    axes: dict[str, Axes | None] = {"ssm": None, "colorbar": None, "reference labels": None}
    label_ax: Axes
    reference_ax: Axes | None = None
    if result.ssm is not None:
        axes["ssm"] = ssm_ax = ax
        n = result.ssm.shape[0]
        half = 0.5 / result.rate
        lo = float(result.frame_times[0]) - half if n else 0.0
        hi = float(result.frame_times[-1]) + half if n else 0.0
        image = ssm_ax.imshow(result.ssm, cmap="magma", origin="upper", extent=(lo, hi, hi, lo),
                              aspect="auto", interpolation="nearest")
        ssm_ax.set_ylim(duration, 0.0)
        ssm_ax.set_ylabel("time (s)")
        ssm_ax.tick_params(axis="x", labelbottom=False)
        if colorbar:
            cax: Axes = divider.append_axes("right", size="3%", pad=0.08)
            axes["colorbar"] = cax
            ax.figure.colorbar(image, cax=cax, label="similarity")
        label_ax = divider.append_axes("bottom", size="5%", pad=0.08, sharex=ax)
    else:
        label_ax = ax
    axes["labels"] = label_ax
    if ref is not None and ref.labels is not None:
        reference_ax = divider.append_axes("bottom", size="5%", pad=0.04, sharex=ax)
        axes["reference labels"] = reference_ax
    nov: Axes = divider.append_axes("bottom", size="28%", pad=0.08, sharex=ax) \
        if (axes["ssm"] is not None or reference_ax is not None) \
        else divider.append_axes("bottom", size="500%", pad=0.08, sharex=ax)
    axes["novelty"] = nov

    _label_bar(label_ax, result.intervals, result.labels, "velmor")
    if reference_ax is not None and ref is not None and ref.intervals is not None and ref.labels is not None:
        _label_bar(reference_ax, ref.intervals, ref.labels, "reference")

    t = np.asarray(result.times)
    nov.plot(t, result.novelty, color="0.2", lw=1.1, label="novelty")
    peaks = np.asarray(result.peak_frames, dtype=np.intp)
    peaks = peaks[(peaks >= 0) & (peaks < t.size)]
    if peaks.size:
        nov.plot(t[peaks], np.asarray(result.novelty)[peaks], "o", mfc="none", mec="black", ms=6, mew=1.2,
                 label="novelty peaks")
    nov.set_ylim(*_interior_limits(result))
    nov.set_ylabel("novelty")
    nov.set_xlabel("time (s)")
    nov.set_xlim(0.0, duration)

    panels = [a for a in (axes["ssm"], label_ax, reference_ax, nov) if a is not None]
    for panel in panels:
        for i, b in enumerate(result.boundaries):
            panel.axvline(b, **DETECTED, label="detected" if (panel is nov and i == 0) else None)
        for i, b in enumerate(ref.boundaries if ref is not None else ()):
            panel.axvline(b, **REFERENCE, label="reference" if (panel is nov and i == 0) else None)
    nov.legend(loc="upper center", bbox_to_anchor=(0.5, -0.32), fontsize="small", ncols=4, frameon=False)
    if title is None:
        name = os.path.basename(result.source) if result.source else "velmor"
        title = f"{name}: method {result.method}, labels {' '.join(result.labels)}"
    ax.set_title(title)
    return axes


def save_figure(result: Drawable, path: _PathT, *, reference: AnnotationLike | None = None, title: str | None = None,
                dpi: float = 100, figsize: tuple[float, float] = (7.5, 9.0)) -> _PathT:
    """Write the figure of :func:`plot_structure` to ``path`` (PNG, PDF or SVG by its suffix).

    Draws on a figure of its own (no pyplot state); makes the path's folder if needed. The file
    is written whole or not at all: an earlier figure at ``path`` stays until the new one is complete.

    Parameters
    ----------
    result : velmor.result.Structure
        A result of :func:`velmor.analyze`.
    path : str or os.PathLike
        The file written; its suffix is one of :data:`FORMATS`.
    reference : optional
        Reference boundaries or segments, as for :func:`plot_structure`.
    title : str or None
        Default: the file's name and the method.
    dpi : float
        Dots per inch of a PNG.
    figsize : tuple of float
        Width and height of the figure in inches.

    Returns
    -------
    str or os.PathLike
        ``path``, as given.
    """
    _need_matplotlib()
    from matplotlib.figure import Figure

    where: str = os.fspath(path)
    fmt = os.path.splitext(where)[1].lower().lstrip(".")
    if fmt not in FORMATS:
        raise ValueError(f"a figure is written as {', '.join(FORMATS)} by the file's suffix, got {os.fspath(path)!r}")
    if not (np.isfinite(dpi) and dpi > 0):
        raise ValueError(f"dpi must be positive, got {dpi!r}")
    fig = Figure(figsize=figsize)
    ax = fig.add_subplot()
    plot_structure(result, ax, reference=reference, title=title)
    import io

    from ._files import write_whole

    image = io.BytesIO()
    fig.savefig(image, format=fmt, dpi=dpi, bbox_inches="tight")
    folder = os.path.dirname(os.path.abspath(where))
    os.makedirs(folder, exist_ok=True)
    write_whole(path, image.getvalue())
    return path
