"""Novelty curves: where a self-similarity matrix changes from one block to the next.

Both roads extend the matrix at its edges before sliding their kernel (the checkerboard road
mirrors it, the structure road repeats its first and last columns), so that the first and last
frames are compared with themselves instead of with zeros: a kernel that hangs over the edge of a
zero-padded matrix sees a change that is not in the music.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import cast

import numpy as np
from numpy.typing import ArrayLike

from velmor import _threads, unit7
from velmor.features import Float64, Floats


def _even(frames: float) -> int:
    return max(2, 2 * int(round(frames / 2)))


def _mirrored(ssm: Float64, pad: int) -> Float64:
    n = ssm.shape[0]
    if n < 2:
        return np.pad(ssm, pad, mode="edge")
    return np.pad(ssm, pad, mode="reflect")


def checkerboard_novelty(ssm: ArrayLike, kernel_frames: float) -> Float64:
    """Gaussian-tapered checkerboard novelty along the main diagonal.

    ``novelty[i]`` compares the ``kernel_frames // 2`` frames before ``i`` with those from ``i``
    on: it is high where frame ``i`` begins a block unlike the one before it.

    Parameters
    ----------
    ssm : np.ndarray [shape=(n, n)]
        A self-similarity matrix.
    kernel_frames : int
        Side of the kernel in frames, rounded to an even number of at least 2.

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
        One value per frame.
    """
    matrix = np.asarray(ssm, dtype=np.float64)
    n = matrix.shape[0]
    if matrix.ndim != 2 or matrix.shape[1] != n:
        raise ValueError(f"ssm must be square, got shape {matrix.shape}")
    if n == 0:
        return np.zeros(0)
    k = _even(kernel_frames)
    pad = k // 2
    padded = np.ascontiguousarray(_mirrored(matrix, pad))
    return np.asarray(unit7.diagonal_novelty(padded, k))[pad:pad + n]


def _derivative_profile(k: int) -> Float64:
    """One row of ``unit7.make_derivative_kernel(1, k)``: a bell over ``k`` frames, summing to 1,
    its first half negated (later frames minus earlier ones)."""
    x = np.linspace(-1.0, 1.0, k)
    q = np.exp(-1.5 * x * x)
    q /= q.sum()
    q[:k // 2] *= -1
    return q


def structure_novelty(ssm: ArrayLike, kernel_frames: float, *, neighbours: float = 0.1,
                      smooth_frames: float | None = None) -> Float64:
    """Structure-feature novelty: how the pattern of repetitions changes from frame to frame.

    Each frame's row of the matrix is reduced to its mutual nearest neighbours (the
    ``neighbours`` share of frames most like it), the recurrences are turned into a time-lag
    matrix (row ``l`` holds, for every frame ``c``, whether frame ``c`` recurs ``l`` frames later,
    circularly: what ``unit7.make_lag_matrix`` gives), each lag is smoothed along time with a Hann
    window of ``smooth_frames`` (default a quarter of the kernel), and the change of the columns is
    measured with the derivative kernel of ``unit7.column_derivative``: the novelty at frame ``c``
    is the length of the vector of per-lag weighted differences around ``c``.

    Smoothing and derivative are one filter along time, applied to every lag at once in the
    frequency domain; beyond the ends the first and last columns repeat. A column holds about
    ``neighbours * n`` recurrences: the curve is divided by their root, so that its scale is the
    same for short and long inputs.

    Parameters
    ----------
    ssm : np.ndarray [shape=(n, n)]
        A symmetric self-similarity matrix, float32 or float64 (float32 is computed in float32).
    kernel_frames : float
        Width of the derivative kernel in frames, rounded to an even number of at least 2.
    neighbours : float
        Share of the frames kept as each frame's nearest neighbours.
    smooth_frames : float or None
        Width of the Hann smoothing along time (default: a quarter of the kernel).

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
        One value per frame.
    """
    import scipy.fft

    given = np.asarray(ssm)
    ssm = cast(Floats, given if given.dtype in (np.dtype(np.float32), np.dtype(np.float64)) else given.astype(np.float64))
    n = int(ssm.shape[0])
    if ssm.ndim != 2 or ssm.shape[1] != n:
        raise ValueError(f"ssm must be square, got shape {ssm.shape}")
    if n < 3:
        return np.zeros(n)
    kth_rank = max(1, int(round(neighbours * n)))
    # the k-th largest value of each row: a frame recurs where both rows rank the other that high
    kth = np.empty(n, dtype=ssm.dtype)

    def kth_largest(a: int, b: int) -> None:
        """Fill ``kth[a:b]``.

        Parameters
        ----------
        a, b : int
            First row and the row past the last.
        """
        kth[a:b] = np.partition(ssm[a:b], n - kth_rank, axis=1)[:, n - kth_rank]

    _threads.split(kth_largest, n, minimum=128)
    rec = np.greater_equal(ssm, kth[:, None])
    rec &= ssm >= kth[None, :]
    # lag[l, c] = rec[(c + l) % n, c]: a strided view of the recurrences stacked twice
    twice = np.concatenate([rec, rec], axis=0)
    del rec
    step = twice.strides
    lag = np.lib.stride_tricks.as_strided(twice, shape=(n, n), strides=(step[0], step[0] + step[1]),
                                          writeable=False)
    h = _even(kernel_frames) // 2
    width = max(1, int(round(smooth_frames if smooth_frames is not None else kernel_frames / 4)))
    half = width // 2
    taps = np.hanning(2 * half + 3)[1:-1]
    taps /= taps.sum()
    fir = np.convolve(taps, _derivative_profile(2 * h))  # smoothing, then derivative
    before = h + half  # filter taps that reach before frame c
    span = n + fir.size - 1
    size = scipy.fft.next_fast_len(span, real=True)
    ext = np.zeros((n, size), dtype=ssm.dtype)
    ext[:, before:before + n] = lag
    ext[:, :before] = lag[:, :1]
    ext[:, before + n:span] = lag[:, -1:]
    del lag, twice
    spectrum = scipy.fft.rfft(ext, axis=1, overwrite_x=True)
    del ext
    spectrum *= np.conj(scipy.fft.rfft(fir.astype(ssm.dtype), size))
    diff = scipy.fft.irfft(spectrum, size, axis=1, overwrite_x=True)[:, :n]
    del spectrum
    norms: Float64 = np.sqrt(np.einsum("ij,ij->j", diff, diff)).astype(np.float64)
    scaled: Float64 = norms / np.sqrt(kth_rank)
    return scaled


def combine(curves: Iterable[ArrayLike], weights: Iterable[float] | None = None) -> Float64:
    """Weighted sum of novelty curves, each first divided by its 95th percentile.

    Parameters
    ----------
    curves : iterable of np.ndarray [shape=(n,)]
        Curves of one length.
    weights : iterable of float or None
        Weight of each curve (None: equal).

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
        The weighted sum.
    """
    arrays: list[Float64] = [np.asarray(c, dtype=np.float64) for c in curves]
    if not arrays:
        raise ValueError("combine needs at least one curve")
    if weights is None:
        weights = [1.0] * len(arrays)
    out = np.zeros_like(arrays[0])
    for c, w in zip(arrays, weights):
        if c.shape != out.shape:
            raise ValueError(f"curves of different lengths cannot be combined: {out.shape} and {c.shape}")
        scale = np.percentile(np.abs(c), 95) if c.size else 0.0
        out += w * (c / scale if scale > 0 else c)
    return out
