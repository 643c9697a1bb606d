"""The result of an analysis: :class:`Structure`, a frozen record of plain arrays in seconds.

    Structure               -- boundaries, labels, curves and settings of one piece
    structure_of(seg, ...)  -- the Structure of a segmentation and its labels
    FrozenDict              -- the read-only dict of its settings

Its methods only present it: ``to_lab``, ``to_dict`` and ``to_json`` here, ``to_jams``
(:func:`velmor.annotations.to_jams`) and ``plot`` (:func:`velmor.plot.plot_structure`).
"""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NoReturn, cast

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from .analysis.methods import Segmentation
    from .annotations import AnnotationLike
    from .features import Float64, Floats


class FrozenDict(dict[str, Any]):
    """A dict that refuses changes (and still pickles)."""

    def _read_only(self) -> NoReturn:
        raise TypeError("the parameters of a result are read-only; copy them with dict(...)")

    def __setitem__(self, *args: object, **kwargs: object) -> NoReturn:
        self._read_only()

    def __delitem__(self, *args: object, **kwargs: object) -> NoReturn:
        self._read_only()

    # |= (dict's own does not go through update). mypy asks an in-place | to fit dict's generic |,
    # which a method that never returns cannot.
    def __ior__(self, *args: object, **kwargs: object) -> NoReturn:  # type: ignore[misc]
        self._read_only()

    def clear(self, *args: object, **kwargs: object) -> NoReturn:
        self._read_only()

    def pop(self, *args: object, **kwargs: object) -> NoReturn:
        self._read_only()

    def popitem(self, *args: object, **kwargs: object) -> NoReturn:
        self._read_only()

    def setdefault(self, *args: object, **kwargs: object) -> NoReturn:
        self._read_only()

    def update(self, *args: object, **kwargs: object) -> NoReturn:
        self._read_only()

    def __reduce__(self) -> tuple[type[FrozenDict], tuple[dict[str, Any]]]:
        return type(self), (dict(self),)


def _frozen_array(values: ArrayLike, dtype: DTypeLike | None = None) -> NDArray[Any]:
    a = np.array(values, dtype=dtype)
    a.flags.writeable = False
    return a


def _plain(value: object) -> object:
    """A JSON-ready copy of a parameter value."""
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in cast("dict[object, object]", value).items()}
    if isinstance(value, (tuple, list)):
        return [_plain(v) for v in cast("tuple[object, ...] | list[object]", value)]
    if isinstance(value, np.generic):
        return cast(object, value.item())
    return value


