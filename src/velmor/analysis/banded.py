"""The banded road: similarity and checkerboard novelty of long inputs, in memory that grows with
their length, not its square.

A checkerboard of side ``k`` slid along the diagonal reads only the cells ``|i - j| < k`` of a
self-similarity matrix, and so does smoothing along its diagonals. This road computes that band
straight from the features, a block of frames at a time (never the whole matrix, and never a
product larger than a block), in a native loop that runs without the GIL.

    similarity_band        the band of the fused cosine self-similarity, ``(n, 2 width - 1)``
    band_novelty           checkerboard novelty from a band (as :func:`checkerboard_novelty`)
    banded_novelty         checkerboard novelty straight from the features, never storing the band
    banded_structure_novelty  structure-feature novelty with repetitions looked for within a band
    dense_bytes            memory the dense road of a method needs for ``n`` frames
    DEFAULT_MAX_MEMORY     the budget the dense road must fit in unless told otherwise

Both novelty functions give :func:`velmor.analysis.checkerboard_novelty`'s curve of the same matrix
(mirrored at its edges, optionally smoothed with ``unit7.diagonal_smoothing`` first): from a band
of the same values, bit for bit without smoothing (the same products summed in numpy's pairwise
order) and within rounding with it; from features, within rounding, since the dense road's matrix
product sums each cosine in the BLAS's own order.

Memory is ``O(n * kernel)`` for :func:`similarity_band` and ``O(block * kernel)`` for
:func:`banded_novelty`; time is ``O(n * kernel * d)`` for the band and ``O(n * kernel**2)`` for the
checkerboard.
"""

from __future__ import annotations

import os

import numpy as np
import scipy.ndimage

from velmor import unit7

DEFAULT_MAX_MEMORY = 2 << 30
"""Bytes the dense road's matrices may take unless told otherwise (at most half of this machine's
memory, see :func:`max_memory`): 2 GiB, which keeps the dense road to inputs of about 7 300 frames
(22 minutes at 5.4 frames/s) and leaves room for other work; longer inputs take the banded road."""

DENSE_COPIES = 5
"""n x n float64 arrays the dense road holds at its peak (the fused matrix, a partition of it, the
recurrences and the padded lag matrix of the structure road; the per-feature matrices, their fusion
and the mirrored copy of the checkerboard road)."""


def max_memory(value=None) -> int:
    """The budget in bytes: ``value`` (bytes, or a string such as ``"512M"``, ``"4G"``), else the
    default, in both cases no more than half of this machine's memory."""
    if value is None:
        budget = DEFAULT_MAX_MEMORY
    else:
        budget = parse_bytes(value)
    try:
        half = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2
    except (ValueError, OSError, AttributeError):
        return budget
    return budget if value is not None else min(budget, half)


