"""From a novelty curve to boundaries: peak selection, and refinement on a finer time grid."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmor import unit7
from velmor.features import Float64

from .frontend import FeatureFrames
from .novelty import checkerboard_novelty
from .similarity import fuse, self_similarity


def _odd(frames: float) -> int:
    return whole_frames(frames, 1.0, "odd")


def whole_frames(seconds: float, rate: float, parity: str | None = None) -> int:
    """A length in seconds as whole frames at ``rate`` frames per second.

    Parameters
    ----------
    seconds : float
        The length.
    rate : float
        Frames per second.
    parity : {None, "even", "odd"}
        None: the nearest whole number of frames, at least 1; ``"even"``: the nearest even one, at
        least 2 (a checkerboard kernel); ``"odd"``: the nearest odd one (a window centred on a frame).

    Returns
    -------
    int
        Frames.
    """
    x = seconds * rate
    if parity == "even":
        return max(2, 2 * round(x / 2))
    if parity == "odd":
        return max(1, 2 * round((x - 1) / 2) + 1)
    return max(1, round(x))


def _moving_mean(x: Float64, width: int, trusted: tuple[int, int] | None = None) -> Float64:
    """Centred mean over ``width`` samples; near the ends, over the samples that exist. With
    ``trusted`` a pair ``(a, b)``, only samples ``a <= i < b`` count (and a sample whose window
    holds none of them takes the mean of the nearest ``width`` trusted ones)."""
    if trusted is None:
        trusted = (0, x.size)
    a, b = max(0, trusted[0]), min(x.size, trusted[1])
    if b <= a:
        a, b = 0, x.size
    half = width // 2
    sums = np.concatenate([[0.0], np.cumsum(x[a:b])])
    i = np.arange(x.size)
    lo = np.clip(i - half, a, b) - a
    hi = np.clip(i + half + 1, a, b) - a
    # windows that fall wholly outside the trusted samples slide back onto them
    empty = hi <= lo
    lo[empty] = np.clip(np.where(i[empty] < a, 0, b - a - width), 0, b - a)
    hi[empty] = np.minimum(lo[empty] + width, b - a)
    means: Float64 = (sums[hi] - sums[lo]) / (hi - lo)
    return means


def select_peaks(novelty: ArrayLike, rate: float, *, spacing: float = 6.0, window: float = 24.0, delta: float = 0.5,
                 floor: float = 0.0, margin: float = 1.0, count: int | None = None, overhang: float = 0.0
                 ) -> NDArray[np.intp]:
    """Select the frames of the novelty peaks that stand out from their surroundings.

    A peak is the strict maximum of the ``spacing`` seconds centred on it
    (``unit7.find_region_peaks``); it becomes a boundary when it rises above the mean of the
    ``window`` seconds around it by ``delta`` times the spread of the curve (the standard
    deviation of that rise over the interior) and its value is at least ``floor``. Neither the
    threshold nor the spread depends on the curve's largest value, so one tall value, such as an
    edge effect, steers nothing; peaks within ``margin`` seconds of either end are never
    boundaries.

    Parameters
    ----------
    novelty : np.ndarray [shape=(n,)]
        The curve.
    rate : float
        Frames per second of the curve.
    spacing, window : float
        Width of a peak's region, and of the mean it must rise above, in seconds.
    delta : float
        Threshold of the rise, in units of its spread.
    floor : float
        Smallest novelty value of a boundary (with :func:`checkerboard_novelty` of a cosine
        matrix, 0.5 is a change from identical frames to orthogonal ones).
    margin : float
        Seconds at either end without boundaries.
    count : int or None
        If given, exactly ``min(count, number of interior frames)`` boundaries are returned: the
        peaks with the largest rise, then (if there are too few peaks) the remaining interior
        frames with the largest rise that keep ``spacing`` apart, then any.
    overhang : float
        Seconds at either end where the kernel behind the curve hung over the edge of the
        signal: values there do not count towards the mean a peak must rise above (the curve
        of a kernel that meets the edge can climb towards it and would raise the bar for every
        real peak nearby), though peaks there may still be boundaries.

    Returns
    -------
    frames : np.ndarray [shape=(k,), dtype=intp]
        Increasing.
    """
    x = np.asarray(novelty, dtype=np.float64)
    if x.ndim != 1:
        raise ValueError(f"novelty must be one-dimensional, got shape {x.shape}")
    if not (np.isfinite(rate) and rate > 0):
        raise ValueError(f"rate must be positive, got {rate}")
    if count is not None and (int(count) != count or count < 0):
        raise ValueError(f"count must be a non-negative integer, got {count!r}")
    n = x.size
    edge = int(np.ceil(margin * rate))
    lo, hi = min(edge, n), max(min(edge, n), n - edge)
    if hi <= lo:
        return np.zeros(0, dtype=np.intp)
    x = np.where(np.isfinite(x), x, 0.0)
    reach = int(np.ceil(overhang * rate))
    rise = x - _moving_mean(x, _odd(window * rate), (reach, n - reach))
    region = _odd(spacing * rate)
    peaks = np.asarray(unit7.find_region_peaks(x, region), dtype=np.intp)
    peaks = peaks[(peaks >= lo) & (peaks < hi)]
    if count is None:
        inner = rise[max(lo, reach):min(hi, n - reach)]
        spread = (inner if inner.size > 1 else rise[lo:hi]).std()
        return peaks[(rise[peaks] > delta * spread) & (x[peaks] >= floor)] if spread > 0 else peaks[:0]

    count = min(int(count), hi - lo)
    chosen = list(peaks[np.argsort(-rise[peaks], kind="stable")][:count])
    if len(chosen) < count:  # too few peaks: the best-rising frames that keep their distance
        taken = np.zeros(n, dtype=bool)
        taken[chosen] = True
        half = region // 2
        for i in np.argsort(-rise[lo:hi], kind="stable") + lo:
            if len(chosen) == count:
                break
            if not taken[max(0, i - half):i + half + 1].any():
                chosen.append(i)
                taken[i] = True
        for i in np.argsort(-rise[lo:hi], kind="stable") + lo:
            if len(chosen) == count:
                break
            if not taken[i]:
                chosen.append(i)
                taken[i] = True
    return np.sort(np.asarray(chosen, dtype=np.intp))


def refine(times: ArrayLike, fine: FeatureFrames, weights: ArrayLike | None = None, *, kernel: float = 3.0,
           radius: float = 1.0) -> Float64:
    """Move each boundary to the strongest change within ``radius`` seconds on a finer grid.

    Around each boundary a small self-similarity matrix of the ``fine`` features (fused with
    ``weights``, as :func:`velmor.analysis.fuse`) gives a checkerboard novelty with a kernel of
    ``kernel`` seconds; the boundary moves to its maximum within ``radius`` seconds.

    Parameters
    ----------
    times : np.ndarray [shape=(k,)]
        Boundaries in seconds.
    fine : FeatureFrames
        Features at a finer rate than the one the boundaries were found at.
    weights : sequence of float or None
        Weight of each feature's similarity (None: equal).
    kernel : float
        Side of the checkerboard in seconds.
    radius : float
        How far a boundary may move, in seconds.

    Returns
    -------
    times : np.ndarray [shape=(k',), dtype=float64]
        Increasing, without duplicates (two boundaries that meet become one).
    """
    given: Float64 = np.asarray(times, dtype=np.float64)
    n = fine.n_frames
    if given.size == 0 or n == 0:
        return given.copy()
    half_kernel = max(1, int(round(kernel * fine.rate / 2)))
    reach = max(1, int(round(radius * fine.rate)))
    names = list(fine.features)
    out: list[int] = []
    for f in fine.frames_of(given).tolist():
        a, b = max(0, f - reach - half_kernel), min(n, f + reach + half_kernel + 1)
        if b - a < 4:
            out.append(f)
            continue
        local = fuse([self_similarity(fine.features[k][:, a:b]) for k in names], weights)
        nov = checkerboard_novelty(local, 2 * half_kernel)
        s, e = max(a, f - reach) - a, min(b, f + reach + 1) - a
        out.append(a + s + int(np.argmax(nov[s:e])) if e > s else f)
    return np.unique(fine.boundary_times(np.asarray(out)))
