"""The methods the quality benchmark compares: velmor's own and the peer baselines.

A method is a named pair of functions: ``load(path) -> (signal, sr)`` and
``segment(signal, sr) -> boundary times in seconds``. The harness times both together (file read
to boundaries) and keeps only interior boundaries (strictly between 0 and the end of the file).

Rows, in order:

- ``velmor segment``: today's command line with its defaults (``velmor.cli.analyse_signal`` with
  ``Params()``: CENS SSM, checkerboard novelty, region peaks, min-height and margin).
- ``velmor.analysis:NAME``: every entry of ``velmor.analysis.METHODS`` (a mapping from a name to a
  callable ``(signal, sr) -> boundaries in seconds``), when that module exists. Nothing here has
  to change when methods are added there.
- ``librosa MFCC + checkerboard``, ``librosa CENS + checkerboard``: librosa's features with its
  own default framing (FFT 2048, hop 512 samples: 43.07 frames/s), brought to velmor's default
  feature rate the way velmor's CENS gets there (smoothed with a Hann window over the same span as
  velmor's 21-frame CENS filter, 84 frames, then every 20th frame kept: 2.153 frames/s), then the
  back end of the command line: dot-product SSM of unit-length frames (``unit7.make_ssm``),
  Gaussian checkerboard novelty of 12 s (``unit7.diagonal_novelty``, 26 frames), peaks that are the
  largest value of a 10 s window (``unit7.find_region_peaks``, 21 frames), at least 0.1 of the
  largest novelty value and half a kernel away from either end. Only the features differ from
  ``velmor segment``. MFCC: 20 coefficients without c0 (loudness), each standardised over the
  piece. CENS: ``librosa.feature.chroma_cens`` (CQT chroma).
- Extra rows, run only when ``--methods`` names them (``@2048``): the same two baselines computed
  at velmor's own framing (FFT 4096, hop 2048, smoothing 21, every 5th frame), to compare the
  features' cost at equal framing.
- ``librosa Laplacian (k=5)``: the Laplacian segmentation example of librosa's documentation,
  as published: CQT in dB (36 bins per octave, 7 octaves), beat-synchronous (median), recurrence
  affinity (width 3, symmetric) with a time-lag median filter, MFCC path similarity, the balanced
  combination, normalised Laplacian, median-filtered eigenvectors, k-means on the first k = 5
  (fixed, as in the example; random_state 0), boundaries where the cluster label changes. A
  boundary beat is turned into time through the beat frames padded with frame 0, which is how the
  columns of the beat-synchronous matrix line up (the example indexes the unpadded beat frames,
  which puts every boundary one beat late when the first beat is not at frame 0).
"""

import dataclasses
import importlib
from typing import Callable

import numpy as np

FS = 22050
HOP = 2048           # velmor's chroma hop: fft_len / 2 with the default fft_len of 4096
SMOOTH = 21          # velmor's default CENS filter length
DS = 5               # velmor's default CENS downsampling
FF = FS / HOP / DS   # 2.153 frames per second
KERNEL = 26          # 12 s at FF, even
NEIGHBOURHOOD = 21   # 10 s at FF, odd
MIN_HEIGHT = 0.1
LAPLACIAN_K = 5


@dataclasses.dataclass(frozen=True)
class Method:
    name: str
    load: Callable
    segment: Callable
    family: str  # "velmor" or "baseline"


# ---------------------------------------------------------------- velmor

def velmor_load(path):
    from velmor.cli import load_audio

    return load_audio(path, np.float32)[0], FS


def velmor_segment(signal, sr):
    from velmor.cli import Params, analyse_signal

    if sr != FS:
        raise ValueError(f"velmor analyses at {FS} Hz, got {sr}")
    return analyse_signal(signal, Params()).boundaries


def velmor_analysis_methods():
    """``velmor.analysis.METHODS`` as rows, or none when the module is not there."""
    try:
        analysis = importlib.import_module("velmor.analysis")
    except ImportError:
        return []
    registry = getattr(analysis, "METHODS", None) or {}
    return [Method(f"velmor.analysis:{name}", velmor_load, fn, "velmor") for name, fn in registry.items()]


# ---------------------------------------------------------------- baselines

def librosa_load(path):
    import librosa

    y, sr = librosa.load(path, sr=FS, mono=True)
    return y, sr


def _to_feature_rate(features, smooth, ds):
    """Smooth along time with a Hann window of ``smooth`` frames and keep every ``ds``-th frame."""
    from scipy.ndimage import convolve1d

    window = np.hanning(smooth + 2)[1:-1]
    window /= window.sum()
    return convolve1d(features, window, axis=1, mode="constant")[:, ::ds]


def checkerboard_backend(features, ff=FF):
    """velmor's command-line back end on a features x frames matrix: boundaries in seconds."""
    from velmor import unit7

    f = np.asarray(features, dtype=np.float64)
    norms = np.linalg.norm(f, axis=0)
    f = np.ascontiguousarray(f / np.where(norms > 0, norms, 1.0))
    ssm = np.asarray(unit7.make_ssm(f), dtype=np.float64)
    novelty = np.asarray(unit7.diagonal_novelty(ssm, KERNEL), dtype=np.float64)
    peaks = np.asarray(unit7.find_region_peaks(novelty, NEIGHBOURHOOD), dtype=np.intp)
    n, margin = len(novelty), KERNEL // 2
    if n == 0 or novelty.max() <= 0:
        return np.zeros(0)
    keep = (peaks >= margin) & (peaks < n - margin) & (novelty[peaks] >= MIN_HEIGHT * novelty.max())
    return peaks[keep] / ff


