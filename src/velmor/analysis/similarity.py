"""Self-similarity matrices of feature sequences, and their fusion."""

from __future__ import annotations

import numpy as np

from velmor import unit7


def self_similarity(features) -> np.ndarray:
    """Cosine self-similarity of a feature sequence.

    Parameters
    ----------
    features : np.ndarray [shape=(d, n)]
        One column per frame; columns of unit length give cosines (zero columns give zeros).

    Returns
    -------
    ssm : np.ndarray [shape=(n, n), dtype=float64]
        ``ssm[i, j] == features[:, i] @ features[:, j]``, symmetric.
    """
    f = np.ascontiguousarray(features, dtype=np.float64)
    if f.ndim != 2:
        raise ValueError(f"features must have shape (d, n), got shape {f.shape}")
    return np.ascontiguousarray(unit7.make_ssm(f))


def fuse(ssms, weights=None) -> np.ndarray:
    """Weighted mean of self-similarity matrices of one shape (weights default to equal)."""
    ssms = list(ssms)
    if not ssms:
        raise ValueError("fuse needs at least one matrix")
    if weights is None:
        weights = [1.0] * len(ssms)
    weights = np.asarray(weights, dtype=float)
    if weights.shape != (len(ssms),) or np.any(weights < 0) or weights.sum() <= 0:
        raise ValueError(f"weights must be {len(ssms)} non-negative numbers with a positive sum, got {weights}")
    if len(ssms) == 1:
        return ssms[0]
    shape = np.shape(ssms[0])
    if any(np.shape(s) != shape for s in ssms):
        raise ValueError(f"matrices of different shapes cannot be fused: {[np.shape(s) for s in ssms]}")
    out = np.zeros(shape)
    for s, w in zip(ssms, weights / weights.sum()):
        for i in range(0, shape[0], 512):  # in blocks of rows: no temporary as large as a matrix
            out[i:i + 512] += w * np.asarray(s[i:i + 512], dtype=np.float64)
    return out