@dataclasses.dataclass(frozen=True, eq=False)
class Structure:
    """The sections of one piece: boundaries, labels and the curves behind them.

    Attributes
    ----------
    boundaries : np.ndarray [shape=(k,)]
        Interior boundaries in seconds, increasing (neither 0 nor the end of the piece).
    labels : tuple of str [length k + 1]
        Label of every segment (``A, B, C, ...`` in order of first appearance; equal labels
        are repetitions of one section).
    duration : float
        Length of the piece in seconds.
    novelty : np.ndarray [shape=(n,)]
        The novelty curve, one value per analysis frame.
    times : np.ndarray [shape=(n,)]
        Time in seconds of a change found at each novelty frame.
    frame_times : np.ndarray [shape=(n,)]
        Centre of each analysis frame (each row and column of ``ssm``) in seconds.
    rate : float
        Analysis frames per second.
    method : str
    parameters : dict (read-only)
        Every setting of the method, as run, with the labelling's.
    peak_frames, boundary_frames : np.ndarray [dtype=intp]
        Frames of all novelty peaks, and of those chosen as boundaries (before refinement).
    ssm : np.ndarray [shape=(n, n)] or None
        The self-similarity matrix, when asked for (``analyze(..., return_ssm=True)``).
    source : str or None
        The file analysed.
    sample_rate : float or None
        The input's sample rate in Hz.
    channels : int
        Channels of the input (averaged to one).
    road : str
        ``"dense"`` (the whole matrix) or ``"banded"`` (a band of it: long inputs).
    note : str or None
        Why the method run is not the one asked for (an input too long for its whole matrix).
    """

    boundaries: Float64
    labels: tuple[str, ...]
    duration: float
    novelty: Float64
    times: Float64
    frame_times: Float64
    rate: float
    method: str
    parameters: FrozenDict
    peak_frames: NDArray[np.intp]
    boundary_frames: NDArray[np.intp]
    ssm: Floats | None = None
    source: str | None = None
    sample_rate: float | None = None
    channels: int = 1
    road: str = "dense"
    note: str | None = None

    @property
    def intervals(self) -> Float64:
        """Start and end of every segment in seconds, from 0 to the end of the piece.

        Returns
        -------
        np.ndarray [shape=(k + 1, 2)]
            ``[[start, end], ...]``.
        """
        edges = np.concatenate([[0.0], self.boundaries, [self.duration]])
        return np.stack([edges[:-1], edges[1:]], axis=1)

    @property
    def segments(self) -> tuple[tuple[float, float, str], ...]:
        """The segments with their labels, times in seconds.

        Returns
        -------
        tuple of (float, float, str)
            ``((start, end, label), ...)``.
        """
        return tuple((float(s), float(e), lab) for (s, e), lab in zip(self.intervals, self.labels))

    def to_lab(self) -> str:
        """The segments as lines of ``start<TAB>end<TAB>label`` (seconds, 3 decimals).

        Returns
        -------
        str
            One line per segment, each ending in a newline.
        """
        return "".join(f"{s:.3f}\t{e:.3f}\t{lab}\n" for s, e, lab in self.segments)

    def to_dict(self, *, curves: bool = False) -> dict[str, Any]:
        """A JSON-ready dict: the segments, boundaries and settings (and the curves if asked).

        Parameters
        ----------
        curves : bool
            Also hold the novelty curve (``"novelty"``) and its times (``"times"``).

        Returns
        -------
        dict
            ``file``, ``duration``, ``sample_rate``, ``channels``, ``method``, ``feature_rate``,
            ``parameters``, ``boundaries``, ``labels``, ``segments``, ``road`` (and ``note``).
        """
        out = {
            "file": self.source,
            "duration": self.duration,
            "sample_rate": self.sample_rate,
            "channels": self.channels,
            "method": self.method,
            "feature_rate": self.rate,
            "parameters": _plain(dict(self.parameters)),
            "boundaries": self.boundaries.tolist(),
            "labels": list(self.labels),
            "segments": [list(s) for s in self.segments],
            "road": self.road,
        }
        if self.note is not None:
            out["note"] = self.note
        if curves:
            out["times"] = self.times.tolist()
            out["novelty"] = self.novelty.tolist()
        return out

    def to_json(self, *, curves: bool = False, indent: int | None = 2) -> str:
        """:meth:`to_dict` as JSON text.

        Parameters
        ----------
        curves : bool
            Also hold the novelty curve and its times.
        indent : int or None
            Indentation of the JSON text (None: one line).

        Returns
        -------
        str
            The JSON text.
        """
        return json.dumps(self.to_dict(curves=curves), indent=indent)

    def to_jams(self, *, reference: AnnotationLike | None = None) -> Any:
        """A ``jams.JAMS`` with one ``segment_open`` annotation of the segments.

        Needs the ``jams`` extra; see :func:`velmor.annotations.to_jams`.

        Parameters
        ----------
        reference : str, os.PathLike, Structure, array or sequence of segments, optional
            A reference annotation added as a second annotation.

        Returns
        -------
        jams.JAMS
            The annotations of the piece.
        """
        from .annotations import to_jams

        return to_jams(self, reference=reference)

    def plot(self, ax: Axes | None = None, *, reference: AnnotationLike | None = None, title: str | None = None,
             colorbar: bool = True) -> dict[str, Axes | None]:
        """Draw the SSM (if kept), the label bar(s) and the novelty curve.

        See :func:`velmor.plot.plot_structure`.

        Parameters
        ----------
        ax : matplotlib.axes.Axes or None
            The Axes whose space the panels share (None: a new figure).
        reference : str, os.PathLike, Structure, array or sequence of segments, optional
            A reference to draw beside the result.
        title : str or None
            The figure's title (None: the file's name and the method).
        colorbar : bool
            Whether the SSM gets a colorbar.

        Returns
        -------
        dict
            The axes drawn on, by panel (see :func:`velmor.plot.plot_structure`).
        """
        from .plot import plot_structure

        return plot_structure(self, ax, reference=reference, title=title, colorbar=colorbar)


def structure_of(seg: Segmentation, labels: tuple[str, ...], *, parameters: Mapping[str, Any],
                 return_ssm: bool = False, source: str | None = None, sample_rate: float | None = None,
                 channels: int = 1, note: str | None = None) -> Structure:
    """The :class:`Structure` of a segmentation and the labels of its segments.

    Parameters
    ----------
    seg : velmor.analysis.Segmentation
        The boundaries and curves.
    labels : tuple of str
        One label per segment.
    parameters : mapping
        Every setting, as run.
    return_ssm : bool
        Keep the segmentation's matrix (when it has one).
    source : str or None
        The file analysed.
    sample_rate : float or None
        The input's sample rate in Hz.
    channels : int
        Channels of the input.
    note : str or None
        Why the method run is not the one asked for.

    Returns
    -------
    Structure
        A frozen copy of it all.
    """
    return Structure(
        boundaries=_frozen_array(seg.boundaries, float), labels=labels, duration=float(seg.duration),
        novelty=_frozen_array(seg.novelty, float), times=_frozen_array(seg.times, float),
        frame_times=_frozen_array(seg.frame_times, float), rate=float(seg.rate), method=seg.method,
        parameters=FrozenDict(parameters), peak_frames=_frozen_array(seg.peaks, np.intp),
        boundary_frames=_frozen_array(seg.frames, np.intp),
        ssm=_frozen_array(seg.ssm) if return_ssm and seg.ssm is not None else None,
        source=source, sample_rate=sample_rate, channels=channels, road=seg.road, note=note)
