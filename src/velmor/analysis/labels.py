"""Structure labels: which segments of a piece are the same section.

Stages:

- :func:`segment_similarity` -- a segment x segment similarity from a frame self-similarity matrix
- :func:`feature_segment_similarity` -- the same from feature columns, one block at a time (no
  n x n matrix: for inputs too long for one)
- :func:`cluster_segments` -- average-linkage clustering of segments, with an automatic number of
  groups or a given one
- :func:`letters` -- names ``A, B, C, ...`` in order of first appearance
- :func:`label_segments` -- the three in a row, from a matrix and segment edges in frames
- :func:`label_structure` -- labels of segments between boundaries in seconds, from a matrix or
  from features; :func:`label_segmentation` gives them for a
  :class:`velmor.analysis.methods.Segmentation`
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmor.features import Float64, Floats

if TYPE_CHECKING:
    from .methods import Segmentation

DEFAULT_THRESHOLD = 0.3
"""When the number of labels is not given, two groups of segments share a label if their average
distance lies this many spreads (standard deviations of the piece's segment distances) below the
mean distance, and below :data:`MAX_DISTANCE`."""

MAX_DISTANCE = 0.25
"""Largest average distance (``1 - similarity``) at which two groups can share a label: a piece
whose sections all differ keeps them apart, however its distances spread."""


def _edges(edges: ArrayLike, n: int) -> NDArray[np.intp]:
    e = np.asarray(edges, dtype=np.intp)
    if e.ndim != 1 or e.size < 2 or e[0] != 0 or e[-1] != n or np.any(np.diff(e) <= 0):
        raise ValueError(f"edges must increase strictly from 0 to the matrix size {n}, got {e.tolist()}")
    return e


def segment_similarity(ssm: ArrayLike, edges: ArrayLike) -> Float64:
    """Similarity of every pair of segments, from the frames they hold.

    Each frame of one segment is matched with its most similar frame in the other; the similarity
    is the mean of these best matches, averaged over both directions. A repeated section finds
    every frame again however its repetition is stretched or varied, while a different section
    does not; the score ignores the order of the frames, so it does not depend on where inside a
    segment a repetition starts.

    Parameters
    ----------
    ssm : np.ndarray [shape=(n, n)]
        Frame self-similarity (e.g. cosines of unit feature columns).
    edges : np.ndarray [shape=(k + 1,), dtype=int]
        Segment ``i`` holds frames ``edges[i]:edges[i + 1]``; ``edges[0] == 0``, ``edges[-1] == n``.

    Returns
    -------
    sim : np.ndarray [shape=(k, k)]
        Symmetric; ``sim[i, j] == (mean(max(B, axis=1)) + mean(max(B, axis=0))) / 2`` with
        ``B = ssm[seg_i, seg_j]``.
    """
    m = np.asarray(ssm)  # in its own precision: no copy of the whole matrix
    if m.dtype.kind != "f":
        m = m.astype(np.float64)
    if m.ndim != 2 or m.shape[0] != m.shape[1]:
        raise ValueError(f"ssm must be a square matrix, got shape {m.shape}")
    e = _edges(edges, m.shape[0])
    k = e.size - 1
    sim = np.empty((k, k))
    for i in range(k):
        rows = m[e[i]:e[i + 1]]
        for j in range(i, k):
            sim[i, j] = sim[j, i] = _best_matches(rows[:, e[j]:e[j + 1]])
    return sim


def _best_matches(block: NDArray[Any]) -> float:
    return 0.5 * (float(block.max(axis=1).mean(dtype=np.float64)) + float(block.max(axis=0).mean(dtype=np.float64)))


def feature_segment_similarity(features: Sequence[Floats], edges: ArrayLike,
                               weights: Sequence[float] | Floats | None = None) -> Float64:
    """:func:`segment_similarity` of the fused cosine matrix of ``features``, without making it.

    Parameters
    ----------
    features : sequence of np.ndarray [shape=(d_f, n)]
        Unit-length feature columns (as :func:`velmor.analysis.frontend.pooled` gives them).
    edges : np.ndarray [shape=(k + 1,), dtype=int]
        Segment ``i`` holds frames ``edges[i]:edges[i + 1]``.
    weights : sequence of float or None
        Weight of each feature's similarity (None: equal), as :func:`velmor.analysis.fuse`.

    Returns
    -------
    sim : np.ndarray [shape=(k, k)]
        Equal to ``segment_similarity(fuse([f.T @ f for f in features], weights), edges)``; only
        one pair of segments' block exists at a time.
    """
    feats = [np.asarray(f, dtype=np.float64) for f in features]
    if not feats or any(f.ndim != 2 or f.shape[1] != feats[0].shape[1] for f in feats):
        raise ValueError("features must be one or more (d, n) arrays with the same n")
    w = np.ones(len(feats)) if weights is None else np.asarray(weights, dtype=np.float64)
    if w.shape != (len(feats),) or np.any(w < 0) or w.sum() <= 0:
        raise ValueError(f"weights must be {len(feats)} non-negative numbers with a positive sum, got {weights}")
    w = w / w.sum()
    e = _edges(edges, feats[0].shape[1])
    k = e.size - 1
    sim = np.empty((k, k))
    for i in range(k):
        for j in range(i, k):
            block = cast(Float64, sum(wf * (f[:, e[i]:e[i + 1]].T @ f[:, e[j]:e[j + 1]]) for wf, f in zip(w, feats)))
            sim[i, j] = sim[j, i] = _best_matches(block)
    return sim


def cluster_segments(sim: ArrayLike, n_labels: int | None = None, *, threshold: float = DEFAULT_THRESHOLD
                     ) -> NDArray[np.intp]:
    """Group segments by average-linkage clustering of their similarities.

    Distances are ``1 - sim``. Without ``n_labels`` the clustering joins groups whose distance is
    ``threshold`` spreads below the mean of the piece's distances (so one threshold serves pieces
    whose segments are all alike in absolute terms, one instrument throughout, and pieces of very
    different sections) and below :data:`MAX_DISTANCE`; with it, it stops at that many groups.

    Parameters
    ----------
    sim : np.ndarray [shape=(k, k)]
        Symmetric segment similarity, 1 for identical.
    n_labels : int or None
        Number of groups (at most ``k``), or None to choose it.
    threshold : float
        When ``n_labels`` is None: how many spreads below the mean distance two groups must lie
        to join (see :data:`DEFAULT_THRESHOLD`).

    Returns
    -------
    groups : np.ndarray [shape=(k,), dtype=int]
        Group numbers from 0, in order of first appearance.
    """
    from scipy.cluster.hierarchy import fcluster, linkage
    from scipy.spatial.distance import squareform

    s = np.asarray(sim, dtype=np.float64)
    if s.ndim != 2 or s.shape[0] != s.shape[1]:
        raise ValueError(f"sim must be a square matrix, got shape {s.shape}")
    k = s.shape[0]
    if n_labels is not None:
        if isinstance(n_labels, bool) or int(n_labels) != n_labels or n_labels < 1:
            raise ValueError(f"n_labels must be a positive integer, got {n_labels!r}")
        n_labels = int(n_labels)
    if not (np.isfinite(threshold) and threshold >= 0):
        raise ValueError(f"threshold must be a non-negative number, got {threshold!r}")
    if k == 0:
        return np.zeros(0, dtype=np.intp)
    if k == 1 or n_labels == 1:
        return np.zeros(k, dtype=np.intp)
    if n_labels is not None and n_labels >= k:
        return np.arange(k, dtype=np.intp)
    d = np.maximum(1.0 - 0.5 * (s + s.T), 0.0)
    np.fill_diagonal(d, 0.0)
    tree = linkage(squareform(d, checks=False), method="average")
    if n_labels is None:
        off = d[np.triu_indices(k, 1)]
        cut = min(MAX_DISTANCE, off.mean() - threshold * off.std())
        # fcluster joins at heights <= t; a join needs a height strictly below the cut
        raw = fcluster(tree, t=np.nextafter(cut, -np.inf), criterion="distance")
    else:
        raw = fcluster(tree, t=n_labels, criterion="maxclust")
    return first_appearance(raw)


def first_appearance(groups: ArrayLike) -> NDArray[np.intp]:
    """Renumber group ids so that they appear in the order 0, 1, 2, ...

    Parameters
    ----------
    groups : array_like [shape=(k,)]
        Group ids of any hashable kind.

    Returns
    -------
    np.ndarray [shape=(k,), dtype=intp]
        The same grouping, numbered by first appearance.
    """
    g = np.asarray(groups)
    order: dict[Any, int] = {}
    for v in g.tolist():
        order.setdefault(v, len(order))
    return np.array([order[v] for v in g.tolist()], dtype=np.intp)


def letters(groups: ArrayLike) -> tuple[str, ...]:
    """Name groups in order of first appearance: ``A ... Z``, then ``AA, AB, ...``.

    Parameters
    ----------
    groups : array_like [shape=(k,)]
        Group ids.

    Returns
    -------
    tuple of str
        One name per segment.
    """
    out: list[str] = []
    for g in first_appearance(groups).tolist():
        name, g = "", g
        while True:
            name = chr(ord("A") + g % 26) + name
            g = g // 26 - 1
            if g < 0:
                break
        out.append(name)
    return tuple(out)


def label_segments(ssm: ArrayLike, edges: ArrayLike, n_labels: int | None = None, *,
                   threshold: float = DEFAULT_THRESHOLD) -> tuple[str, ...]:
    """Label the segments ``edges[i]:edges[i + 1]`` of a self-similarity matrix ``A, B, C, ...``.

    Parameters
    ----------
    ssm : np.ndarray [shape=(n, n)]
        Frame self-similarity.
    edges : np.ndarray [shape=(k + 1,), dtype=int]
        Segment edges in frames, from 0 to ``n``.
    n_labels : int or None
        Number of labels, or None to choose it.
    threshold : float
        See :func:`cluster_segments`.

    Returns
    -------
    tuple of str
        One label per segment.
    """
    return letters(cluster_segments(segment_similarity(ssm, edges), n_labels, threshold=threshold))


def label_structure(ssm: Floats | None, times: Floats, boundaries: Floats, n_labels: int | None = None, *,
                    threshold: float = DEFAULT_THRESHOLD, features: Sequence[Floats] | None = None,
                    weights: Sequence[float] | Floats | None = None) -> tuple[str, ...]:
    """Label the segments between boundaries, from a self-similarity matrix or its features.

    A segment's frames are those whose change time (``times``) falls inside it; segments
    narrower than a frame share the label of the frames around them.

    Parameters
    ----------
    ssm : np.ndarray [shape=(n, n)] or None
        Frame self-similarity matrix; None: compare the segments through ``features``.
    times : np.ndarray [shape=(n,)]
        Time in seconds of a change at each frame, increasing.
    boundaries : np.ndarray [shape=(k,)]
        Interior boundaries in seconds.
    n_labels : int or None
        Number of distinct labels; None chooses it.
    threshold : float
        How alike two groups must be to share a label (see :func:`cluster_segments`).
    features : list of np.ndarray [shape=(d_i, n)] or None
        The feature columns the matrix would be made of, when ``ssm`` is None.
    weights : sequence of float or None
        Weight of each feature's similarity (None: equal).

    Returns
    -------
    tuple of str
        ``k + 1`` labels, ``A, B, C, ...`` in order of first appearance.
    """
    n = len(times)
    cuts = np.searchsorted(times, boundaries, side="left")
    edges = np.unique(np.clip(np.concatenate([[0], cuts, [n]]), 0, n))
    if n == 0:
        return ("A",) * (len(boundaries) + 1)
    if n_labels is not None:
        n_labels = min(int(n_labels), edges.size - 1) if n_labels >= 1 else n_labels
    sim = segment_similarity(ssm, edges) if ssm is not None else feature_segment_similarity(features or (), edges, weights)
    groups = cluster_segments(sim, n_labels, threshold=threshold)
    # the frame range each time segment starts in (several may fall in one when closer than a frame)
    starts = np.concatenate([[0], np.clip(cuts, 0, n - 1)])
    which = np.searchsorted(edges, starts, side="right") - 1
    return letters(groups[np.clip(which, 0, groups.size - 1)])


def label_segmentation(seg: Segmentation, n_labels: int | None = None, *,
                       threshold: float = DEFAULT_THRESHOLD) -> tuple[str, ...]:
    """Label the segments of a segmentation, from its matrix or, where the road made none, its features.

    Parameters
    ----------
    seg : Segmentation
        A result of :func:`velmor.analysis.segment` (with ``keep_ssm=True`` on the dense road).
    n_labels : int or None
        Number of distinct labels; None chooses it.
    threshold : float
        How alike two groups must be to share a label (see :func:`cluster_segments`).

    Returns
    -------
    tuple of str
        One label per segment.
    """
    features = weights = None
    if seg.ssm is None and seg.features is not None:  # compare segments block by block
        features = [seg.features.features[f] for f in seg.parameters["features"]]
        weights = seg.parameters["weights"]
    return label_structure(seg.ssm, seg.times, seg.boundaries, n_labels, threshold=threshold, features=features,
                           weights=weights)
