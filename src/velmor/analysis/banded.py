"""The banded road: similarity and checkerboard novelty of long inputs.

Memory grows with their length, not its square.

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

import math
import operator
import os
from collections.abc import Iterable
from typing import Any, TypeAlias, TypeGuard, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmor import unit7
from velmor.features import Float64

FeatureInput: TypeAlias = "ArrayLike | Iterable[ArrayLike]"
"""One feature sequence ``(d, n)`` or several of one length."""

DEFAULT_MAX_MEMORY = 2 << 30
"""Bytes the dense road's matrices may take unless told otherwise (at most half of this machine's
memory, see :func:`max_memory`): 2 GiB, which keeps the dense road to inputs of about 7 300 frames
(22 minutes at 5.4 frames/s) and leaves room for other work; longer inputs take the banded road."""

DENSE_COPIES = 5
"""n x n float64 arrays the dense road holds at its peak (the fused matrix, a partition of it, the
recurrences and the padded lag matrix of the structure road; the per-feature matrices, their fusion
and the mirrored copy of the checkerboard road)."""


def max_memory(value: int | str | None = None) -> int:
    """The memory budget in bytes.

    Parameters
    ----------
    value : int, str or None
        Bytes, or a string such as ``"512M"``, ``"4G"``; None: :data:`DEFAULT_MAX_MEMORY`, at
        most half of this machine's memory.

    Returns
    -------
    int
        Bytes.
    """
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


def _is_integer(value: object) -> TypeGuard[int]:
    """Whether ``value`` is a Python or numpy integer (bool included)."""
    return isinstance(value, (int, np.integer))


def parse_bytes(value: int | str) -> int:
    """Read a number of bytes from an int or a string with an optional unit.

    Parameters
    ----------
    value : int or str
        Bytes, or a number with a unit K, M, G or T (powers of 1024; ``B`` and ``iB`` may follow).

    Returns
    -------
    int
        Bytes, positive.
    """
    given = cast(object, value)  # checked as given, whatever its type
    if _is_integer(given) and not isinstance(given, bool):
        n = int(given)
    elif isinstance(given, str):
        text = given.strip().upper().removesuffix("IB").removesuffix("B")
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


def dense_bytes(n_frames: int) -> int:
    """Count the bytes the dense road's matrices take for ``n_frames`` frames.

    Parameters
    ----------
    n_frames : int
        Analysis frames.

    Returns
    -------
    int
        Bytes of :data:`DENSE_COPIES` float64 matrices.
    """
    return DENSE_COPIES * 8 * _integer(n_frames, "n_frames", 0) ** 2


MAX_KERNEL = 8192
"""The widest kernel, in frames, of the banded road (the native loop's limit)."""


def _integer(value: object, name: str, low: int, high: int | None = None) -> int:
    """``value`` as an int in ``low .. high``, or a ValueError naming ``name`` and the range."""
    number: int | None
    try:
        number = operator.index(cast(Any, value))
    except TypeError:
        try:
            x = float(cast(Any, value))
        except (TypeError, ValueError, OverflowError):
            x = math.nan
        number = int(x) if math.isfinite(x) and x.is_integer() else None
    if number is None or number < low or (high is not None and number > high):
        span = f"from {low} to {high}" if high is not None else f"of at least {low}"
        raise ValueError(f"{name} must be an integer {span}, got {value!r}")
    return number


def _frames(value: object, name: str, low: float, high: float) -> float:
    """``value`` as a finite float in ``[low, high]``, or a ValueError naming ``name`` and the range."""
    try:
        x = float(cast(Any, value))
    except (TypeError, ValueError, OverflowError):
        x = math.nan
    if not low <= x <= high:  # NaN fails too
        raise ValueError(f"{name} must be a finite number of frames from {low:g} to {high:g}, got {value!r}")
    return x


def _even(frames: object) -> int:
    # 0 .. MAX_KERNEL rounds to an even side of 2 .. MAX_KERNEL, as the docstrings say
    x = _frames(frames, "kernel_frames", 0, MAX_KERNEL)
    return max(2, 2 * int(round(x / 2)))


def _aligned(a: Float64) -> Float64:
    # A C-contiguous view at an odd address (a slice of a byte buffer) passes ascontiguousarray
    # untouched; the native loops take aligned doubles only.
    return a if a.flags.aligned else a.copy()


def _piece() -> int:
    # np.sum hands numpy's pairwise summation pieces of the buffer size before numpy 2.3, the
    # whole operand from 2.3 on; the loop follows suit so that its sums are np.sum's.
    major, minor = (int(p) for p in np.__version__.split(".")[:2])
    return 0 if (major, minor) >= (2, 3) else int(np.getbufsize())


def _features(features: FeatureInput, weights: ArrayLike | None) -> tuple[list[Float64], list[float]]:
    """The features as C-ordered float64 (d, n) arrays, and fuse's weights, checked."""
    if isinstance(features, np.ndarray):
        sequences: Iterable[ArrayLike] = [cast("NDArray[Any]", features)]
    else:
        sequences = cast("Iterable[ArrayLike]", features)
    arrays: list[Float64] = []
    for f in sequences:
        a = _aligned(np.ascontiguousarray(f, dtype=np.float64))
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
    if w.shape != (len(arrays),) or not np.all(np.isfinite(w)) or np.any(w < 0) or w.sum() <= 0:
        raise ValueError(f"weights must be {len(arrays)} finite non-negative numbers with a positive sum, got {w}")
    if not np.isfinite(w.sum()):  # huge weights: their sum overflows, their shares need not
        w = w / w.max()
    return arrays, [float(x) for x in (w / w.sum()).tolist()]


def similarity_band(features: FeatureInput, weights: ArrayLike | None = None, *, width: int) -> Float64:
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
    width = _integer(width, "width", 1)
    from velmor import _band

    out = np.empty((arrays[0].shape[1], 2 * width - 1))
    _band.band(arrays, w, out)
    return out


def band_of(ssm: ArrayLike, width: int) -> Float64:
    """The band ``|i - j| < width`` of a square matrix, laid out as :func:`similarity_band`'s.

    Parameters
    ----------
    ssm : np.ndarray [shape=(n, n)]
        A square matrix.
    width : int >= 1
        Half-width of the band, the diagonal included.

    Returns
    -------
    band : np.ndarray [shape=(n, 2 * width - 1), dtype=float64]
        ``band[i, width - 1 + o] == ssm[i, i + o]``, 0 outside the matrix.
    """
    matrix: Float64 = np.asarray(ssm, dtype=np.float64)
    if matrix.ndim != 2 or matrix.shape[0] != matrix.shape[1]:
        raise ValueError(f"ssm must be square, got shape {matrix.shape}")
    width = _integer(width, "width", 1)
    n = matrix.shape[0]
    band = np.zeros((n, 2 * width - 1))
    reach = min(width, n)  # diagonals further out lie outside the matrix: zeros
    i = np.arange(n, dtype=np.intp).reshape(n, 1)
    j = i + np.arange(1 - reach, reach, dtype=np.intp).reshape(1, -1)
    inside = (j >= 0) & (j < n)
    band[:, width - reach:width - 1 + reach] = np.where(inside, matrix[i, np.clip(j, 0, max(n - 1, 0))], 0.0)
    return band


def _smooth(smooth_frames: int | None) -> int:
    # No upper bound: the loop visits only the rows a smoothing reaches inside the matrix.
    return 1 if smooth_frames is None else _integer(smooth_frames, "smooth_frames", 1)


def band_novelty(band: ArrayLike, kernel_frames: float, *, smooth_frames: int | None = None) -> Float64:
    """Mirrored checkerboard novelty from a band of a symmetric self-similarity matrix.

    ``band_novelty(band_of(ssm, k), k) == checkerboard_novelty(ssm, k)`` bit for bit, and with
    ``smooth_frames=s`` it is ``checkerboard_novelty(unit7.diagonal_smoothing(ssm, s), k)`` within
    rounding.

    Parameters
    ----------
    band : np.ndarray [shape=(n, 2 * width - 1)]
        As :func:`similarity_band` returns; ``width`` must be at least the kernel's side.
    kernel_frames : float in [0, 8192]
        Side of the kernel, rounded to an even number of at least 2.
    smooth_frames : int >= 1 or None
        Length of the moving average along the diagonals, or None (1) for none.

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
        One value per frame.
    """
    rows: Float64 = _aligned(np.ascontiguousarray(band, dtype=np.float64))
    if rows.ndim != 2 or rows.shape[1] % 2 != 1:
        raise ValueError(f"band must have shape (n, 2 * width - 1), got shape {rows.shape}")
    if not np.all(np.isfinite(rows)):
        raise ValueError("band must hold only finite values")
    k = _even(kernel_frames)
    width = rows.shape[1] // 2 + 1
    if width < k:
        raise ValueError(f"a band of half-width {width} is too narrow for a kernel of {k} frames")
    from velmor import _band

    out = np.empty(rows.shape[0])
    _band.novelty_of_band(rows, _kernel(k), _smooth(smooth_frames), _piece(), out)
    return out


def banded_novelty(features: FeatureInput, kernel_frames: float, *, weights: ArrayLike | None = None,
                   smooth_frames: int | None = None) -> Float64:
    """Mirrored checkerboard novelty of the fused self-similarity of features, without its matrix.

    Equal, within rounding, to ``checkerboard_novelty(fuse([self_similarity(f) for f in
    features], weights), kernel_frames)`` (smoothed first as in :func:`band_novelty`), in memory
    of a few blocks of ``4096 x 2 kernel`` values whatever the length.

    Parameters
    ----------
    features : np.ndarray [shape=(d, n)] or sequence of them
        One column per frame, all with the same ``n``.
    kernel_frames : float in [0, 8192]
        The kernel's side, as for :func:`band_novelty`.
    weights : sequence of float or None
        As for :func:`velmor.analysis.fuse`.
    smooth_frames : int >= 1 or None
        The diagonal smoothing, as for :func:`band_novelty`.

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
        One value per frame.
    """
    arrays, w = _features(features, weights)
    from velmor import _band

    out = np.empty(arrays[0].shape[1])
    _band.novelty(arrays, w, _kernel(_even(kernel_frames)), _smooth(smooth_frames), _piece(), out)
    return out


def _kernel(k: int) -> Float64:
    if k > MAX_KERNEL:
        raise ValueError(f"the kernel may be at most {MAX_KERNEL} frames wide, got {k}")
    return np.ascontiguousarray(unit7.make_checkerboard(k, True, True), dtype=np.float64)


def banded_structure_novelty(features: FeatureInput, kernel_frames: float, *, lags: int,
                             weights: ArrayLike | None = None, neighbours: float = 0.4,
                             smooth_frames: float | None = None, block: int = 8192) -> Float64:
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
        One column per frame, all with the same ``n``.
    kernel_frames : float in [0, 8192]
        Width of the derivative kernel, rounded to an even number of at least 2.
    lags : int >= 1
        Repetitions are looked for within this many frames.
    weights : sequence of float or None
        As for :func:`velmor.analysis.fuse`.
    neighbours : float in (0, 1]
        Share of the frames within ``lags`` kept as each frame's nearest neighbours.
    smooth_frames : float in [0, 8192] or None
        Width of the Hann smoothing along time, rounded to a whole number of at least 1 (default: a
        quarter of the kernel).
    block : int >= 1
        Frames computed at a time.

    Returns
    -------
    novelty : np.ndarray [shape=(n,), dtype=float64]
        One value per frame.
    """
    import scipy.ndimage
    import scipy.signal

    from velmor import _band

    arrays, w = _features(features, weights)
    n = int(arrays[0].shape[1])
    try:
        share = float(neighbours)
    except (TypeError, ValueError):
        share = math.nan
    if not 0 < share <= 1:  # NaN fails too
        raise ValueError(f"neighbours must be a share in (0, 1], got {neighbours!r}")
    lags = _integer(lags, "lags", 1)
    block = _integer(block, "block", 1)
    k = _even(kernel_frames)
    # the Hann taps are built whole and run over every lag row: bounded like the kernel
    default = float(kernel_frames) / 4  # checked by _even
    smooth_width = _frames(smooth_frames if smooth_frames is not None else default, "smooth_frames", 0, MAX_KERNEL)
    if n < 3:
        return np.zeros(n)
    lag = min(lags, n)
    width = 2 * lag - 1
    h = k // 2
    smooth = max(1, int(round(smooth_width)))
    taps = np.hanning(smooth + 2)[1:-1]
    taps /= taps.sum()
    g = np.asarray(unit7.make_derivative_kernel(1, k), dtype=np.float64)[0]
    rank = max(1, int(round(share * min(n, width))))
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
        inside: NDArray[np.bool_] = (np.arange(r0, r1)[:, None] + offsets[None, :] >= 0) & (np.arange(r0, r1)[:, None] + offsets[None, :] < n)
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
        rec: NDArray[np.bool_] = (mine >= kth[a - r0:b - r0, None]) & (mine >= theirs[:b - a]) & inside[a - r0:b - r0]
        del band, mine, inside
        first, last = t0 - h - x0, (t1 + h - 1) - x1  # edge columns to repeat (negative: none)
        if a == x0 - trail and b == x1 + lead and first == 0 and last == 0:
            # inside the input: smoothing and derivative are one convolution
            response: Float64 = scipy.signal.fftconvolve(rec.astype(np.float64), both[::-1, None], mode="valid", axes=0)
        else:
            lagged: Float64 = scipy.ndimage.convolve1d(rec.astype(np.float64), taps, axis=0, mode="constant")
            lagged = lagged[x0 - a:x1 - a]
            if first < 0 or last > 0:
                lagged = np.concatenate([np.repeat(lagged[:1], max(0, -first), axis=0), lagged,
                                         np.repeat(lagged[-1:], max(0, last), axis=0)])
            response = cast(Float64, scipy.signal.fftconvolve(lagged, g[::-1, None], mode="valid", axes=0))
        out[t0:t1] = np.sqrt(np.einsum("ij,ij->i", response, response))
    scaled: Float64 = out / np.sqrt(rank)
    return scaled
