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
import json
import math
import os
import warnings

import numpy as np

MAX_BYTES = 16 << 20
"""The largest annotation file read (a reference is text of a few kilobytes; this stops
``/dev/zero`` or a wrong file from filling the memory)."""


class AnnotationWarning(UserWarning):
    """An annotation that can be read, but not as it was likely meant (segments out of order)."""


SUFFIXES = (".lab", ".txt", ".jams")
"""Suffixes of annotation files that :func:`find_annotation` pairs with a stem (and ``STEM.*.lab``)."""


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

    boundaries: np.ndarray
    intervals: np.ndarray | None = None
    labels: tuple | None = None
    source: str | None = None

    @classmethod
    def from_segments(cls, segments, source=None) -> "Annotation":
        """From ``(start, end[, label])`` triples in any order."""
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
    def from_times(cls, times, source=None) -> "Annotation":
        t = np.asarray(times, dtype=float).ravel()
        if not np.all(np.isfinite(t)) or np.any(t < 0):
            raise ValueError("boundary times must be finite and >= 0")
        return cls(np.unique(t), None, None, source)


def _from_text(path, text):
    times, segments, backwards = [], [], None
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


def _need_jams():
    try:
        import jams
    except ImportError:
        raise ImportError("JAMS files need the 'jams' extra: pip install 'velmor[jams]'") from None
    return jams


def _from_jams(path):
    jams = _need_jams()
    try:
        jam = jams.load(path, validate=False)
    except Exception as exc:  # jams raises its own errors, json's and OSErrors
        raise ValueError(f"cannot read JAMS file {path}: {exc}") from None
    found = jam.search(namespace="segment_open")
    if not len(found):
        found = jam.search(namespace="segment_.*")
    if not len(found):
        raise ValueError(f"{path}: no segment annotation (namespace segment_open or segment_*)")
    intervals, values = found[0].to_interval_values()
    return Annotation.from_segments([(s, e, str(v)) for (s, e), v in zip(intervals, values)], path)


def _from_json(path, data):
    if isinstance(data, list) and len(data) == 1:
        data = data[0]
    if not isinstance(data, dict) or "error" in data:
        raise ValueError(f"{path}: not a velmor result (a JSON object with segments or boundaries)")
    if data.get("segments"):
        return Annotation.from_segments(data["segments"], path)
    if "boundaries" in data and "duration" in data:
        edges = [0.0, *data["boundaries"], float(data["duration"])]
        labels = data.get("labels") or [""] * (len(edges) - 1)
        return Annotation.from_segments(zip(edges, edges[1:], labels), path)
    raise ValueError(f"{path}: a velmor result needs 'segments', or 'boundaries' and 'duration'")


def read_annotation(path) -> Annotation:
    """An annotation from a file: ``.jams`` (the ``jams`` extra), ``.json`` (a velmor result),
    else text: one time per line, or ``start end [label]`` per line (blank lines and ``#``
    comments are skipped)."""
    path = os.fspath(path)
    if path.lower().endswith(".jams"):
        return _from_jams(path)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read(MAX_BYTES + 1)
    except (OSError, UnicodeDecodeError) as exc:
        raise OSError(f"cannot read {path}: {exc}") from None
    if len(text) > MAX_BYTES:
        raise ValueError(f"{path}: too large for an annotation (over {MAX_BYTES >> 20} MB)")
    if path.lower().endswith(".json"):
        try:
            return _from_json(path, json.loads(text))
        except json.JSONDecodeError as exc:
            raise ValueError(f"{path}: not JSON: {exc}") from None
    return _from_text(path, text)


def as_annotation(obj) -> Annotation:
    """An :class:`Annotation` from a path, an Annotation, a result of :func:`velmor.analyze`, an
    array of boundary times or a sequence of ``(start, end, label)``."""
    if isinstance(obj, Annotation):
        return obj
    if isinstance(obj, (str, os.PathLike)):
        return read_annotation(obj)
    if hasattr(obj, "segments") and hasattr(obj, "boundaries"):  # a velmor.api.Structure
        return Annotation.from_segments(obj.segments, getattr(obj, "source", None))
    if isinstance(obj, np.ndarray) and obj.ndim <= 1:
        return Annotation.from_times(obj)
    seq = list(obj)
    if all(np.ndim(v) == 0 for v in seq):
        return Annotation.from_times(np.asarray(seq, dtype=float))
    return Annotation.from_segments(seq)


def find_annotation(directory, stem):
    """The annotation of ``stem`` in ``directory``: ``STEM.lab``, ``STEM.txt``, ``STEM.jams``, or the
    first (by name) ``STEM.*.lab`` (e.g. ``song.segments.lab``); None if there is none."""
    for suffix in SUFFIXES:
        candidate = os.path.join(directory, stem + suffix)
        if os.path.isfile(candidate):
            return candidate
    matches = sorted(p for p in glob.glob(os.path.join(glob.escape(os.fspath(directory)), glob.escape(stem) + ".*.lab"))
                     if os.path.isfile(p))
    return matches[0] if matches else None


def stem_of(path):
    """A file's name without its directory and its last suffix (``song.segments.lab`` -> ``song.segments``)."""
    return os.path.splitext(os.path.basename(os.fspath(path)))[0]


def to_jams(structure, *, reference=None):
    """A ``jams.JAMS`` holding a result's segments as a ``segment_open`` annotation.

    The annotation's metadata name velmor, its version and the method; its sandbox keeps the
    boundaries and every setting. With ``reference`` (anything :func:`as_annotation` reads, with
    segments), that annotation is added as a second one, annotated by ``"reference"``.
    """
    jams = _need_jams()
    from velmor import __version__

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
