"""The scores the field reports for a segmentation against a reference (velmor.evaluate).

    evaluate(estimate, reference)   -- an ordered dict of every score for one piece
    mean_scores(rows)               -- the mean of each score over pieces (ignoring missing ones)
    label_scores(ref_int, ref_lab, est_int, est_lab)  -- pairwise P/R/F and NCE of labelled segments

Boundary hit rates come twice, named by their convention:

- ``calc_prf``: velmor's own scorer (:func:`velmor.unit7.calc_prf`): a hit is
  ``abs(e - r) < tolerance``, matched greedily one to one;
- ``mir_eval``: ``mir_eval.segment.detection(..., trim=True)``, the figure MIREX reports: a hit is
  ``abs(e - r) <= tolerance``, matched optimally (a maximum bipartite matching).

Both score interior boundaries only (not the start and end of the piece). The rest comes from
mir_eval (the ``eval`` extra): median deviations both ways, pairwise precision, recall and F of
the labels (frame pairs given the same label), and normalised conditional entropies (over- and
under-segmentation); label scores need segments with labels on both sides.

The label scores are mir_eval's ``pairwise`` and ``nce`` at its 0.1 s frames, computed from the
overlaps of segments (how many of mir_eval's frames each pair of labels shares) rather than from
its frame-pair matrices, so that memory grows with the number of segments, not with the square of
the duration: the same counts, and so the same scores within rounding.
"""

from __future__ import annotations

import heapq
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .annotations import Annotation, AnnotationLike, as_annotation

DEFAULT_TOLERANCES = (0.5, 3.0)
FRAME_SIZE = 0.1
"""Seconds per frame of the label scores, mir_eval's default."""


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


class EvaluationWarning(UserWarning):
    """Scores that can be computed, but say little (an empty reference)."""


def _timed(intervals: NDArray[np.float64], labels: list[str]) -> tuple[NDArray[np.float64], list[str]]:
    """Segments that last some time: a segment of none (one that starts at the reference's end,
    once cut to it, or one written as ``t t``) holds no frame and no boundary, and mir_eval
    refuses it."""
    keep = intervals[:, 1] > intervals[:, 0]
    return intervals[keep], [lab for lab, k in zip(labels, keep.tolist()) if k]


def _frames_before(times: NDArray[np.float64], count: int, frame_size: float, inclusive: bool) -> NDArray[np.int64]:
    """How many of mir_eval's frame times lie before each time (or at it, when ``inclusive``).

    mir_eval samples labels at ``np.arange(count, dtype=np.float32) * frame_size``, in single
    precision, and finds each interval's frames with ``np.searchsorted``; the same times, made here
    only where a binary search looks, give the same counts without making all of them.
    """
    lo = np.zeros(times.shape, np.int64)
    hi = np.full(times.shape, count, np.int64)
    while True:
        open_ = lo < hi
        if not open_.any():
            return lo
        mid = (lo + hi) // 2
        t = (mid.astype(np.float32) * frame_size).astype(np.float64)
        below = (t <= times) if inclusive else (t < times)
        lo = np.where(open_ & below, mid + 1, lo)
        hi = np.where(open_ & ~below, mid, hi)


def _label_runs(intervals: NDArray[np.float64], labels: Sequence[object],
                frame_size: float) -> tuple[list[int], list[str], int]:
    """mir_eval's frame labels as runs: the first frame of each run, its label, and the frame count.

    As ``mir_eval.util.intervals_to_samples`` and ``index_labels`` label them: each interval's
    frames in turn (a later interval over an earlier one), frames of none labelled ``None``, labels
    compared as lower-case text.
    """
    count = int(np.floor(intervals.max() / frame_size))
    firsts = _frames_before(intervals[:, 0], count, frame_size, inclusive=False)
    ends = _frames_before(intervals[:, 1], count, frame_size, inclusive=True)
    cuts = sorted({0, count, *firsts.tolist(), *ends.tolist()})
    order = sorted(range(len(labels)), key=lambda i: int(firsts[i]))
    live: list[tuple[int, int]] = []  # (-interval, end): the latest interval on top
    starts: list[int] = []
    names: list[str] = []
    k = 0
    for at in cuts[:-1]:
        while k < len(order) and firsts[order[k]] <= at:
            heapq.heappush(live, (-order[k], int(ends[order[k]])))
            k += 1
        while live and live[0][1] <= at:
            heapq.heappop(live)
        starts.append(at)
        names.append(str(labels[-live[0][0]] if live else None).lower())
    return starts, names, count