def _mfcc(signal, sr, n_fft, hop):
    import librosa

    m = librosa.feature.mfcc(y=signal, sr=sr, n_mfcc=20, n_fft=n_fft, hop_length=hop)[1:]
    m = (m - m.mean(axis=1, keepdims=True)) / (m.std(axis=1, keepdims=True) + 1e-9)
    ds = DS * HOP // hop
    return checkerboard_backend(_to_feature_rate(m, SMOOTH * HOP // hop, ds))


def _cens(signal, sr, hop):
    import librosa

    ds = DS * HOP // hop
    c = librosa.feature.chroma_cens(y=signal, sr=sr, hop_length=hop, win_len_smooth=SMOOTH * HOP // hop)
    return checkerboard_backend(c[:, ::ds])


def librosa_mfcc(signal, sr):
    """librosa's default MFCC framing (2048 / 512), at velmor's feature rate."""
    return _mfcc(signal, sr, 2048, 512)


def librosa_cens(signal, sr):
    """librosa's CENS at its default hop (512), smoothed over velmor's span, at velmor's feature rate."""
    return _cens(signal, sr, 512)


def librosa_mfcc_2048(signal, sr):
    return _mfcc(signal, sr, 2 * HOP, HOP)


def librosa_cens_2048(signal, sr):
    return _cens(signal, sr, HOP)


def librosa_laplacian(signal, sr, k=LAPLACIAN_K):
    """The Laplacian segmentation example of librosa's documentation, with k fixed."""
    import librosa
    import scipy
    import scipy.ndimage
    import scipy.sparse.csgraph
    from sklearn.cluster import KMeans

    bins_per_octave, n_octaves = 12 * 3, 7
    C = librosa.amplitude_to_db(np.abs(librosa.cqt(y=signal, sr=sr, bins_per_octave=bins_per_octave,
                                                   n_bins=n_octaves * bins_per_octave)), ref=np.max)
    _, beats = librosa.beat.beat_track(y=signal, sr=sr, trim=False)
    Csync = librosa.util.sync(C, beats, aggregate=np.median)
    beat_times = librosa.frames_to_time(librosa.util.fix_frames(beats, x_min=0), sr=sr)
    R = librosa.segment.recurrence_matrix(Csync, width=3, mode="affinity", sym=True)
    Rf = librosa.segment.timelag_filter(scipy.ndimage.median_filter)(R, size=(1, 7))
    mfcc = librosa.feature.mfcc(y=signal, sr=sr)
    Msync = librosa.util.sync(mfcc, beats)
    path_distance = np.sum(np.diff(Msync, axis=1) ** 2, axis=0)
    sigma = np.median(path_distance)
    path_sim = np.exp(-path_distance / sigma)
    R_path = np.diag(path_sim, k=1) + np.diag(path_sim, k=-1)
    deg_path = np.sum(R_path, axis=1)
    deg_rec = np.sum(Rf, axis=1)
    mu = deg_path.dot(deg_path + deg_rec) / np.sum((deg_path + deg_rec) ** 2)
    A = mu * Rf + (1 - mu) * R_path
    L = scipy.sparse.csgraph.laplacian(A, normed=True)
    _, evecs = scipy.linalg.eigh(L)
    evecs = scipy.ndimage.median_filter(evecs, size=(9, 1))
    Cnorm = np.cumsum(evecs ** 2, axis=1) ** 0.5
    k = min(k, evecs.shape[1])
    X = evecs[:, :k] / Cnorm[:, k - 1:k]
    seg_ids = KMeans(n_clusters=k, n_init=10, random_state=0).fit_predict(X)
    bound_beats = 1 + np.flatnonzero(seg_ids[:-1] != seg_ids[1:])
    bound_beats = librosa.util.fix_frames(bound_beats, x_min=0)
    return beat_times[bound_beats]


BASELINES = [
    Method("librosa MFCC + checkerboard", librosa_load, librosa_mfcc, "baseline"),
    Method("librosa CENS + checkerboard", librosa_load, librosa_cens, "baseline"),
    Method(f"librosa Laplacian (k={LAPLACIAN_K})", librosa_load, librosa_laplacian, "baseline"),
]


EXTRAS = [
    Method("librosa MFCC @2048 + checkerboard", librosa_load, librosa_mfcc_2048, "baseline"),
    Method("librosa CENS @2048 + checkerboard", librosa_load, librosa_cens_2048, "baseline"),
]


def all_methods():
    """Every row of the table, velmor's first (the extras last)."""
    return ([Method("velmor segment", velmor_load, velmor_segment, "velmor")] + velmor_analysis_methods()
            + BASELINES + EXTRAS)


def select(methods, patterns):
    """The methods whose name contains one of the comma-separated patterns (case-insensitive)."""
    if not patterns:
        return [m for m in methods if m not in EXTRAS]
    wanted = [p.strip().lower() for p in patterns.split(",") if p.strip()]
    chosen = [m for m in methods if any(w in m.name.lower() for w in wanted)]
    if not chosen:
        raise SystemExit(f"no method matches {patterns!r}; methods: {', '.join(m.name for m in methods)}")
    return chosen
