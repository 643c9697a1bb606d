"""Audio front end of velmor: chromagrams and CENS features.

:func:`make_chromagram` turns a mono signal into a 12-bin chromagram (STFT
power folded onto the pitch classes C, C#, ..., B of equal temperament with
A4 = 440 Hz).  :func:`cens` turns a chromagram into CENS features (chroma
energy normalised statistics): per-frame energy distributions that are
quantised, smoothed over time, downsampled and scaled to unit length, which
makes them robust to dynamics and local tempo changes.  Their dot products
are what the self-similarity matrices of :mod:`velmor.unit7` are built from.
"""

import math
import numbers
import operator

import numpy as np

__all__ = ["make_chromagram", "cens"]

# Pitch range that contributes to the chromagram: A0 (27.5 Hz) .. C8 (4186 Hz),
# the range of a piano keyboard.
MIDI_MIN = 21
MIDI_MAX = 108

# Quantisation thresholds of CENS; a share >= QUANT_STEPS[i] scores i + 1.
QUANT_STEPS = (0.05, 0.1, 0.2, 0.4)

# Upper bound on the number of samples windowed and transformed at once.
_CHUNK_SAMPLES = 1 << 22


def _positive_int(value, name):
    """Return ``value`` as a Python int, insisting on a positive integer."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if value <= 0:
        raise ValueError(f"{name} must be positive, got {value}")
    return value


def _real_array(values, name):
    """Return ``values`` as a float64 array without modifying the caller's data."""
    arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":  # rejects complex, strings and objects
        raise TypeError(f"{name} must contain real numbers, got dtype {arr.dtype}")
    arr = arr.astype(np.float64, copy=False)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} must contain only finite values")
    return arr


def _pitch_class_map(fs, fft_len):
    """Return a (12, fft_len // 2 + 1) 0/1 matrix sending rfft bins to pitch classes.

    Bin frequency f maps to MIDI pitch round(69 + 12 log2(f / 440)); bins whose
    pitch falls outside MIDI_MIN..MIDI_MAX (and the DC bin) map nowhere.
    """
    freqs = np.fft.rfftfreq(fft_len, d=1.0 / fs)
    mapping = np.zeros((12, freqs.size))
    bins = np.flatnonzero(freqs > 0)
    pitch = np.rint(69.0 + 12.0 * np.log2(freqs[bins] / 440.0)).astype(np.int64)
    keep = (pitch >= MIDI_MIN) & (pitch <= MIDI_MAX)
    mapping[pitch[keep] % 12, bins[keep]] = 1.0
    return mapping


def make_chromagram(snd, fs, fft_len, hop_size):
    """Compute the chromagram of a mono signal.

    :param snd: one-dimensional array-like of real samples (left untouched)
    :param fs: sample rate in Hz (int or float)
    :param fft_len: frame and FFT length in samples; frames are weighted by a
        periodic Hann window of this length
    :param hop_size: distance between frame starts in samples
    :return: float64 array of shape (12, frames); row 0 is C, row 9 is A.
        Entry (k, t) is the STFT power of frame t summed over the bins whose
        nearest equal-tempered pitch (A4 = 440 Hz) lies in MIDI 21..108
        (A0..C8) and has pitch class k.

    Frame t starts at sample ``t * hop_size``.  The signal is zero-padded at
    the end so that every sample falls in some frame, which gives
    ``frames = 1 + max(0, ceil((len(snd) - fft_len) / hop_size))``; a signal
    shorter than ``fft_len`` yields a single zero-padded frame.
    """
    x = _real_array(snd, "snd")
    if x.ndim != 1:
        raise ValueError(f"snd must be a one-dimensional signal, got shape {x.shape}")
    if x.size == 0:
        raise ValueError("snd must not be empty")
    if isinstance(fs, (bool, np.bool_)) or not isinstance(fs, numbers.Real):
        raise TypeError(f"fs must be a real number, got {type(fs).__name__}")
    fs = float(fs)
    if not (math.isfinite(fs) and fs > 0):
        raise ValueError(f"fs must be a positive finite number, got {fs}")
    fft_len = _positive_int(fft_len, "fft_len")
    hop_size = _positive_int(hop_size, "hop_size")

    frames = 1 + max(0, -(-(x.size - fft_len) // hop_size))
    padded_len = fft_len + (frames - 1) * hop_size
    if padded_len > x.size:
        x = np.concatenate([x, np.zeros(padded_len - x.size)])
    view = np.lib.stride_tricks.sliding_window_view(x, fft_len)[::hop_size]

    window = 0.5 - 0.5 * np.cos(2.0 * np.pi * np.arange(fft_len) / fft_len)
    mapping = _pitch_class_map(fs, fft_len)
    chroma = np.empty((12, frames))
    step = max(1, _CHUNK_SAMPLES // fft_len)
    for start in range(0, frames, step):
        spectrum = np.fft.rfft(view[start:start + step] * window, axis=1)
        power = spectrum.real ** 2 + spectrum.imag ** 2
        chroma[:, start:start + step] = mapping @ power.T
    return chroma


def _smooth_rows(values, filt_len):
    """Centred 'same'-size convolution of every row with a unit-sum Hann window.

    Matches ``np.convolve(row, w, mode="same")`` per row, with zeros assumed
    outside the signal; the loop runs over filter taps, not frames.
    """
    taps = np.hanning(filt_len + 2)[1:-1]
    taps /= taps.sum()
    frames = values.shape[1]
    centre = (filt_len - 1) // 2
    out = np.zeros_like(values)
    for k, weight in enumerate(taps):
        shift = centre - k  # out[:, t] += weight * values[:, t + shift]
        lo, hi = max(0, -shift), min(frames, frames - shift)
        if lo < hi:
            out[:, lo:hi] += weight * values[:, lo + shift:hi + shift]
    return out


def cens(chroma, filt_len, ds):
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
    c = _real_array(chroma, "chroma")
    if c.ndim != 2 or c.shape[0] != 12:
        raise ValueError(f"chroma must have shape (12, frames), got shape {c.shape}")
    if np.any(c < 0):
        raise ValueError("chroma must be non-negative")
    filt_len = _positive_int(filt_len, "filt_len")
    ds = _positive_int(ds, "ds")

    totals = c.sum(axis=0)
    shares = np.divide(c, totals, out=np.zeros_like(c), where=totals > 0)
    quantised = np.zeros_like(shares)
    for step in QUANT_STEPS:
        quantised += shares >= step

    features = _smooth_rows(quantised, filt_len)[:, ::ds]
    norms = np.sqrt(np.sum(features ** 2, axis=0))
    out = np.full_like(features, 1.0 / math.sqrt(12.0))
    np.divide(features, norms, out=out, where=norms > 0)
    return out