_UNITS = {"": 1, "B": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def parse_bytes(value) -> int:
    """A number of bytes from an int or a string with an optional unit (K, M, G, T; powers of 1024)."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        n = int(value)
    elif isinstance(value, str):
        text = value.strip().upper().removesuffix("IB").removesuffix("B")
        unit = text[-1:] if text[-1:] in _UNITS else ""
        try:
            number = float(text[:len(text) - len(unit)])
        except ValueError:
            raise ValueError(f"memory must be a number of bytes with an optional unit (K, M, G, T), got {value!r}") from None
        if not np.isfinite(number):
            raise ValueError(f"memory must be finite, got {value!r}")
        n = int(number * _UNITS[unit])
    else:
        raise TypeError(f"memory must be an int or a string such as '4G', got {type(value).__name__}")
    if n <= 0:
        raise ValueError(f"memory must be positive, got {value!r}")
    return n


def dense_bytes(n_frames) -> int:
    """Bytes the dense road's matrices take for ``n_frames`` frames."""
    return DENSE_COPIES * 8 * int(n_frames) ** 2


def _even(frames):
    return max(2, 2 * int(round(frames / 2)))


def _piece():
    # np.sum hands numpy's pairwise summation pieces of the buffer size before numpy 2.3, the
    # whole operand from 2.3 on; the loop follows suit so that its sums are np.sum's.
    major, minor = (int(p) for p in np.__version__.split(".")[:2])
    return 0 if (major, minor) >= (2, 3) else int(np.getbufsize())


def _features(features, weights):
    """The features as C-ordered float64 (d, n) arrays, and fuse's weights, checked."""
    if isinstance(features, np.ndarray):
        features = [features]
    arrays = []
    for f in features:
        a = np.ascontiguousarray(f, dtype=np.float64)
        if a.ndim != 2:
            raise ValueError(f"features must have shape (d, n), got shape {a.shape}")
        if not np.all(np.isfinite(a)):
            raise ValueError("features must hold only finite values")
        arrays.append(a)
    if not arrays:
        raise ValueError("banded similarity needs at least one feature")
    if len({a.shape[1] for a in arrays}) > 1:
        raise ValueError(f"features of different lengths cannot be fused: {[a.shape for a in arrays]}")
    w = np.ones(len(arrays)) if weights is None else np.asarray(weights, dtype=float)
    if w.shape != (len(arrays),) or np.any(w < 0) or w.sum() <= 0:
        raise ValueError(f"weights must be {len(arrays)} non-negative numbers with a positive sum, got {w}")
    return arrays, [float(x) for x in w / w.sum()]


def similarity_band(features, weights=None, *, width) -> np.ndarray:
    """The band ``|i - j| < width`` of the fused cosine self-similarity of feature sequences.

    Parameters
    ----------
    features : np.ndarray [shape=(d, n)] or sequence of them
        One column per frame (unit columns give cosines), all with the same ``n``.
    weights : sequence of float or None
        As for :func:`velmor.analysis.fuse` (None: equal).
    width : int >= 1
        Half-width of the band, the diagonal included.

    Returns
    -------
    band : np.ndarray [shape=(n, 2 * width - 1), dtype=float64]
        ``band[i, width - 1 + o] == ssm[i, i + o]`` for ``|o| < width``, 0 where ``i + o`` is
        outside the matrix; ``ssm`` is ``fuse([self_similarity(f) for f in features], weights)``
        within rounding.
    """
    arrays, w = _features(features, weights)
    width = int(width)
    if width < 1:
        raise ValueError(f"width must be at least 1, got {width}")
    from velmor import _band

    out = np.empty((arrays[0].shape[1], 2 * width - 1))
    _band.band(arrays, w, out)
    return out


def band_of(ssm, width) -> np.ndarray:
    """The band ``|i - j| < width`` of a square matrix, laid out as :func:`similarity_band`'s."""
    ssm = np.asarray(ssm, dtype=np.float64)
    n = ssm.shape[0]
    if ssm.ndim != 2 or ssm.shape[1] != n:
        raise ValueError(f"ssm must be square, got shape {ssm.shape}")
    band = np.zeros((n, 2 * width - 1))
    for o in range(-width + 1, width):
        d = np.diagonal(ssm, o)
        rows = np.arange(max(0, -o), max(0, -o) + d.size)
        band[rows, width - 1 + o] = d
    return band


def _smooth(smooth_frames):
    s = 1 if smooth_frames is None else int(smooth_frames)
    if s < 1:
        raise ValueError(f"smooth_frames must be at least 1, got {smooth_frames}")
    return s


def band_novelty(band, kernel_frames, *, smooth_frames=None) -> np.ndarray:
    """Mirrored checkerboard novelty from a band of a symmetric self-similarity matrix.

    ``band_novelty(band_of(ssm, k), k) == checkerboard_novelty(ssm, k)`` bit for bit, and with
    ``smooth_frames=s`` it is ``checkerboard_novelty(unit7.diagonal_smoothing(ssm, s), k)`` within
    rounding.

    Parameters
    ----------
    band : np.ndarray [shape=(n, 2 * width - 1)]
        As :func:`similarity_band` returns; ``width`` must be at least the kernel's side.
    kernel_frames : int
        Side of the kernel, rounded to an even number of at least 2.
    smooth_frames : int or None
        Length of the moving average along the diagonals, or None (1) for none.

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
    """
    band = np.ascontiguousarray(band, dtype=np.float64)
    if band.ndim != 2 or band.shape[1] % 2 != 1:
        raise ValueError(f"band must have shape (n, 2 * width - 1), got shape {band.shape}")
    if not np.all(np.isfinite(band)):
        raise ValueError("band must hold only finite values")
    k = _even(kernel_frames)
    width = band.shape[1] // 2 + 1
    if width < k:
        raise ValueError(f"a band of half-width {width} is too narrow for a kernel of {k} frames")
    from velmor import _band

    out = np.empty(band.shape[0])
    _band.novelty_of_band(band, _kernel(k), _smooth(smooth_frames), _piece(), out)
    return out


def banded_novelty(features, kernel_frames, *, weights=None, smooth_frames=None) -> np.ndarray:
    """Mirrored checkerboard novelty of the fused self-similarity of features, without its matrix.

    Equal, within rounding, to ``checkerboard_novelty(fuse([self_similarity(f) for f in
    features], weights), kernel_frames)`` (smoothed first as in :func:`band_novelty`), in memory
    of a few blocks of ``4096 x 2 kernel`` values whatever the length.

    Parameters
    ----------
    features : np.ndarray [shape=(d, n)] or sequence of them
    kernel_frames : int
        Side of the kernel, rounded to an even number of at least 2.
    weights : sequence of float or None
        As for :func:`velmor.analysis.fuse`.
    smooth_frames : int or None
        Length of the moving average along the diagonals, or None (1) for none.

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
    """
    arrays, w = _features(features, weights)
    from velmor import _band

    out = np.empty(arrays[0].shape[1])
    _band.novelty(arrays, w, _kernel(_even(kernel_frames)), _smooth(smooth_frames), _piece(), out)
    return out


def _kernel(k):
    if k > 8192:
        raise ValueError(f"the kernel may be at most 8192 frames wide, got {k}")
    return np.ascontiguousarray(unit7.make_checkerboard(k, True, True), dtype=np.float64)


def banded_structure_novelty(features, kernel_frames, *, lags, weights=None, neighbours=0.4, smooth_frames=None,
                             block=8192) -> np.ndarray:
    """Structure-feature novelty with the repetitions looked for within ``lags`` frames only.

    The road of :func:`velmor.analysis.structure_novelty` on the band ``|i - j| < lags`` of the fused
    self-similarity: each frame keeps as recurrences its mutual nearest neighbours among the frames
    within ``lags`` of it (the ``neighbours`` share of them), the recurrences of frame ``c`` at lag
    ``o`` form lag row ``o`` of its column (``-lags < o < lags``; past the ends of the input, none),
    each lag row is smoothed along time, and the curve is the norm of the derivative kernel's
    response across all lag rows, divided by the root of the neighbour count. With ``lags`` at
    least the input's length it looks for repetitions anywhere, as the dense road does, but without
    its wrap-around of lags. Computed a block of ``block`` frames at a time: memory grows with
    ``block * lags``, time with ``n * lags * (d + log(kernel))``.

    Parameters
    ----------
    features : np.ndarray [shape=(d, n)] or sequence of them
    kernel_frames : int
        Width of the derivative kernel, rounded to an even number of at least 2.
    lags : int
        Repetitions are looked for within this many frames.
    weights : sequence of float or None
        As for :func:`velmor.analysis.fuse`.
    neighbours : float in (0, 1]
        Share of the frames within ``lags`` kept as each frame's nearest neighbours.
    smooth_frames : int or None
        Width of the Hann smoothing along time (default: a quarter of the kernel).

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
    """
    import scipy.signal

    from velmor import _band

    arrays, w = _features(features, weights)
    n = arrays[0].shape[1]
    if not 0 < neighbours <= 1:
        raise ValueError(f"neighbours must be a share in (0, 1], got {neighbours}")
    if int(lags) < 1:
        raise ValueError(f"lags must be at least 1, got {lags}")
    if n < 3:
        return np.zeros(n)
    lag = min(int(lags), n)
    width = 2 * lag - 1
    k = _even(kernel_frames)
    h = k // 2
    smooth = max(1, int(round(smooth_frames if smooth_frames is not None else kernel_frames / 4)))
    taps = np.hanning(smooth + 2)[1:-1]
    taps /= taps.sum()
    g = np.asarray(unit7.make_derivative_kernel(1, k), dtype=np.float64)[0]
    rank = max(1, int(round(neighbours * min(n, width))))
    # response[m] = sum_j g[j] smoothed[m + j], smoothed[c] = sum_u taps[u] rec[c + lead - u]: one
    # kernel over rec[m - trail .. m + k - 1 + lead]
    both = np.convolve(g, taps[::-1])
    lead, trail = smooth // 2, smooth - 1 - smooth // 2  # convolve1d's centring of the taps
    offsets = np.arange(-lag + 1, lag)
    out = np.empty(n)
    for t0 in range(0, n, block):
        t1 = min(n, t0 + block)
        # the smoothed lag columns of frames t0 - h .. t1 + h - 2 (edge columns repeated past the
        # ends), from the recurrences of frames a .. b - 1, from the band of frames a - lag + 1 ..
        # b + lag - 2 and their neighbour thresholds
        x0, x1 = max(0, t0 - h), min(n, t1 + h - 1)
        a, b = max(0, x0 - trail), min(n, x1 + lead)
        r0, r1 = max(0, a - lag + 1), min(n, b + lag - 1)
        band = np.empty((r1 - r0, width))
        _band.band(arrays, w, band, r0)
        inside = (np.arange(r0, r1)[:, None] + offsets[None, :] >= 0) & (np.arange(r0, r1)[:, None] + offsets[None, :] < n)
        band[~inside] = -np.inf
        # the rank-th largest of each row (frames out of reach, -inf, rank below every frame); rows
        # near the ends with fewer frames than that in reach keep them all
        kth = np.partition(band, width - rank, axis=1)[:, width - rank]
        few = inside.sum(axis=1) < rank
        if few.any():
            kth[few] = np.where(inside[few], band[few], np.inf).min(axis=1)
        mine = band[a - r0:b - r0]
        theirs = np.lib.stride_tricks.sliding_window_view(
            np.concatenate([np.full(lag - 1 - (a - r0), np.inf), kth, np.full(lag - 1 - (r1 - b), np.inf)]), width)
        rec = (mine >= kth[a - r0:b - r0, None]) & (mine >= theirs[:b - a]) & inside[a - r0:b - r0]
        del band, mine, inside
        first, last = t0 - h - x0, (t1 + h - 1) - x1  # edge columns to repeat (negative: none)
        if a == x0 - trail and b == x1 + lead and first == 0 and last == 0:
            # inside the input: smoothing and derivative are one convolution
            response = scipy.signal.fftconvolve(rec.astype(np.float64), both[::-1, None], mode="valid", axes=0)
        else:
            lagged = scipy.ndimage.convolve1d(rec.astype(np.float64), taps, axis=0, mode="constant")
            lagged = lagged[x0 - a:x1 - a]
            if first < 0 or last > 0:
                lagged = np.concatenate([np.repeat(lagged[:1], max(0, -first), axis=0), lagged,
                                         np.repeat(lagged[-1:], max(0, last), axis=0)])
            response = scipy.signal.fftconvolve(lagged, g[::-1, None], mode="valid", axes=0)
        out[t0:t1] = np.sqrt(np.einsum("ij,ij->i", response, response))
    return out / np.sqrt(rank)
