"""Self-similarity matrices of feature sequences, and their fusion."""

from __future__ import annotations

import numpy as np

from velmor import unit7


WHOLE_PRODUCT_FRAMES = 8192
"""Inputs up to this many frames get their matrix from one product (``unit7.make_ssm``); longer
ones from blocks of rows."""

_BLOCK = 2048


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
    if f.shape[1] <= WHOLE_PRODUCT_FRAMES:
        return np.ascontiguousarray(unit7.make_ssm(f))
    # A long input: the threaded BLAS has been seen to crash on one product of this size, so it is
    # handed the blocks below the diagonal one at a time, and they are mirrored above it (which
    # keeps the matrix exactly symmetric, as the one product's is).
    return _blockwise_gram(f)


def _blockwise_gram(f):
    """``f.T @ f`` from blocks below the diagonal, mirrored above it (exactly symmetric)."""
    n = f.shape[1]
    out = np.empty((n, n), dtype=f.dtype)
    for i in range(0, n, _BLOCK):
        rows = f[:, i:i + _BLOCK].T
        for j in range(0, i + 1, _BLOCK):
            block = rows @ f[:, j:j + _BLOCK]
            if i == j:  # its lower triangle, mirrored
                block = np.tril(block) + np.tril(block, -1).T
            out[i:i + _BLOCK, j:j + _BLOCK] = block
            out[j:j + _BLOCK, i:i + _BLOCK] = block.T
    return out


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


def fused_similarity(features, weights=None, *, dtype=np.float64) -> np.ndarray:
    """The fused self-similarity of several feature sequences in one matrix product.

    Equal, up to rounding, to ``fuse([self_similarity(f) for f in features], weights)``: each
    sequence is scaled by the root of its share of the weights and the sequences are stacked, so
    that the weighted sum of their cosines is one product, with one matrix and no temporaries as
    large as it.

    Parameters
    ----------
    features : sequence of np.ndarray [shape=(d_i, n)]
        Sequences of one length, with unit (or zero) columns.
    weights : sequence of float or None
        Weight of each sequence's similarity (None: equal).
    dtype : np.float32 or np.float64
        Precision of the product and of the result.

    Returns
    -------
    ssm : np.ndarray [shape=(n, n)]
        Symmetric.
    """
    features = [np.asarray(f) for f in features]
    if not features:
        raise ValueError("fused_similarity needs at least one feature sequence")
    if any(f.ndim != 2 for f in features) or len({f.shape[1] for f in features}) != 1:
        raise ValueError(f"feature sequences must be (d, n) arrays of one length, got {[f.shape for f in features]}")
    if weights is None:
        weights = [1.0] * len(features)
    weights = np.asarray(weights, dtype=float)
    if weights.shape != (len(features),) or np.any(weights < 0) or weights.sum() <= 0:
        raise ValueError(f"weights must be {len(features)} non-negative numbers with a positive sum, got {weights}")
    scales = np.sqrt(weights / weights.sum())
    stacked = np.vstack([(s * f).astype(dtype, copy=False) for s, f in zip(scales, features)])
    if stacked.shape[1] > WHOLE_PRODUCT_FRAMES:  # no single huge product for the threaded BLAS
        return _blockwise_gram(stacked)
    # X.T @ X is computed as a symmetric rank-k update: the result is exactly symmetric
    return stacked.T @ stacked
