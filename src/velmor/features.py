"""Audio features of velmor, all computed from one shared magnitude spectrogram.

Spectrogram
    spectrogram         magnitude STFT, computed once and passed to every feature below
    Spectrogram         the frozen result: magnitudes, sample rate, framing, frame times

Harmony
    estimate_tuning     global deviation from A440 in cents, from spectral peaks
    pitch_spectrogram   energy per equal-tempered pitch (a semitone filterbank)
    chroma              energy per pitch class, C .. B
    cens                chroma energy normalised statistics (quantised, smoothed, unit length)

Timbre and change
    log_mel             mel spectrogram in decibels relative to its maximum
    mfcc                mel-frequency cepstral coefficients (DCT-II of the log-mel spectrogram)
    onset_strength      spectral flux of the log-mel spectrogram

Frame ``t`` of every feature covers samples ``t * hop_length`` to ``t * hop_length + n_fft``
of the signal (the signal is zero-padded at its end so that every sample falls in a frame);
:attr:`Spectrogram.times` gives the frame centres in seconds.  Feature matrices have one
column per frame and are float64; the spectrogram itself is float32, which halves the cost
of the transform and leaves chroma and MFCCs unchanged to about six significant digits.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import numbers
import operator
from typing import TYPE_CHECKING, Any, SupportsIndex, TypeAlias

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

from velmor import _threads

if TYPE_CHECKING:
    from typing import Self

    import scipy.sparse

# Spectrogram magnitudes are float32 or float64; features are float64.
Floats: TypeAlias = NDArray[np.floating[Any]]
Float64: TypeAlias = NDArray[np.float64]

__all__ = [
    "Spectrogram", "spectrogram", "estimate_tuning", "pitch_spectrogram", "chroma", "cens",
    "log_mel", "mfcc", "onset_strength",
]

# Pitches that feed the chroma by default, in MIDI numbers: C1 (33 Hz) .. C7 (2093 Hz); above C7
# there are mostly overtones and percussion.  Chosen with power 2 on the tuning half of the
# quality benchmark's corpus (benchmarks/quality), where it did as well as or better than A0 .. C8
# and C2 .. C7.
PITCH_RANGE = (24, 96)

# Half-width of the crossover between neighbouring semitone filters, in semitones: a bin within
# a quarter semitone of a pitch belongs to it alone, one half-way between two is shared equally.
_CROSSOVER = 0.25

# Quantisation thresholds of CENS; a share >= CENS_STEPS[i] scores i + 1.
CENS_STEPS = (0.05, 0.1, 0.2, 0.4)

# Largest sample magnitude taken as it is (32-bit integer audio is below it); squared float32
# magnitudes of frames of up to a million samples stay finite.
_LARGEST_SAMPLE = 1e12

# Frames transformed at once: bounds the temporary copies and keeps them in cache.
_CHUNK_SAMPLES = 1 << 18


# --- validation -----------------------------------------------------------------------------

def _positive_int(value: SupportsIndex, name: str) -> int:
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


def _positive_real(value: float, name: str) -> float:
    """Return ``value`` as a Python float, insisting on a positive finite real number."""
    return _real(value, name, positive=True)


def _real(value: float, name: str, positive: bool = False) -> float:
    """Return ``value`` as a finite Python float (and a positive one, if asked)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    value = float(value)
    if positive and not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive finite number, got {value}")
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {value}")
    return value


def _real_array(values: ArrayLike, name: str) -> Float64:
    """Return ``values`` as a float64 array without modifying the caller's data."""
    arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":  # rejects complex, strings and objects
        raise TypeError(f"{name} must contain real numbers, got dtype {arr.dtype}")
    arr = arr.astype(np.float64, copy=False)
    if not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} must contain only finite values")
    return arr


def _signal(values: ArrayLike, name: str, dtype: DTypeLike) -> Floats:
    """Return a non-empty one-dimensional signal as a ``dtype`` array (a copy where needed)."""
    arr = np.asarray(values)
    if arr.dtype.kind not in "biuf":
        raise TypeError(f"{name} must contain real numbers, got dtype {arr.dtype}")
    if arr.ndim != 1:
        raise ValueError(f"{name} must be a one-dimensional signal, got shape {arr.shape}")
    if arr.size == 0:
        raise ValueError(f"{name} must not be empty")
    with np.errstate(over="ignore"):
        x = arr.astype(dtype, copy=False)
    # The extremes carry any inf or nan along, so they alone tell whether the samples are finite.
    peak = max(-float(x.min()), float(x.max()))
    if math.isfinite(peak) and peak <= _LARGEST_SAMPLE:
        return x
    if arr.dtype.kind == "f" and not np.all(np.isfinite(arr)):
        raise ValueError(f"{name} must contain only finite values")
    # Samples so large that squared magnitudes could overflow (or finite float64 samples beyond
    # float32) are scaled to a peak of 1: features that depend on the level at all measure it
    # relative to the signal's own maximum.
    arr = arr.astype(np.float64)
    scaled: Floats = (arr / np.max(np.abs(arr))).astype(dtype)
    return scaled


