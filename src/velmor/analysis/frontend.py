"""The front end of an analysis: one spectrogram, the features a method asks for, pooled in time.

Every feature comes from one magnitude spectrogram (:func:`velmor.features.spectrogram`) and is
averaged over blocks of ``pool`` spectrogram frames, which gives the analysis rate
``ANALYSIS_SR / (hop_length * pool)`` frames per second. Frame ``i`` of the result is centred at
``offset + i / rate`` seconds, so a change between frames ``i - 1`` and ``i`` lies at
``offset + (i - 0.5) / rate`` (:meth:`FeatureFrames.boundary_times`).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Iterable
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmor import features
from velmor.audio import ANALYSIS_SR as ANALYSIS_SR
from velmor.audio import to_analysis_rate as as_analysis_signal
from velmor.features import Float64, Floats

FEATURES = ("mfcc", "chroma", "cens")
"""Names of the features :func:`feature_frames` computes."""


@dataclasses.dataclass(frozen=True, eq=False)
class FeatureFrames:
    """Features of one signal at one frame rate.

    Attributes
    ----------
    features : dict of str to np.ndarray [shape=(d, n)]
        Each feature with one column per frame, all with the same ``n``.
    rate : float
        Frames per second.
    offset : float
        Time of the centre of frame 0, in seconds.
    duration : float
        Length of the signal in seconds.
    """

    features: dict[str, Float64]
    rate: float
    offset: float
    duration: float

    @property
    def n_frames(self) -> int:
        """The number of frames (columns) of every feature.

        Returns
        -------
        int
            0 without features.
        """
        return next(iter(self.features.values())).shape[1] if self.features else 0

    def boundary_times(self, frames: ArrayLike) -> Float64:
        """The times in seconds of changes that begin at the given frames (between ``i - 1`` and ``i``).

        Parameters
        ----------
        frames : array_like of int
            Frames at which changes begin.

        Returns
        -------
        np.ndarray [dtype=float64]
            Seconds, clipped to the signal.
        """
        t = self.offset + (np.asarray(frames, dtype=float) - 0.5) / self.rate
        return np.clip(t, 0.0, self.duration)

    def frames_of(self, seconds: ArrayLike) -> NDArray[np.intp]:
        """The frame at which a change at each time in seconds begins (inverse of boundary_times).

        Parameters
        ----------
        seconds : array_like of float
            Times of changes.

        Returns
        -------
        np.ndarray [dtype=intp]
            The nearest frames.
        """
        return np.rint((np.asarray(seconds, dtype=float) - self.offset) * self.rate + 0.5).astype(np.intp)


def pool_frames(values: Floats, pool: int) -> Float64:
    """Mean of every block of ``pool`` columns; the last block may be shorter.

    Parameters
    ----------
    values : np.ndarray [shape=(d, n)]
        One column per frame.
    pool : int
        Columns per block, at least 1.

    Returns
    -------
    np.ndarray [shape=(d, ceil(n / pool))]
        The block means.
    """
    n = int(values.shape[1])
    if pool == 1 or n == 0:
        return np.array(values, dtype=float)
    starts = np.arange(0, n, pool)
    counts = np.minimum(pool, n - starts)
    return np.add.reduceat(values, starts, axis=1) / counts


def unit_columns(values: Float64) -> Float64:
    """Scale columns to unit length; zero columns stay zero.

    Parameters
    ----------
    values : np.ndarray [shape=(d, n)]
        One column per frame.

    Returns
    -------
    np.ndarray [shape=(d, n)]
        A new array.
    """
    norms = np.linalg.norm(values, axis=0)
    scaled: Float64 = np.divide(values, norms, out=np.zeros_like(values), where=norms > 0)
    return scaled


@dataclasses.dataclass(frozen=True, eq=False)
class RawFeatures:
    """Features at the spectrogram's own rate, before pooling.

    What :func:`pooled` starts from, so that one spectrogram serves analyses at several rates.

    Attributes
    ----------
    features : dict of str to np.ndarray [shape=(d, n)]
        ``"mfcc"`` and/or ``"chroma"``, one column per spectrogram frame.
    hop_length, n_fft : int
        Framing of the spectrogram, in samples at :data:`ANALYSIS_SR`.
    duration : float
        Length of the signal in seconds.
    """

    features: dict[str, Float64]
    hop_length: int
    n_fft: int
    duration: float


def raw_features(signal: ArrayLike, sr: float, names: Iterable[str], *, n_fft: int = 4096, hop_length: int = 1024,
                 n_mfcc: int = 20) -> RawFeatures:
    """Compute MFCCs (without coefficient 0) and chroma of a signal, at the spectrogram's rate.

    Parameters
    ----------
    signal : array_like [shape=(n,)]
        Mono samples; left untouched.
    sr : float
        Sample rate of ``signal`` in Hz.
    names : iterable of str
        Any of :data:`FEATURES` (``"cens"`` and ``"chroma"`` both need the chroma).
    n_fft, hop_length : int
        Framing of the spectrogram, in samples at :data:`ANALYSIS_SR`.
    n_mfcc : int
        MFCCs computed (coefficient 0 is then dropped).

    Returns
    -------
    RawFeatures
        The features at the spectrogram's rate.
    """
    names = tuple(names)
    unknown = [n for n in names if n not in FEATURES]
    if unknown or not names:
        raise ValueError(f"features must be a non-empty choice of {', '.join(FEATURES)}; got {names!r}")
    y = as_analysis_signal(signal, sr)
    S = features.spectrogram(y, ANALYSIS_SR, n_fft=n_fft, hop_length=hop_length)
    raw: dict[str, Float64] = {}
    if "mfcc" in names:
        raw["mfcc"] = features.mfcc(S, n_mfcc=n_mfcc)[1:]
    if "chroma" in names or "cens" in names:
        raw["chroma"] = features.chroma(S)
    return RawFeatures(raw, hop_length, n_fft, len(y) / ANALYSIS_SR)


def pooled(raw: RawFeatures, names: Iterable[str], pool: int, *, chroma_compression: float = 100.0,
           cens_filter: int = 9, lag_frames: int = 0) -> FeatureFrames:
    """The named features of ``raw`` averaged over blocks of ``pool`` frames, with unit columns.

    ``"mfcc"``: each coefficient standardised over the piece (timbre); ``"chroma"``:
    log-compressed chroma (harmony); ``"cens"``: CENS of the pooled chroma, smoothed over
    ``cens_filter`` frames (harmony, robust to dynamics and articulation). With ``lag_frames``
    > 0 every frame is stacked with the one ``lag_frames`` before it (a time-delay embedding),
    so that similarity compares short sequences rather than single frames.

    Parameters
    ----------
    raw : RawFeatures
        Features at the spectrogram's rate (:func:`raw_features`).
    names : iterable of str
        Any of :data:`FEATURES`.
    pool : int
        Spectrogram frames averaged into one analysis frame.
    chroma_compression : float
        Factor of the log compression of ``"chroma"``.
    cens_filter : int
        Length of the smoothing window of ``"cens"``, in analysis frames.
    lag_frames : int
        Lag of the time-delay embedding (0: none).

    Returns
    -------
    FeatureFrames
        Every feature with unit-length columns.
    """
    pool = int(pool)
    if pool < 1:
        raise ValueError(f"pool must be at least 1, got {pool}")
    out: dict[str, Float64] = {}
    for name in names:
        if name == "mfcc":
            f = pool_frames(raw.features["mfcc"], pool)
            f -= f.mean(axis=1, keepdims=True)
            spread = f.std(axis=1, keepdims=True)
            f = cast(Float64, np.divide(f, spread, out=np.zeros_like(f), where=spread > 0))
        else:
            c = pool_frames(raw.features["chroma"], pool)
            if name == "chroma":
                top = c.max() if c.size else 0.0
                f = cast(Float64, np.log1p(chroma_compression / top * c)) if top > 0 else c
            else:
                f = features.cens(c, filt_len=cens_filter, ds=1)
        if lag_frames > 0:
            f = np.vstack([f, np.pad(f, ((0, 0), (lag_frames, 0)), mode="edge")[:, :f.shape[1]]])
        out[name] = unit_columns(f)
    rate = ANALYSIS_SR / (raw.hop_length * pool)
    offset = ((pool - 1) / 2 * raw.hop_length + raw.n_fft / 2) / ANALYSIS_SR
    return FeatureFrames(out, rate, offset, raw.duration)


def feature_frames(signal: ArrayLike, sr: float, names: Iterable[str], *, pool: int = 4, n_fft: int = 4096,
                   hop_length: int = 1024, **options: Any) -> FeatureFrames:
    """The named features of a signal at ``ANALYSIS_SR / (hop_length * pool)`` frames per second.

    Parameters
    ----------
    signal : np.ndarray [shape=(n,)]
        Mono samples; left untouched.
    sr : float
        Sample rate of ``signal`` in Hz.
    names : iterable of str
        Any of :data:`FEATURES` (see :func:`pooled`).
    pool : int
        Spectrogram frames averaged into one analysis frame.
    n_fft, hop_length : int
        Framing of the shared spectrogram, in samples at :data:`ANALYSIS_SR`.
    **options
        ``n_mfcc`` for :func:`raw_features`; ``chroma_compression``, ``cens_filter`` and
        ``lag_frames`` for :func:`pooled`.

    Returns
    -------
    FeatureFrames
        Every feature with unit-length columns (zero for silence), one column per frame.
    """
    n_mfcc = options.pop("n_mfcc", 20)
    chosen = tuple(names)
    raw = raw_features(signal, sr, chosen, n_fft=n_fft, hop_length=hop_length, n_mfcc=n_mfcc)
    return pooled(raw, chosen, pool, **options)
