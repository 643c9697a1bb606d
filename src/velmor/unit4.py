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

from typing import TYPE_CHECKING, SupportsIndex

import numpy as np

from velmor import features as _features
from velmor.features import PITCH_RANGE

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

__all__ = ["make_chromagram", "cens"]


def make_chromagram(snd: ArrayLike, fs: float, fft_len: SupportsIndex, hop_size: SupportsIndex, *,
                    tuning: float | None = None, pitch_range: tuple[int, int] = PITCH_RANGE,
                    power: float = 2.0, compression: float | None = None) -> NDArray[np.float64]:
    """Compute the chromagram of a mono signal.

    :param snd: one-dimensional array-like of real samples (left untouched)
    :param fs: sample rate in Hz (int or float)
    :param fft_len: frame and FFT length in samples; frames are weighted by a
        periodic Hann window of this length
    :param hop_size: distance between frame starts in samples
    :param tuning: deviation of A4 from 440 Hz in cents; None (the default)
        estimates it from the signal's spectral peaks
    :param pitch_range: lowest and highest MIDI pitch that contribute,
        default (24, 96), C1 .. C7
    :param power: exponent of the STFT magnitudes: 2 (the default) sums
        energies, 1 magnitudes
    :param compression: None (the default) or gamma > 0: pitch energies e
        become log(1 + gamma e / max(e)) before they are folded
    :return: float64 array of shape (12, frames); row 0 is C, row 9 is A.
        Entry (k, t) is the energy of frame t in the semitone bands of the
        pitches of class k (see :func:`velmor.features.pitch_spectrogram`).

    Frame t starts at sample ``t * hop_size``.  The signal is zero-padded at
    the end so that every sample falls in some frame, which gives
    ``frames = 1 + max(0, ceil((len(snd) - fft_len) / hop_size))``; a signal
    shorter than ``fft_len`` yields a single zero-padded frame.
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

    :param chroma: array-like of shape (12, frames), finite and non-negative
        (left untouched)
    :param filt_len: length in frames of the Hann window used for smoothing
    :param ds: downsampling factor; columns 0, ds, 2*ds, ... are kept
    :return: float64 array of shape (12, ceil(frames / ds)) whose columns all
        have unit Euclidean length

    Each frame is divided by its sum, and every share is quantised to 0..4
    (>= 0.05 -> 1, >= 0.1 -> 2, >= 0.2 -> 3, >= 0.4 -> 4).  Rows are then
    smoothed in time with a Hann window of ``filt_len`` frames (endpoints
    non-zero, weights summing to one, centred), downsampled by ``ds`` and
    every column is scaled to unit length.  A column that is zero at that
    point (silence) becomes the uniform vector with entries 1 / sqrt(12).
    """
    return _features.cens(chroma, filt_len=filt_len, ds=ds)
