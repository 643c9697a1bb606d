"""Audio front end of velmor: chromagrams and CENS features.

:func:`make_chromagram` turns a mono signal into a 12-bin chromagram: the STFT
energy gathered by a semitone filterbank on a log-frequency axis, tuned to the
signal's own reference pitch, and folded onto the pitch classes C, C#, ..., B.
:func:`cens` turns a chromagram into CENS features (chroma energy normalised
statistics): per-frame energy distributions that are quantised, smoothed over
time, downsampled and scaled to unit length, which makes them robust to
dynamics and local tempo changes.  Their dot products are what the
self-similarity matrices of :mod:`velmor.unit7` are built from.

Both are the positional faces of :func:`velmor.features.chroma` and
:func:`velmor.features.cens`, which share one spectrogram with the other
features of :mod:`velmor.features`.
"""

from __future__ import annotations

from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmor import features as _features
from velmor.features import PITCH_RANGE

__all__ = ["make_chromagram", "cens"]


def make_chromagram(snd: ArrayLike, fs: float, fft_len: SupportsIndex, hop_size: SupportsIndex, *,
                    tuning: float | None = None, pitch_range: tuple[int, int] = PITCH_RANGE,
                    power: float = 2.0, compression: float | None = None) -> NDArray[np.float64]:
    """Compute the chromagram of a mono signal.

    Frame ``t`` starts at sample ``t * hop_size``.  The signal is zero-padded at the end so that
    every sample falls in some frame, which gives
    ``frames == 1 + max(0, ceil((len(snd) - fft_len) / hop_size))``; a signal shorter than
    ``fft_len`` yields a single zero-padded frame.

    Parameters
    ----------
    snd : array-like [shape=(n,)]
        Real samples of a mono signal; left untouched.
    fs : float > 0
        Sample rate in Hz.
    fft_len : int > 0
        Frame and FFT length in samples; frames are weighted by a periodic Hann window of this
        length.
    hop_size : int > 0
        Distance between frame starts in samples.
    tuning : float or None
        Deviation of A4 from 440 Hz in cents; None (the default) estimates it from the signal's
        spectral peaks.
    pitch_range : (int, int)
        Lowest and highest MIDI pitch that contribute; the default (24, 96) is C1 .. C7.
    power : float in (0, 4]
        Exponent of the STFT magnitudes: 2 (the default) sums energies, 1 magnitudes.
    compression : float > 0 or None
        If given (gamma), pitch energies ``e`` become ``log(1 + gamma * e / max(e))`` before they
        are folded.

    Returns
    -------
    chroma : np.ndarray [shape=(12, frames), dtype=float64]
        Row 0 is C, row 9 is A.  Entry ``(k, t)`` is the energy of frame ``t`` in the semitone
        bands of the pitches of class ``k``.

    See Also
    --------
    velmor.features.pitch_spectrogram : The pitch energies that are folded here.
    velmor.features.chroma : The same from a shared spectrogram.
    """
    x = _features._signal(snd, "snd", np.float32)
    fs = _features._sample_rate(fs, "fs")
    fft_len = _features._positive_int(fft_len, "fft_len")
    hop_size = _features._positive_int(hop_size, "hop_size")
    pitch_range, tuning, power, compression = _features._harmony_options(
        pitch_range, tuning, power, compression)
    S = _features._magnitude(x, fs, fft_len, hop_size)
    energies = _features._pitch_energies(S, tuning, pitch_range, power, compression)
    return _features._fold_octaves(energies, pitch_range[0])


def cens(chroma: ArrayLike, filt_len: SupportsIndex, ds: SupportsIndex) -> NDArray[np.float64]:
    """Compute CENS features from a chromagram.

    Each frame is divided by its sum, and every share is quantised to 0..4 (>= 0.05 -> 1,
    >= 0.1 -> 2, >= 0.2 -> 3, >= 0.4 -> 4).  Rows are then smoothed in time with a Hann window
    of ``filt_len`` frames (endpoints non-zero, weights summing to one, centred), downsampled by
    ``ds`` and every column is scaled to unit length.  A column that is zero at that point
    (silence) becomes the uniform vector with entries ``1 / sqrt(12)``.

    Parameters
    ----------
    chroma : array-like [shape=(12, frames)]
        Finite and non-negative; left untouched.
    filt_len : int > 0
        Length in frames of the Hann window used for smoothing.
    ds : int > 0
        Downsampling factor; columns 0, ds, 2 ds, ... are kept.

    Returns
    -------
    features : np.ndarray [shape=(12, ceil(frames / ds)), dtype=float64]
        Every column has unit Euclidean length.

    See Also
    --------
    velmor.features.cens : The same with keyword options and defaults.
    """
    return _features.cens(chroma, filt_len=filt_len, ds=ds)