def _overlaps(ref_int: NDArray[np.float64], ref_lab: Sequence[object], est_int: NDArray[np.float64],
              est_lab: Sequence[object], frame_size: float) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int64]]:
    """The contingency table of mir_eval's frames, sparse: ``(ref, est, frames)``, one entry per
    pair of labels (as indices in sorted order) that share frames."""
    r_starts, r_names, count = _label_runs(ref_int, ref_lab, frame_size)
    e_starts, e_names, e_count = _label_runs(est_int, est_lab, frame_size)
    if count != e_count:
        raise ValueError(f"reference and estimate cover different frames ({count} and {e_count})")
    cuts = np.array(sorted({count, *r_starts, *e_starts}), dtype=np.int64)
    ri = np.searchsorted(np.array(r_starts, dtype=np.int64), cuts[:-1], side="right") - 1
    ei = np.searchsorted(np.array(e_starts, dtype=np.int64), cuts[:-1], side="right") - 1
    _, r_code = np.unique(np.array(r_names, dtype=object)[ri].astype(str), return_inverse=True)
    e_names_all, e_code = np.unique(np.array(e_names, dtype=object)[ei].astype(str), return_inverse=True)
    cell = r_code.astype(np.int64) * len(e_names_all) + e_code
    lengths = np.diff(cuts)
    cells, where = np.unique(cell, return_inverse=True)
    frames = np.bincount(where, weights=lengths, minlength=cells.size).astype(np.int64) if cells.size else lengths[:0]
    keep = frames > 0
    cells, frames = cells[keep], frames[keep]
    # labels that hold no frame are no class of mir_eval's: renumber the ones that do
    _, ref = np.unique(cells // max(len(e_names_all), 1), return_inverse=True)
    _, est = np.unique(cells % max(len(e_names_all), 1), return_inverse=True)
    return ref.astype(np.int64), est.astype(np.int64), frames


def _f_measure(precision: float, recall: float) -> float:
    """mir_eval.util.f_measure with beta 1, operation for operation."""
    if precision == 0 and recall == 0:
        return 0.0
    return 2.0 * precision * recall / (precision + recall)


def _pairwise(ref: NDArray[np.int64], est: NDArray[np.int64], frames: NDArray[np.int64]) -> tuple[float, float, float]:
    """mir_eval.segment.pairwise from the table: pairs of frames that share a label on each side
    and on both, ``(sum of squares - frames) / 2``, counted exactly."""
    n = int(frames.sum())
    sq = [int((np.bincount(side, weights=frames).astype(np.int64) ** 2).sum()) if frames.size else 0
          for side in (ref, est)]
    both = int((frames ** 2).sum())
    n_agree_ref, n_agree_est = np.float64(sq[0] - n) / 2.0, np.float64(sq[1] - n) / 2.0
    n_matches = np.float64(both - n) / 2.0
    with np.errstate(divide="ignore", invalid="ignore"):  # no pairs at all: NaN, as mir_eval gives
        precision, recall = n_matches / n_agree_est, n_matches / n_agree_ref
    return float(precision), float(recall), _f_measure(float(precision), float(recall))


def _nce(ref: NDArray[np.int64], est: NDArray[np.int64], frames: NDArray[np.int64]) -> tuple[float, float, float]:
    """mir_eval.segment.nce from the table: the conditional entropies of each side given the
    other, over the entropy of as many equally likely labels."""
    n = int(frames.sum())
    if n == 0:
        return 0.0, 0.0, 0.0
    p = frames / n

    def given(side: NDArray[np.int64], other: NDArray[np.int64]) -> float:
        # sum over labels b of `other`: P(b) * H(side | other = b), in bits
        p_other = np.bincount(other, weights=p)
        share = p / p_other[other]
        with np.errstate(divide="ignore", invalid="ignore"):
            h = np.bincount(other, weights=np.where(share > 0, -share * np.log(share), 0.0),
                            minlength=p_other.size) / np.log(2)
        return float(p_other.dot(h))

    true_given_est, pred_given_ref = given(ref, est), given(est, ref)
    z_ref, z_est = np.log2(int(ref.max()) + 1), np.log2(int(est.max()) + 1)
    under = 1.0 - true_given_est / z_ref if z_ref > 0 else 0.0
    over = 1.0 - pred_given_ref / z_est if z_est > 0 else 0.0
    return float(over), float(under), _f_measure(float(over), float(under))


def label_scores(ref_int: NDArray[np.float64], ref_lab: Sequence[object], est_int: NDArray[np.float64],
                 est_lab: Sequence[object], frame_size: float = FRAME_SIZE) -> dict[str, float]:
    """Pairwise P/R/F and NCE over/under/F, as ``mir_eval.segment.pairwise`` and ``nce`` give them.

    Parameters
    ----------
    ref_int : np.ndarray [shape=(n, 2)]
        The reference's segments in seconds, from 0 to its end, as
        ``mir_eval.util.adjust_intervals`` gives them.
    ref_lab : sequence
        A label per reference segment.
    est_int : np.ndarray [shape=(m, 2)]
        The estimate's segments, from 0 to the same end.
    est_lab : sequence
        A label per estimated segment.
    frame_size : float
        Seconds per frame.

    Returns
    -------
    scores : dict
        ``"pairwise P"``, ``"pairwise R"``, ``"pairwise F"``, ``"NCE over"``, ``"NCE under"``,
        ``"NCE F"``; in memory of the segments, whatever their duration.
    """
    mir_eval = _need_mir_eval()
    ref_int, est_int = np.asarray(ref_int, dtype=np.float64), np.asarray(est_int, dtype=np.float64)
    mir_eval.segment.validate_structure(ref_int, ref_lab, est_int, est_lab)
    if ref_int.size == 0 or est_int.size == 0:
        pp = pr = pf = over = under = nf = 0.0
    else:
        table = _overlaps(ref_int, ref_lab, est_int, est_lab, frame_size)
        pp, pr, pf = _pairwise(*table)
        over, under, nf = _nce(*table)
    return {"pairwise P": pp, "pairwise R": pr, "pairwise F": pf, "NCE over": over, "NCE under": under, "NCE F": nf}


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
    est_int, est_lab = _timed(*mir_eval.util.adjust_intervals(est_int, est_lab or ["_"] * len(est_int), 0.0, end))
    ref_int, ref_lab = _timed(*mir_eval.util.adjust_intervals(ref_int, ref_lab or ["_"] * len(ref_int), 0.0, end))
    if ref.boundaries.size == 0 and (ref.intervals is None or ref.intervals.size == 0):
        warnings.warn("the reference is empty: every score against it is 0 or undefined", EvaluationWarning,
                      stacklevel=2)

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
            scores.update(label_scores(ref_int, ref_lab, est_int, est_lab))
        else:
            scores.update(dict.fromkeys(("pairwise P", "pairwise R", "pairwise F", "NCE over", "NCE under",
                                         "NCE F"), float("nan")))
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