def _sample_rate(fs: float, name: str) -> float:
    return _positive_real(fs, name)


def _pitch_range(value: tuple[int, int]) -> tuple[int, int]:
    """Return ``(low, high)`` MIDI pitches, 0 <= low <= high <= 127."""
    try:
        low, high = value
        low, high = operator.index(low), operator.index(high)
    except (TypeError, ValueError):
        raise TypeError(f"pitch_range must be a pair of integer MIDI pitches, got {value!r}") from None
    if not 0 <= low <= high <= 127:
        raise ValueError(f"pitch_range must satisfy 0 <= low <= high <= 127, got ({low}, {high})")
    return low, high


def _check_spectrogram(S: object) -> None:
    if not isinstance(S, Spectrogram):
        raise TypeError(f"S must be a Spectrogram (see velmor.features.spectrogram), got {type(S).__name__}")


# --- the shared spectrogram ---------------------------------------------------------------------

# (numpydoc's lint reads no dataclass fields as parameters)
@dataclasses.dataclass(frozen=True, eq=False)
class Spectrogram:  # numpydoc ignore=PR02
    """Magnitude STFT of a mono signal, shared by every feature of this module.

    Made by :func:`spectrogram`; a spectrogram computed elsewhere can be wrapped too, and is
    checked and kept as a private read-only copy.  The parameters are kept as attributes of the
    same names.

    Parameters
    ----------
    magnitude : np.ndarray [shape=(1 + n_fft // 2, n_frames), dtype=float32 or float64]
        ``magnitude[k, t] == |sum_n w[n] y[t * hop_length + n] exp(-2j pi k n / n_fft)|`` with
        ``w`` the periodic Hann window of length ``n_fft``.  Read-only and C-contiguous; an
        array given to the constructor that is not is copied, so it cannot change later.
    sr : float
        Sample rate of the signal in Hz.
    n_fft : int
        Frame and FFT length in samples.
    hop_length : int
        Distance between frame starts in samples.
    """

    magnitude: Floats
    sr: float
    n_fft: int
    hop_length: int

    @classmethod
    def _of_own(cls, magnitude: Floats, sr: float, n_fft: int, hop_length: int) -> Self:
        """A Spectrogram of arrays made here, read-only and checked by construction."""
        self = object.__new__(cls)
        for field, value in zip(("magnitude", "sr", "n_fft", "hop_length"), (magnitude, sr, n_fft, hop_length)):
            object.__setattr__(self, field, value)
        return self

    def __post_init__(self) -> None:
        # A caller's spectrogram: the features rely on what is checked here.
        n_fft = _positive_int(self.n_fft, "n_fft")
        object.__setattr__(self, "n_fft", n_fft)
        object.__setattr__(self, "hop_length", _positive_int(self.hop_length, "hop_length"))
        object.__setattr__(self, "sr", _sample_rate(self.sr, "sr"))
        mag = np.asarray(self.magnitude)
        if mag.dtype.kind not in "biuf":
            raise TypeError(f"magnitude must contain real numbers, got dtype {mag.dtype}")
        if mag.ndim != 2 or mag.shape[0] != n_fft // 2 + 1:
            raise ValueError(f"magnitude must have shape (1 + n_fft // 2, n_frames) = ({n_fft // 2 + 1}, "
                             f"n_frames), got shape {mag.shape}")
        # (a dtype equals its scalar type when its byte order is the machine's, which pyright cannot see)
        if (mag.dtype not in (np.float32, np.float64)  # pyright: ignore[reportUnnecessaryContains]
                or mag.flags.writeable or not mag.flags.c_contiguous):
            # A private copy that nobody can change under the features.
            mag = np.array(mag, dtype=np.float32 if mag.dtype == np.float32 else np.float64, order="C")
            mag.flags.writeable = False
        if not np.all(np.isfinite(mag)) or np.any(mag < 0):
            raise ValueError("magnitude must be finite and non-negative")
        object.__setattr__(self, "magnitude", mag)

    # Properties describe themselves in one line, without a Returns section.
    @property
    def n_frames(self) -> int:  # numpydoc ignore=RT01
        """Number of frames, the columns of :attr:`magnitude`."""
        return int(self.magnitude.shape[1])

    @property
    def frequencies(self) -> Float64:  # numpydoc ignore=RT01
        """Centre frequency of each row in Hz, shape (1 + n_fft // 2,)."""
        return np.arange(self.n_fft // 2 + 1, dtype=np.float64) * (self.sr / self.n_fft)

    @property
    def times(self) -> Float64:  # numpydoc ignore=RT01
        """Centre of each frame in seconds, shape (n_frames,)."""
        return (np.arange(self.n_frames, dtype=np.float64) * self.hop_length + self.n_fft / 2) / self.sr

    def power(self) -> Floats:
        """Squared magnitudes, computed once and kept.

        Returns
        -------
        power : np.ndarray [shape=(1 + n_fft // 2, n_frames)]
            ``magnitude ** 2`` in the spectrogram's precision; read-only.
        """
        cached = self.__dict__.get("_power")
        if cached is None:
            cached = np.square(self.magnitude)
            cached.flags.writeable = False
            object.__setattr__(self, "_power", cached)
        return cached


def _hann(n: int, dtype: DTypeLike) -> Floats:
    return (0.5 - 0.5 * np.cos(2.0 * np.pi * np.arange(n) / n)).astype(dtype)


def _magnitude(x: Floats, sr: float, n_fft: int, hop_length: int) -> Spectrogram:
    """The spectrogram of a validated signal ``x`` (float32 or float64)."""
    import scipy.fft  # deferred: it takes a while to import, and unit7 imports unit4 at start-up

    frames = 1 + max(0, -(-(x.size - n_fft) // hop_length))
    whole = 0 if x.size < n_fft else 1 + (x.size - n_fft) // hop_length  # frames inside the signal
    # Only the last few frames reach past the end; they are cut from a short zero-padded copy.
    tail = np.zeros(n_fft + (frames - whole - 1) * hop_length, dtype=x.dtype)
    rest = x[whole * hop_length:]
    tail[:rest.size] = rest

    window = _hann(n_fft, x.dtype)[:, None]
    mag = np.empty((n_fft // 2 + 1, frames), dtype=x.dtype)
    step = max(1, _CHUNK_SAMPLES // n_fft)
    # Frames as columns, so that the magnitudes come out frequency-major: every filterbank
    # below is then a sparse matrix times whole rows, which beats a dense product by far.
    for signal, first, count in ((x, 0, whole), (tail, whole, frames - whole)):
        if count == 0:
            continue
        columns = np.lib.stride_tricks.sliding_window_view(signal, n_fft)[::hop_length].T

        def transform(begin: int, end: int, columns: Floats = columns, first: int = first) -> None:
            for start in range(begin, end, step):
                block = columns[:, start:min(start + step, end)] * window
                spectrum = scipy.fft.rfft(block, axis=0, overwrite_x=True)
                np.abs(spectrum, out=mag[:, first + start:first + start + block.shape[1]])

        _threads.split(transform, count, minimum=4 * step)
    mag.flags.writeable = False
    return Spectrogram._of_own(mag, sr, n_fft, hop_length)


def spectrogram(y: ArrayLike, sr: float, *, n_fft: SupportsIndex = 4096, hop_length: SupportsIndex = 2048,
                dtype: DTypeLike = np.float32) -> Spectrogram:
    """Magnitude spectrogram of a mono signal, to be shared by the features of this module.

    Parameters
    ----------
    y : array-like [shape=(n,)]
        Real samples; left untouched.
    sr : float > 0
        Sample rate in Hz.
    n_fft : int > 0
        Frame and FFT length in samples; frames are weighted by a periodic Hann window.
    hop_length : int > 0
        Distance between frame starts in samples.
    dtype : np.float32 or np.float64
        Precision of the transform.  float32 is about twice as fast and changes the features
        by parts in a million.

    Returns
    -------
    S : Spectrogram
        ``S.magnitude`` has shape ``(1 + n_fft // 2, n_frames)`` with
        ``n_frames == 1 + max(0, ceil((n - n_fft) / hop_length))``: frame ``t`` starts at sample
        ``t * hop_length``, and the signal is zero-padded at its end so that every sample falls
        in some frame (a signal shorter than ``n_fft`` gives one frame).

    See Also
    --------
    chroma, log_mel, mfcc, onset_strength : Features computed from ``S``.
    """
    sr = _sample_rate(sr, "sr")
    n_fft = _positive_int(n_fft, "n_fft")
    hop_length = _positive_int(hop_length, "hop_length")
    dtype = np.dtype(dtype)
    if dtype not in (np.float32, np.float64):  # pyright: ignore[reportUnnecessaryContains]
        raise ValueError(f"dtype must be float32 or float64, got {dtype}")
    return _magnitude(_signal(y, "y", dtype), sr, n_fft, hop_length)


# --- filterbanks ---------------------------------------------------------------------------------

def _sparse(dense: Float64, dtype: DTypeLike) -> scipy.sparse.csr_array:
    """A filterbank as a sparse matrix: most bins feed only one or two filters."""
    import scipy.sparse

    return scipy.sparse.csr_array(dense.astype(dtype))


def _midi_of_bins(sr: float, n_fft: int, tuning: float) -> tuple[Float64, Float64]:
    """Pitch of FFT bins 1, 2, ... on the tuned MIDI axis, and each bin's width in semitones."""
    k = np.arange(1, n_fft // 2 + 1, dtype=np.float64)
    midi = 69.0 + 12.0 * np.log2(k * (sr / n_fft) / 440.0) - tuning / 100.0
    width = 12.0 * np.log2((k + 0.5) / (k - 0.5))
    return midi, width


def _semitone_filterbank(sr: float, n_fft: int, tuning: float, pitch_range: tuple[int, int],
                         dtype: DTypeLike) -> scipy.sparse.csr_array:
    """Semitone filters on a log-frequency axis, one per MIDI pitch in ``pitch_range``.

    Bin k, at tuned pitch m_k, with d = |m_k - p| / h_k, gives pitch p the share 1 for
    d <= 1/2 - c, cos^2(pi/2 (d - 1/2 + c) / (2 c)) up to d = 1/2 + c and 0 beyond, where c is
    _CROSSOVER and h_k the larger of one semitone and the bin's own width in semitones; the
    shares of every bin over all pitches are normalised to sum to one.  Where bins are finer
    than semitones, each bin belongs to its nearest pitch but for a smooth crossover half-way
    between two; where they are coarser (low notes), a bin's energy spreads over the pitches it
    cannot tell apart instead of landing on one of them.
    """
    low, high = pitch_range
    midi, width = _midi_of_bins(sr, n_fft, tuning)
    half: Float64 = np.maximum(width, 1.0)
    used = np.flatnonzero((midi + half > low) & (midi - half < high))
    dense = np.zeros((high - low + 1, n_fft // 2 + 1))
    if used.size:
        widest: float = half[used].max()
        reach = int(math.ceil(widest)) + 1
        pitches = np.arange(low - reach, high + reach + 1, dtype=np.float64)
        dist = (midi[used][None, :] - pitches[:, None]) / half[used][None, :]
        ramp = np.clip((np.abs(dist) - (0.5 - _CROSSOVER)) / (2.0 * _CROSSOVER), 0.0, 1.0)
        shares = np.where(ramp < 1.0, np.cos(0.5 * np.pi * ramp) ** 2, 0.0)  # exact zeros stay sparse
        shares /= shares.sum(axis=0, keepdims=True)
        dense[:, used + 1] = shares[reach:reach + high - low + 1]  # bin 0 (DC) carries no pitch
    return _sparse(dense, dtype)


def _hz_to_mel(f: ArrayLike) -> Float64:
    """Slaney's mel scale: linear below 1 kHz (3 mels per 200 Hz), logarithmic above."""
    f = np.asarray(f, dtype=np.float64)
    log_part = 15.0 + 27.0 * np.log(np.maximum(f, 1e-12) / 1000.0) / math.log(6.4)
    return np.where(f < 1000.0, f * 3.0 / 200.0, log_part)


def _mel_to_hz(m: ArrayLike) -> Float64:
    m = np.asarray(m, dtype=np.float64)
    return np.where(m < 15.0, m * 200.0 / 3.0, 1000.0 * np.exp((m - 15.0) * math.log(6.4) / 27.0))


@functools.lru_cache(maxsize=8)
def _mel_filterbank(sr: float, n_fft: int, n_mels: int, fmin: float, fmax: float,
                    dtype: DTypeLike) -> scipy.sparse.csr_array:
    """Triangular filters between mel-spaced edges, each normalised to unit area in Hz.

    Kept for the next signals of the same framing (it takes longer to build than to apply);
    nothing here or in its callers writes to it."""
    edges = _mel_to_hz(np.linspace(_hz_to_mel(fmin), _hz_to_mel(fmax), n_mels + 2))
    freqs = np.arange(n_fft // 2 + 1) * (sr / n_fft)
    rise = (freqs[None, :] - edges[:-2, None]) / (edges[1:-1] - edges[:-2])[:, None]
    fall = (edges[2:, None] - freqs[None, :]) / (edges[2:] - edges[1:-1])[:, None]
    dense = np.maximum(0.0, np.minimum(rise, fall))
    dense *= (2.0 / (edges[2:] - edges[:-2]))[:, None]
    return _sparse(dense, dtype)


# --- harmony ---------------------------------------------------------------------------------------

def estimate_tuning(S: Spectrogram, *, pitch_range: tuple[int, int] = PITCH_RANGE, threshold: float = 0.1) -> float:
    """Estimate the deviation of the signal's tuning from A4 = 440 Hz, in cents.

    Every local maximum of a frame's magnitude that reaches ``threshold`` times the frame's
    largest magnitude is a peak; its frequency is refined by a parabola through the log
    magnitudes of the peak bin and its neighbours.  Each peak's offset from the nearest
    equal-tempered pitch is a point on a circle (one semitone per turn); the result is the
    direction of the magnitude-weighted mean of those points, so offsets of +49 and -49
    cents agree with each other rather than cancelling.

    Parameters
    ----------
    S : Spectrogram
        The signal's spectrogram, from :func:`spectrogram`.
    pitch_range : (int, int)
        MIDI pitches whose peaks count.  Peaks below the frequency where a semitone spans two
        FFT bins are ignored, since their positions are too coarse.
    threshold : float in (0, 1]
        Smallest peak magnitude counted, relative to the largest magnitude of its frame.

    Returns
    -------
    tuning : float in [-50, 50]
        Cents; positive when the signal is sharp.  0.0 when there are no peaks, or when their
        offsets are spread so evenly that no tuning stands out (as in noise).
    """
    _check_spectrogram(S)
    low, high = _pitch_range(pitch_range)
    threshold = _positive_real(threshold, "threshold")
    if threshold > 1.0:
        raise ValueError(f"threshold must be at most 1, got {threshold}")
    mag = S.magnitude
    bin_hz = S.sr / S.n_fft
    # From bin 34 up, a semitone spans at least two bins, whatever the FFT length.
    k_lo = max(math.ceil(2.0 / (2.0 ** (1.0 / 12.0) - 1.0)),
               math.ceil(440.0 * 2.0 ** ((low - 69.5) / 12.0) / bin_hz))
    k_hi = min(mag.shape[0] - 2, int(440.0 * 2.0 ** ((high + 0.5 - 69.0) / 12.0) / bin_hz))
    if k_hi < k_lo:
        return 0.0
    band = mag[k_lo - 1:k_hi + 2]
    centre, left, right = band[1:-1], band[:-2], band[2:]
    floor = threshold * centre.max(axis=0)
    k, t = np.nonzero((centre > left) & (centre >= right) & (centre >= floor) & (centre > 0))
    if k.size == 0:
        return 0.0
    tiny = np.finfo(np.float64).tiny
    weights = centre[k, t].astype(np.float64)
    a = np.log(left[k, t].astype(np.float64) + tiny)
    b = np.log(weights)
    c = np.log(right[k, t].astype(np.float64) + tiny)
    offset = np.clip(0.5 * (a - c) / np.minimum(a - 2.0 * b + c, -tiny), -0.5, 0.5)
    midi = 69.0 + 12.0 * np.log2((k + k_lo + offset) * bin_hz / 440.0)
    turn = np.exp(2j * np.pi * (midi - np.rint(midi)))
    mean = np.sum(weights * turn) / weights.sum()
    # Offsets spread evenly around the circle (noise, no pitched sound) leave a mean of
    # about 1 / sqrt(n) for n equal weights; only a clearly longer one names a tuning.
    n_eff = weights.sum() ** 2 / np.sum(weights ** 2)
    if abs(mean) * math.sqrt(n_eff) < 3.0:
        return 0.0
    return float(np.angle(mean) / (2.0 * np.pi) * 100.0)


def _pitch_energies(S: Spectrogram, tuning: float | None, pitch_range: tuple[int, int], power: float,
                    compression: float | None) -> Float64:
    """(n_pitches, n_frames) float64 pitch energies, compressed if asked."""
    if tuning is None:
        tuning = estimate_tuning(S, pitch_range=pitch_range)
    bank = _semitone_filterbank(S.sr, S.n_fft, tuning, pitch_range, S.magnitude.dtype)
    mag = S.magnitude
    spectrum = S.power() if power == 2.0 else mag if power == 1.0 else mag ** power
    energies = (bank @ spectrum).astype(np.float64)
    if compression is not None:
        top = energies.max() if energies.size else 0.0
        if top > 0:
            energies = np.log1p((compression / top) * energies)
    return energies


def _harmony_options(pitch_range: tuple[int, int], tuning: float | None, power: float, compression: float | None
                     ) -> tuple[tuple[int, int], float | None, float, float | None]:
    pitch_range = _pitch_range(pitch_range)
    tuning = None if tuning is None else _real(tuning, "tuning")
    power = _positive_real(power, "power")
    if power > 4.0:  # beyond, float32 magnitudes overflow, and no chroma needs it
        raise ValueError(f"power must be at most 4, got {power}")
    if compression is not None:
        compression = _positive_real(compression, "compression")
    return pitch_range, tuning, power, compression


def pitch_spectrogram(S: Spectrogram, *, tuning: float | None = None, pitch_range: tuple[int, int] = PITCH_RANGE,
                      power: float = 2.0, compression: float | None = None) -> Float64:
    """Energy of each equal-tempered pitch, from a semitone filterbank on a log-frequency axis.

    ``pitches[p - low, t] == sum_k share[p, k] * S.magnitude[k, t] ** power``, where
    ``share[p, k]`` is the part of bin ``k`` that pitch ``p`` receives: the bins nearest to the
    pitch on the tuned log-frequency axis, with a cos^2 crossover half a semitone wide between
    neighbouring pitches (wider where a bin is wider than a semitone), every bin's shares
    summing to one.

    Parameters
    ----------
    S : Spectrogram
        The signal's spectrogram, from :func:`spectrogram`.
    tuning : float or None
        Deviation of the reference A4 from 440 Hz in cents (the filters move with it);
        None estimates it with :func:`estimate_tuning`.
    pitch_range : (int, int)
        Lowest and highest MIDI pitch, inclusive; the default is C1 .. C7.
    power : float in (0, 4]
        Exponent of the magnitudes: 2 (the default) sums energies, 1 sums magnitudes (the
        quieter notes of a chord count for more; worse on the benchmark's corpus).
    compression : float > 0 or None
        If given, every energy ``e`` becomes ``log(1 + compression * e / max(e))``, the maximum
        taken over the whole signal: loud notes count less against soft ones, and the result
        does not depend on the overall gain.

    Returns
    -------
    pitches : np.ndarray [shape=(high - low + 1, n_frames), dtype=float64]
        Row ``i`` is MIDI pitch ``low + i``.
    """
    _check_spectrogram(S)
    pitch_range, tuning, power, compression = _harmony_options(pitch_range, tuning, power, compression)
    return _pitch_energies(S, tuning, pitch_range, power, compression)


def _fold_octaves(energies: Float64, low: int) -> Float64:
    """Sum the rows of MIDI pitches low, low + 1, ... into the twelve pitch classes."""
    out = np.zeros((12, energies.shape[1]))
    for i in range(min(12, energies.shape[0])):
        out[(low + i) % 12] = energies[i::12].sum(axis=0)
    return out


def chroma(S: Spectrogram, *, tuning: float | None = None, pitch_range: tuple[int, int] = PITCH_RANGE,
           power: float = 2.0, compression: float | None = None) -> Float64:
    """Chromagram: the energy of each pitch class, summed over the octaves of ``pitch_range``.

    ``chroma[c, t] == sum_{p : p % 12 == c} pitches[p, t]`` with ``pitches`` from
    :func:`pitch_spectrogram` and the same options.

    Parameters
    ----------
    S : Spectrogram
        The signal's spectrogram, from :func:`spectrogram`.
    tuning, pitch_range, power, compression : float or None, (int, int), float, float or None
        As for :func:`pitch_spectrogram`: by default the tuning is estimated from the signal,
        the pitches are C1 .. C7, and their energies are summed without compression.

    Returns
    -------
    chroma : np.ndarray [shape=(12, n_frames), dtype=float64]
        Row 0 is C, row 9 is A.  Not normalised: a silent frame is a zero column.

    See Also
    --------
    cens : Normalised, smoothed chroma for comparing passages.
    """
    _check_spectrogram(S)
    pitch_range, tuning, power, compression = _harmony_options(pitch_range, tuning, power, compression)
    return _fold_octaves(_pitch_energies(S, tuning, pitch_range, power, compression), pitch_range[0])


def _smooth_downsample(values: Float64, filt_len: int, ds: int) -> Float64:
    """Rows convolved with a unit-sum Hann window ('same' size, centred, zeros outside),
    keeping columns 0, ds, 2 ds, ...; only the kept columns are computed."""
    taps = np.hanning(filt_len + 2)[1:-1]
    taps /= taps.sum()
    centre = (filt_len - 1) // 2
    if values.shape[1] == 0:
        return values.copy()
    # out[:, t] = sum_k taps[k] * values[:, t + centre - k]
    padded = np.pad(values, ((0, 0), (filt_len - 1 - centre, centre)))
    windows = np.lib.stride_tricks.sliding_window_view(padded, filt_len, axis=1)[:, ::ds]
    return windows @ taps[::-1]


def cens(chroma: ArrayLike, *, filt_len: SupportsIndex = 41, ds: SupportsIndex = 10) -> Float64:
    """CENS features (chroma energy normalised statistics) of a chromagram.

    Each frame is divided by its sum and every share is quantised to 0..4 (>= 0.05 -> 1,
    >= 0.1 -> 2, >= 0.2 -> 3, >= 0.4 -> 4).  Rows are then smoothed in time with a Hann
    window of ``filt_len`` frames (endpoints non-zero, weights summing to one, centred, zeros
    beyond the ends), downsampled by ``ds`` and every column is scaled to unit length.  The
    quantisation makes the features robust to dynamics and timbre, the smoothing to local
    tempo changes and articulation.

    Parameters
    ----------
    chroma : array-like [shape=(12, n_frames)]
        Finite and non-negative; left untouched.
    filt_len : int > 0
        Length of the smoothing window in frames.
    ds : int > 0
        Downsampling factor: columns 0, ds, 2 ds, ... are kept.

    Returns
    -------
    features : np.ndarray [shape=(12, ceil(n_frames / ds)), dtype=float64]
        Every column has unit Euclidean length; a column that is zero before the last step
        (silence) becomes the uniform vector with entries 1 / sqrt(12).
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
    for step in CENS_STEPS:
        quantised += shares >= step

    features = _smooth_downsample(quantised, filt_len, ds)
    norms = np.sqrt(np.sum(features ** 2, axis=0))
    out = np.full_like(features, 1.0 / math.sqrt(12.0))
    np.divide(features, norms, out=out, where=norms > 0)
    return out


# --- timbre and change -------------------------------------------------------------------------------

def log_mel(S: Spectrogram, *, n_mels: SupportsIndex = 128, fmin: float = 0.0, fmax: float | None = None,
            top_db: float = 80.0) -> Float64:
    """Mel spectrogram of the power spectrum, in decibels relative to its largest value.

    ``log_mel[b, t] == max(10 log10(mel[b, t] / mel.max()), -top_db)`` with
    ``mel = filters @ S.magnitude ** 2``.  The filters are triangles between ``n_mels + 2``
    edges equally spaced on Slaney's mel scale (linear below 1 kHz, logarithmic above), each
    scaled to unit area in Hz, as in the Auditory Toolbox and librosa's default.  Measured
    against the maximum, the result does not depend on the overall gain.

    Parameters
    ----------
    S : Spectrogram
        The signal's spectrogram, from :func:`spectrogram`.
    n_mels : int > 0
        Number of mel bands.
    fmin, fmax : float
        Frequency range of the filters in Hz; ``fmax=None`` is the Nyquist frequency.
    top_db : float > 0
        Dynamic range kept below the maximum.

    Returns
    -------
    log_mel : np.ndarray [shape=(n_mels, n_frames), dtype=float64]
        Values in ``[-top_db, 0]``; all ``-top_db`` for a silent signal.
    """
    _check_spectrogram(S)
    n_mels = _positive_int(n_mels, "n_mels")
    nyquist = S.sr / 2.0
    fmin = _real(fmin, "fmin")
    fmax = nyquist if fmax is None else _real(fmax, "fmax")
    if not 0.0 <= fmin < fmax <= nyquist:
        raise ValueError(f"need 0 <= fmin < fmax <= sr / 2 = {nyquist}, got fmin={fmin}, fmax={fmax}")
    top_db = _positive_real(top_db, "top_db")
    bank = _mel_filterbank(S.sr, S.n_fft, n_mels, fmin, fmax, S.magnitude.dtype)
    mel = bank @ S.power()  # in the spectrogram's precision, which the logarithm keeps
    return _decibels(mel, float(mel.max()) if mel.size else 0.0, top_db)


def _decibels(mel: NDArray[np.floating[Any]], top: float, top_db: float) -> Float64:
    """``max(10 log10(mel / top), -top_db)`` as float64, computed in ``mel``'s own precision
    (all ``-top_db`` unless ``top`` is positive)."""
    if not top > 0:
        return np.full(mel.shape, -top_db)
    floor = top * 10.0 ** (-top_db / 10.0)
    out = np.maximum(mel, mel.dtype.type(floor))
    out /= mel.dtype.type(top)
    np.log10(out, out=out)
    out *= 10.0
    decibels: Float64 = np.maximum(out.astype(np.float64), -top_db)
    return decibels


def _log_mel_input(S: Spectrogram | ArrayLike, n_mels: int) -> Float64:
    """A Spectrogram's log-mel spectrogram, or a given one checked and taken as float64."""
    if isinstance(S, Spectrogram):
        return log_mel(S, n_mels=n_mels)
    L = _real_array(S, "S")
    if L.ndim != 2:
        raise ValueError(f"a log-mel spectrogram must have shape (n_mels, n_frames), got shape {L.shape}")
    return L


def mfcc(S: Spectrogram | ArrayLike, *, n_mfcc: SupportsIndex = 20, n_mels: SupportsIndex = 128) -> Float64:
    """Mel-frequency cepstral coefficients: the DCT-II of each frame of the log-mel spectrogram.

    ``mfcc[:, t] == dct_ii(log_mel[:, t], norm='ortho')[:n_mfcc]``.  Coefficient 0 follows the
    frame's overall level (relative to the loudest frame); the others describe the shape of the
    spectral envelope, the timbre, largely independent of the notes played.

    Parameters
    ----------
    S : Spectrogram or np.ndarray [shape=(n_mels, n_frames)]
        A spectrogram, or a log-mel spectrogram from :func:`log_mel` (reused, not recomputed).
    n_mfcc : int > 0
        Number of coefficients kept, at most the number of mel bands.
    n_mels : int > 0
        Mel bands of the log-mel spectrogram computed from a Spectrogram.

    Returns
    -------
    mfcc : np.ndarray [shape=(n_mfcc, n_frames), dtype=float64]
        Coefficient ``i`` of frame ``t`` at ``mfcc[i, t]``.
    """
    n_mfcc = _positive_int(n_mfcc, "n_mfcc")
    n_mels = _positive_int(n_mels, "n_mels")
    import scipy.fft

    L = _log_mel_input(S, n_mels)
    if n_mfcc > L.shape[0]:
        raise ValueError(f"n_mfcc must be at most the number of mel bands ({L.shape[0]}), got {n_mfcc}")
    coefficients: Float64 = scipy.fft.dct(L, type=2, norm="ortho", axis=0)[:n_mfcc]
    return coefficients


def onset_strength(S: Spectrogram | ArrayLike, *, n_mels: SupportsIndex = 128, lag: SupportsIndex = 1) -> Float64:
    """Onset strength: the spectral flux of the log-mel spectrogram.

    ``onset[t] == mean_b max(0, log_mel[b, t] - log_mel[b, t - lag])``, zero for ``t < lag``:
    how much louder the frame got than ``lag`` frames before, averaged over mel bands.  Note
    onsets and changes of texture show as peaks.

    Parameters
    ----------
    S : Spectrogram or np.ndarray [shape=(n_mels, n_frames)]
        A spectrogram, or a log-mel spectrogram from :func:`log_mel`.
    n_mels : int > 0
        Mel bands of the log-mel spectrogram computed from a Spectrogram.
    lag : int > 0
        Distance in frames of the frames compared.

    Returns
    -------
    onset : np.ndarray [shape=(n_frames,), dtype=float64]
        Non-negative, in decibels.
    """
    n_mels = _positive_int(n_mels, "n_mels")
    lag = _positive_int(lag, "lag")
    L = _log_mel_input(S, n_mels)
    out = np.zeros(L.shape[1])
    if L.shape[1] > lag:
        out[lag:] = np.maximum(L[:, lag:] - L[:, :-lag], 0.0).mean(axis=0)
    return out
