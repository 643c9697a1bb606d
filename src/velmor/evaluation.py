"""The scores the field reports for a segmentation against a reference (velmor.evaluate).

    evaluate(estimate, reference)   -- an ordered dict of every score for one piece
    mean_scores(rows)               -- the mean of each score over pieces (ignoring missing ones)

Boundary hit rates come twice, named by their convention:

- ``calc_prf``: velmor's own scorer (:func:`velmor.unit7.calc_prf`): a hit is
  ``abs(e - r) < tolerance``, matched greedily one to one;
- ``mir_eval``: ``mir_eval.segment.detection(..., trim=True)``, the figure MIREX reports: a hit is
  ``abs(e - r) <= tolerance``, matched optimally (a maximum bipartite matching).

Both score interior boundaries only (not the start and end of the piece). The rest comes from
mir_eval (the ``eval`` extra): median deviations both ways, pairwise precision, recall and F of
the labels (frame pairs given the same label), and normalised conditional entropies (over- and
under-segmentation); label scores need segments with labels on both sides.
"""

from __future__ import annotations

import warnings
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .annotations import Annotation, AnnotationLike, as_annotation

DEFAULT_TOLERANCES = (0.5, 3.0)


def _need_mir_eval() -> Any:
    try:
        import mir_eval
    except ImportError:
        raise ImportError("evaluation needs the 'eval' extra (mir_eval): pip install 'velmor[eval]'") from None
    return mir_eval


def _intervals(annotation: Annotation, start: float, end: float) -> tuple[NDArray[np.float64], list[str] | None]:
    """Segments from ``start`` to ``end``, built from the boundaries when only those are known;
    with labels when the annotation has them."""
    b = annotation.boundaries[(annotation.boundaries > start) & (annotation.boundaries < end)]
    if annotation.intervals is not None and annotation.labels is not None:
        return annotation.intervals, list(annotation.labels)
    edges = np.concatenate([[start], b, [end]])
    return np.stack([edges[:-1], edges[1:]], axis=1), None


def evaluate(estimate: AnnotationLike, reference: AnnotationLike, *,
             tolerances: Iterable[float] = DEFAULT_TOLERANCES) -> dict[str, float]:
    """Every score of ``estimate`` against ``reference``.

    Parameters
    ----------
    estimate, reference : Structure, str, os.PathLike, array_like or sequence of segments
        Anything :func:`velmor.annotations.as_annotation` reads: a result of :func:`velmor.analyze`,
        a path (``.lab``, ``.txt``, ``.jams``, a velmor ``.json``), an array of boundary times, or
        ``(start, end, label)`` triples.
    tolerances : iterable of float
        Hit-rate windows in seconds.

    Returns
    -------
    scores : dict
        ``"calc_prf P@0.5"``, ``"calc_prf R@0.5"``, ``"calc_prf F@0.5"`` and ``"mir_eval P@0.5"``, ...
        per tolerance; ``"ref-to-est deviation"`` and ``"est-to-ref deviation"`` (median seconds,
        NaN without boundaries); ``"pairwise P"``, ``"pairwise R"``, ``"pairwise F"``, ``"NCE over"``,
        ``"NCE under"``, ``"NCE F"`` (NaN unless both sides have labelled segments).
    """
    from velmor import unit7

    mir_eval = _need_mir_eval()
    est = as_annotation(estimate)
    ref = as_annotation(reference)
    tolerances = tuple(float(t) for t in tolerances)
    if not tolerances or not all(np.isfinite(t) and t > 0 for t in tolerances):
        raise ValueError(f"tolerances must be positive numbers of seconds, got {tolerances!r}")
    # as mir_eval.segment.evaluate does: both sides cover 0 to the end of the reference
    ends = [a.intervals[-1, 1] for a in (ref, est) if a.intervals is not None and a.intervals.size]
    last = max(np.max(est.boundaries, initial=0.0), np.max(ref.boundaries, initial=0.0))
    end = float(ends[0]) if ends else float(last) + 1.0
    ref_int, ref_lab = _intervals(ref, 0.0, end)
    est_int, est_lab = _intervals(est, 0.0, end)
    has_labels = est_lab is not None and ref_lab is not None
    est_int, est_lab = mir_eval.util.adjust_intervals(est_int, est_lab or ["_"] * len(est_int), 0.0, end)
    ref_int, ref_lab = mir_eval.util.adjust_intervals(ref_int, ref_lab or ["_"] * len(ref_int), 0.0, end)

    scores: dict[str, float] = {}
    e_b = est.boundaries[(est.boundaries > 0) & (est.boundaries < end)]
    for tau in tolerances:
        p, r, f = unit7.calc_prf(e_b, ref.boundaries, tau)
        scores[f"calc_prf P@{tau:g}"] = float(p)
        scores[f"calc_prf R@{tau:g}"] = float(r)
        scores[f"calc_prf F@{tau:g}"] = float(f)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # mir_eval warns about empty boundary lists, and scores them 0
        for tau in tolerances:
            p, r, f = mir_eval.segment.detection(ref_int, est_int, window=tau, trim=True)
            scores[f"mir_eval P@{tau:g}"] = float(p)
            scores[f"mir_eval R@{tau:g}"] = float(r)
            scores[f"mir_eval F@{tau:g}"] = float(f)
        r2e, e2r = mir_eval.segment.deviation(ref_int, est_int, trim=True)
        scores["ref-to-est deviation"] = float(r2e)
        scores["est-to-ref deviation"] = float(e2r)
        if has_labels:
            pp, pr, pf = mir_eval.segment.pairwise(ref_int, ref_lab, est_int, est_lab)
            over, under, nf = mir_eval.segment.nce(ref_int, ref_lab, est_int, est_lab)
        else:
            pp = pr = pf = over = under = nf = float("nan")
    scores.update({"pairwise P": float(pp), "pairwise R": float(pr), "pairwise F": float(pf),
                   "NCE over": float(over), "NCE under": float(under), "NCE F": float(nf)})
    return scores


def mean_scores(rows: Iterable[Mapping[str, float]]) -> dict[str, float]:
    """The mean of each score over pieces, skipping NaN values.

    Parameters
    ----------
    rows : iterable of dict
        Scores of :func:`evaluate`, one dict per piece.

    Returns
    -------
    dict
        The mean of every score any row has (in order of first appearance); NaN for a score no
        row has a number for.
    """
    table = list(rows)
    keys = list(dict.fromkeys(k for r in table for k in r))
    out: dict[str, float] = {}
    for k in keys:
        values = np.array([r[k] for r in table if k in r], dtype=float)
        values = values[np.isfinite(values)]
        out[k] = float(values.mean()) if values.size else float("nan")
    return out
