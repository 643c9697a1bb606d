"""Novelty curves: where a self-similarity matrix changes from one block to the next.

Both roads extend the matrix at its edges before sliding their kernel (the checkerboard road
mirrors it, the structure road repeats its first and last columns), so that the first and last
frames are compared with themselves instead of with zeros: a kernel that hangs over the edge of a
zero-padded matrix sees a change that is not in the music.
"""

from __future__ import annotations

import numpy as np
import scipy.ndimage

from velmor import unit7


def _even(frames):
    return max(2, 2 * int(round(frames / 2)))


def _mirrored(ssm, pad):
    n = ssm.shape[0]
    if n < 2:
        return np.pad(ssm, pad, mode="edge")
    return np.pad(ssm, pad, mode="reflect")


def checkerboard_novelty(ssm, kernel_frames) -> np.ndarray:
    """Gaussian-tapered checkerboard novelty along the main diagonal.

    ``novelty[i]`` compares the ``kernel_frames // 2`` frames before ``i`` with those from ``i``
    on: it is high where frame ``i`` begins a block unlike the one before it.

    Parameters
    ----------
    ssm : np.ndarray [shape=(n, n)]
    kernel_frames : int
        Side of the kernel in frames, rounded to an even number of at least 2.

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
    """
    ssm = np.asarray(ssm, dtype=np.float64)
    n = ssm.shape[0]
    if ssm.ndim != 2 or ssm.shape[1] != n:
        raise ValueError(f"ssm must be square, got shape {ssm.shape}")
    if n == 0:
        return np.zeros(0)
    k = _even(kernel_frames)
    pad = k // 2
    padded = np.ascontiguousarray(_mirrored(ssm, pad))
    return np.asarray(unit7.diagonal_novelty(padded, k))[pad:pad + n]


def structure_novelty(ssm, kernel_frames, *, neighbours=0.1, smooth_frames=None) -> np.ndarray:
    """Structure-feature novelty: how the pattern of repetitions changes from frame to frame.

    Each frame's row of the matrix is reduced to its mutual nearest neighbours (the
    ``neighbours`` share of frames most like it), the recurrences are turned into a time-lag
    matrix (``make_lag_matrix``: column ``c`` holds what recurs ``0, 1, 2 ...`` frames after
    ``c``), smoothed along time, and the change of its columns is measured with a derivative
    kernel (``column_derivative``).

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
    """
    ssm = np.asarray(ssm, dtype=np.float64)
    n = ssm.shape[0]
    if n < 3:
        return np.zeros(n)
    kth_rank = max(1, int(round(neighbours * n)))
    # the k-th largest value of each row: a frame recurs where both rows rank the other that high
    kth = np.partition(ssm, n - kth_rank, axis=1)[:, n - kth_rank]
    rec = np.greater_equal(ssm, kth[:, None])
    rec &= ssm >= kth[None, :]
    lag = np.asarray(unit7.make_lag_matrix(rec.astype(np.float64)))
    del rec
    # The derivative kernel reaches half its width past either end; there it meets copies of the
    # first and last columns instead of zeros. Shifting the columns right by h and adding h rows of
    # zero lag (which add nothing to any norm) moves position n of the curve to row n + h. The lag
    # matrix is smoothed straight into that padded one: at most three n x n arrays live at once.
    k = _even(kernel_frames)
    h = k // 2
    padded = np.zeros((n + h, n + 2 * h))
    width = max(1, int(round(smooth_frames if smooth_frames is not None else kernel_frames / 4)))
    if width > 1:
        taps = np.hanning(width + 2)[1:-1]
        taps /= taps.sum()
        scipy.ndimage.convolve1d(lag, taps, axis=1, mode="constant", output=padded[:n, h:h + n])
    else:
        padded[:n, h:h + n] = lag
    del lag
    padded[:n, :h] = padded[:n, h:h + 1]
    padded[:n, h + n:] = padded[:n, h + n - 1:h + n]
    # A column holds about `neighbours` n recurrences: dividing by their root makes the scale of the
    # curve the same for short and long inputs.
    return np.asarray(unit7.column_derivative(padded, k))[h:h + n] / np.sqrt(kth_rank)


def combine(curves, weights=None) -> np.ndarray:
    """Weighted sum of novelty curves, each first divided by its 95th percentile."""
    curves = [np.asarray(c, dtype=np.float64) for c in curves]
    if not curves:
        raise ValueError("combine needs at least one curve")
    if weights is None:
        weights = [1.0] * len(curves)
    out = np.zeros_like(curves[0])
    for c, w in zip(curves, weights):
        if c.shape != out.shape:
            raise ValueError(f"curves of different lengths cannot be combined: {out.shape} and {c.shape}")
        scale = np.percentile(np.abs(c), 95) if c.size else 0.0
        out += w * (c / scale if scale > 0 else c)
    return out
