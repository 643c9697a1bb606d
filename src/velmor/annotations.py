"""Segment annotations in and out: times, .lab files, JAMS, and velmor's own results.

    read_annotation(path)       -- a reference or a result from .lab / .txt / .jams / .json
    as_annotation(obj)          -- the same from a path, a Structure, times or (start, end, label)s
    find_annotation(dir, stem)  -- ``STEM.lab``, ``STEM.txt``, ``STEM.jams`` or ``STEM.*.lab`` in a folder
    to_jams(structure)          -- a ``jams.JAMS`` of a result (the optional ``jams`` extra)

An :class:`Annotation` holds segments (intervals and, when known, labels) or only boundaries (a
file of times says nothing about where the piece starts and ends). Its ``boundaries`` are the
interior ones: where one segment gives way to the next, and the end of a segment that a gap
follows; the start of the first segment and the end of the last are the edges of the piece.
"""

from __future__ import annotations

import dataclasses
import glob
import io
import json
import math
import os
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Protocol, TypeAlias, cast, runtime_checkable

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._files import regular
from ._version import __version__

MAX_BYTES = 16 << 20
"""The largest annotation file read (a reference is text of a few kilobytes; this stops
``/dev/zero`` or a wrong file from filling the memory)."""


class AnnotationWarning(UserWarning):
    """An annotation that can be read, but not as it was likely meant (segments out of order)."""


SUFFIXES = (".lab", ".txt", ".jams")
"""Suffixes of annotation files that :func:`find_annotation` pairs with a stem (and ``STEM.*.lab``)."""



@runtime_checkable
class HasSegments(Protocol):
    """Anything with ``segments`` and ``boundaries``, as a :class:`velmor.result.Structure` has."""

    @property
    def segments(self) -> Sequence[Sequence[Any]]:
        """``(start, end, label)`` of every segment."""
        ...

    @property
    def boundaries(self) -> ArrayLike:
        """Interior boundaries in seconds."""
        ...


class SegmentedResult(HasSegments, Protocol):
    """A result of an analysis, as :func:`to_jams` reads it (a :class:`velmor.result.Structure`)."""

    @property
    def boundaries(self) -> NDArray[np.float64]:
        """Interior boundaries in seconds."""
        ...

    @property
    def duration(self) -> float:
        """Length of the piece in seconds."""
        ...

    @property
    def source(self) -> str | None:
        """The file analysed."""
        ...

    @property
    def method(self) -> str:
        """The method's name."""
        ...

    @property
    def parameters(self) -> Mapping[str, Any]:
        """Every setting, as run."""
        ...


AnnotationLike: TypeAlias = "Annotation | HasSegments | str | os.PathLike[str] | ArrayLike | Iterable[Sequence[Any]]"
"""What :func:`as_annotation` reads: an annotation, a result, a path, times or ``(start, end, label)`` rows."""


@dataclasses.dataclass(frozen=True, eq=False)
class Annotation:
    """Segments of one piece, or its boundaries only.

    Attributes
    ----------
    boundaries : np.ndarray [shape=(k,)]
        Interior boundaries in seconds, increasing.
    intervals : np.ndarray [shape=(m, 2)] or None
        ``[start, end]`` of every segment, in time order; None for a list of times.
    labels : tuple of str or None
        One per interval; None when the source has none.
    source : str or None
    """

    boundaries: NDArray[np.float64]
    intervals: NDArray[np.float64] | None = None
    labels: tuple[str, ...] | None = None
    source: str | None = None

    @classmethod
    def from_segments(cls, segments: Iterable[Sequence[Any]], source: str | None = None) -> Annotation:
        """From ``(start, end[, label])`` triples in any order.

        Parameters
        ----------
        segments : iterable of (start, end) or (start, end, label)
            Times in seconds, ``0 <= start <= end``; labels are made strings.
        source : str or None
            Where the segments come from.

        Returns
        -------
        Annotation
            The segments in time order, with labels unless every label is empty.
        """
        rows = sorted((float(s[0]), float(s[1]), str(s[2]) if len(s) > 2 else "") for s in segments)
        for s, e, _ in rows:
            if not (math.isfinite(s) and math.isfinite(e) and 0 <= s <= e):
                raise ValueError(f"a segment must have finite times 0 <= start <= end, got ({s}, {e})")
        intervals = np.array([[s, e] for s, e, _ in rows], dtype=float).reshape(-1, 2)
        inner = [s for s, _, _ in rows[1:]]
        inner += [e for (_, e, _), (s, _, _) in zip(rows[:-1], rows[1:]) if s - e > 1e-3]
        labels = tuple(lab for *_, lab in rows)
        return cls(np.unique(np.array(inner, dtype=float)), intervals,
                   labels if any(labels) else None, source)

    @classmethod
    def from_times(cls, times: ArrayLike, source: str | None = None) -> Annotation:
        """From boundary times in seconds, in any order.

        Parameters
        ----------
        times : array_like
            Finite times, ``>= 0``; duplicates count once.
        source : str or None
            Where the times come from.

        Returns
        -------
        Annotation
            Boundaries only: no intervals, no labels.
        """
        t = np.asarray(times, dtype=float).ravel()
        if not np.all(np.isfinite(t)) or np.any(t < 0):
            raise ValueError("boundary times must be finite and >= 0")
        return cls(np.unique(t), None, None, source)


def _from_text(path: str, text: str) -> Annotation:
    times: list[float] = []
    segments: list[tuple[float, float, str]] = []
    backwards: int | None = None
    for number, line in enumerate(text.splitlines(), start=1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        try:
            values = [float(v) for v in fields[: 1 if len(fields) == 1 else 2]]
        except ValueError:
            raise ValueError(f"{path}, line {number}: expected a time or 'start end label', "
                             f"got {line.strip()!r}") from None
        if not all(math.isfinite(v) and v >= 0 for v in values):
            raise ValueError(f"{path}, line {number}: times must be finite and >= 0")
        if len(values) == 1:
            times.append(values[0])
        else:
            if backwards is None and segments and values[0] < segments[-1][1] - 1e-9:
                backwards = number
            segments.append((values[0], values[1], " ".join(fields[2:])))
    if backwards is not None and not times:
        warnings.warn(f"{path}, line {backwards}: the segment starts before the one above it ends; "
                      "segments are read in time order", AnnotationWarning, stacklevel=3)
    if times and segments:
        raise ValueError(f"{path}: mixes single times with 'start end' lines")
    if times:
        return Annotation.from_times(times, path)
    return Annotation.from_segments(segments, path)


def _need_jams() -> Any:
    try:
        import jams
    except ImportError:
        raise ImportError("JAMS files need the 'jams' extra: pip install 'velmor[jams]'") from None
    return jams


def _from_jams(path: str, text: str) -> Annotation:
    jams = _need_jams()
    try:
        jam = jams.load(io.StringIO(text), validate=False)
    except Exception as exc:  # jams raises its own errors, json's and OSErrors
        raise ValueError(f"cannot read JAMS file {path}: {exc}") from None
    found = jam.search(namespace="segment_open")
    if not len(found):
        found = jam.search(namespace="segment_.*")
    if not len(found):
        raise ValueError(f"{path}: no segment annotation (namespace segment_open or segment_*)")
    intervals, values = found[0].to_interval_values()
    return Annotation.from_segments([(s, e, str(v)) for (s, e), v in zip(intervals, values)], path)


def _from_json(path: str, parsed: object) -> Annotation:
    if isinstance(parsed, list) and len(cast("list[object]", parsed)) == 1:
        parsed = cast("list[object]", parsed)[0]
    if not isinstance(parsed, dict) or "error" in parsed:
        raise ValueError(f"{path}: not a velmor result (a JSON object with segments or boundaries)")
    data = cast("dict[str, Any]", parsed)
    if data.get("segments"):
        return Annotation.from_segments(data["segments"], path)
    if "boundaries" in data and "duration" in data:
        edges = [0.0, *data["boundaries"], float(data["duration"])]
        labels = data.get("labels") or [""] * (len(edges) - 1)
        return Annotation.from_segments(zip(edges, edges[1:], labels), path)
    raise ValueError(f"{path}: a velmor result needs 'segments', or 'boundaries' and 'duration'")


def read_annotation(path: str | os.PathLike[str]) -> Annotation:
    """An annotation from a file.

    ``.jams`` (the ``jams`` extra), ``.json`` (a velmor result), else text: one time per line, or
    ``start end [label]`` per line (blank lines and ``#`` comments are skipped).

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    Annotation
        Its segments, or its boundaries for a file of times.
    """
    path = os.fspath(path)
    try:
        with open(regular(path, "an annotation"), encoding="utf-8") as f:
            text = f.read(MAX_BYTES + 1)
    except (OSError, UnicodeDecodeError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.filename == path and exc.strerror else exc
        raise OSError(f"cannot read {path}: {reason}") from None
    if len(text) > MAX_BYTES:
        raise ValueError(f"{path}: too large for an annotation (over {MAX_BYTES >> 20} MB)")
    if path.lower().endswith(".jams"):
        return _from_jams(path, text)
    if path.lower().endswith(".json"):
        try:
            return _from_json(path, json.loads(text))
        except json.JSONDecodeError as exc:
            raise ValueError(f"{path}: not JSON: {exc}") from None
    return _from_text(path, text)


def as_annotation(obj: AnnotationLike) -> Annotation:
    """An :class:`Annotation` from a path, a result, times or segments.

    Parameters
    ----------
    obj : Annotation, Structure, str, os.PathLike, array_like or sequence of segments
        An Annotation (returned as it is), a result of :func:`velmor.analyze`, a file (see
        :func:`read_annotation`), an array of boundary times or a sequence of
        ``(start, end, label)``.

    Returns
    -------
    Annotation
        Segments, or boundaries alone for times.
    """
    if isinstance(obj, Annotation):
        return obj
    if isinstance(obj, (str, os.PathLike)):
        return read_annotation(obj)
    if isinstance(obj, HasSegments):  # a velmor.api.Structure
        source: str | None = getattr(obj, "source", None)
        return Annotation.from_segments(obj.segments, source)
    if isinstance(obj, np.ndarray) and obj.ndim <= 1:
        return Annotation.from_times(cast("NDArray[Any]", obj))
    seq: list[Any] = list(cast("Iterable[Any]", obj))
    if all(np.ndim(v) == 0 for v in seq):
        return Annotation.from_times(np.asarray(seq, dtype=float))
    return Annotation.from_segments(seq)


def find_annotation(directory: str | os.PathLike[str], stem: str) -> str | None:
    """The annotation file of ``stem`` in ``directory``.

    Parameters
    ----------
    directory : str or os.PathLike
        The folder searched.
    stem : str
        A file name without its suffix.

    Returns
    -------
    str or None
        ``STEM.lab``, ``STEM.txt``, ``STEM.jams``, or the first (by name) ``STEM.*.lab``
        (e.g. ``song.segments.lab``); None if there is none.
    """
    directory = os.fspath(directory)
    for suffix in SUFFIXES:
        candidate = os.path.join(directory, stem + suffix)
        if os.path.isfile(candidate):
            return candidate
    matches: list[str] = sorted(p for p in glob.glob(os.path.join(glob.escape(os.fspath(directory)), glob.escape(stem) + ".*.lab"))
                     if os.path.isfile(p))
    return matches[0] if matches else None


def stem_of(path: str | os.PathLike[str]) -> str:
    """A file's name without its directory and its last suffix.

    Parameters
    ----------
    path : str or os.PathLike
        A file's path.

    Returns
    -------
    str
        E.g. ``song.segments`` for ``music/song.segments.lab``.
    """
    where: str = os.fspath(path)
    return os.path.splitext(os.path.basename(where))[0]


def to_jams(structure: SegmentedResult, *, reference: AnnotationLike | None = None) -> Any:
    """A ``jams.JAMS`` holding a result's segments as a ``segment_open`` annotation.

    The annotation's metadata name velmor, its version and the method; its sandbox keeps the
    boundaries and every setting. Needs the ``jams`` extra.

    Parameters
    ----------
    structure : Structure
        A result of :func:`velmor.analyze`.
    reference : optional
        Anything :func:`as_annotation` reads, with segments: added as a second annotation,
        annotated by ``"reference"``.

    Returns
    -------
    jams.JAMS
        The annotations of the piece.
    """
    jams = _need_jams()

    jam = jams.JAMS()
    jam.file_metadata.duration = float(structure.duration)
    if structure.source:
        jam.file_metadata.title = os.path.basename(structure.source)
    ann = jams.Annotation(namespace="segment_open", time=0, duration=float(structure.duration))
    for start, end, label in structure.segments:
        ann.append(time=start, duration=end - start, value=label, confidence=None)
    ann.annotation_metadata.annotator.name = "velmor"
    ann.annotation_metadata.version = __version__
    ann.annotation_metadata.annotation_tools = f"velmor.analyze, method {structure.method}"
    ann.sandbox.update(method=structure.method, boundaries=structure.boundaries.tolist(),
                       parameters=json.loads(json.dumps(dict(structure.parameters), default=str)))
    jam.annotations.append(ann)
    if reference is not None:
        ref = as_annotation(reference)
        if ref.intervals is None:
            raise ValueError("a reference written to JAMS needs segments, not only boundary times")
        r = jams.Annotation(namespace="segment_open", time=0, duration=float(ref.intervals[-1, 1]))
        for (start, end), label in zip(ref.intervals, ref.labels or [""] * len(ref.intervals)):
            r.append(time=float(start), duration=float(end - start), value=label, confidence=None)
        r.annotation_metadata.annotator.name = "reference"
        jam.annotations.append(r)
    return jam
