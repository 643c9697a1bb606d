"""Methods: one row per way of segmenting, naming the choice made at every stage.

A :class:`Method` is data: the features, how their similarities are weighted, the novelty road,
the time scales of peak selection and refinement. :func:`segment` runs it; calling the method
itself, ``METHODS[name](signal, sr)``, gives just the boundaries in seconds, which is the form the
quality benchmark scores every row in.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from velmor import unit7

from . import frontend
from .boundaries import _odd, refine, select_peaks
from .novelty import checkerboard_novelty, combine, structure_novelty
from .similarity import fused_similarity

ROADS = ("checkerboard", "structure", "both", "classic")


@dataclasses.dataclass(frozen=True, eq=False)
class Segmentation:
    """Boundaries of one signal, with the curve they were picked from.

    Attributes
    ----------
    boundaries : np.ndarray [shape=(k,)]
        Interior boundaries in seconds, increasing.
    novelty : np.ndarray [shape=(n,)]
        The novelty curve, one value per analysis frame.
    times : np.ndarray [shape=(n,)]
        Time in seconds at which a change found at each frame of ``novelty`` lies.
    rate : float
        Analysis frames per second.
    duration : float
        Length of the signal in seconds.
    method : str
    parameters : dict
        Every setting of the method, as run.
    peaks : np.ndarray [shape=(p,), dtype=intp]
        Frames of every novelty peak (the strict maxima of ``spacing`` seconds).
    frames : np.ndarray [shape=(k,), dtype=intp]
        Frames of the peaks chosen as boundaries, before any refinement.
    ssm : np.ndarray [shape=(n, n)] or None
        The (fused) self-similarity matrix, when asked for.
    """

    boundaries: np.ndarray
    novelty: np.ndarray
    times: np.ndarray
    rate: float
    duration: float
    method: str
    parameters: dict
    peaks: np.ndarray
    frames: np.ndarray
    ssm: np.ndarray | None = None


@dataclasses.dataclass(frozen=True)
class Method:
    """One way of segmenting: a choice per stage. Durations are in seconds.

    features, weights
        Features (:data:`velmor.analysis.frontend.FEATURES`) and the weight of each one's
        self-similarity in the fused matrix (None: equal).
    road
        ``"checkerboard"`` (novelty along the diagonal), ``"structure"`` (change of the
        repetition pattern), ``"both"`` (their normalised sum), or ``"classic"``: the
        ``velmor.unit7`` road (CENS, dot-product matrix, checkerboard, peaks above
        ``min_height`` of the highest novelty), with the command line's historic defaults.
    pool, hop_length, n_fft
        Spectrogram frames (of ``hop_length`` samples at 22050 Hz) per analysis frame; the
        spectrogram's frame and FFT length.
    kernel, kernel_share
        Side of the checkerboard (and width of the derivative kernel of the structure road), at
        most ``kernel_share`` of the signal's duration when that is set: short pieces have
        short sections.
    spacing, window, delta, floor, margin
        Peak selection (:func:`velmor.analysis.select_peaks`).
    refine_radius, refine_kernel
        Each boundary moves to the strongest change within ``refine_radius`` on the
        spectrogram's own time grid (0 switches refinement off).
    """

    name: str
    features: tuple = ("mfcc", "cens")
    weights: tuple | None = None
    road: str = "checkerboard"
    pool: int = 4
    hop_length: int = 1024
    n_fft: int = 4096
    kernel: float = 12.0
    kernel_share: float | None = None
    spacing: float = 6.0
    window: float = 24.0
    delta: float = 0.5
    floor: float = 0.05
    margin: float = 1.0
    refine_radius: float = 1.0
    refine_kernel: float = 3.0
    cens_filter: int = 9
    lag_frames: int = 0
    neighbours: float = 0.1
    min_height: float = 0.1

    def __post_init__(self):
        if self.road not in ROADS:
            raise ValueError(f"road must be one of {', '.join(ROADS)}, got {self.road!r}")
        if self.weights is not None and len(self.weights) != len(self.features):
            raise ValueError(f"weights must give one weight per feature, got {self.weights} for {self.features}")

    def __call__(self, signal, sr, *, count=None) -> np.ndarray:
        """Boundaries of ``signal`` in seconds."""
        return segment(signal, sr, self, count=count).boundaries

    def replace(self, **changes) -> "Method":
        """A copy with some settings changed."""
        return dataclasses.replace(self, **changes)

    def parameters(self) -> dict:
        return {k: v for k, v in dataclasses.asdict(self).items() if k != "name"}


def _classic(signal, sr, method, count):
    """The velmor.unit7 road with the command line's historic settings."""
    from velmor.cli.analysis import analyse_signal
    from velmor.cli.options import Params

    y = frontend.as_analysis_signal(signal, sr)
    a = analyse_signal(y, Params(method="classic"))
    frames = a.boundary_frames
    if count is not None:
        inner = a.peak_frames[(a.peak_frames >= a.frames["margin"]) & (a.peak_frames < len(a.novelty) - a.frames["margin"])]
        frames = np.sort(inner[np.argsort(-a.novelty[inner], kind="stable")][:count])
    times = np.arange(len(a.novelty)) / a.feature_rate
    return Segmentation(frames / a.feature_rate, a.novelty, times, a.feature_rate, a.duration, method.name,
                        method.parameters(), a.peak_frames, frames, a.ssm)


MATRIX_COPIES = 5
"""n x n float64 arrays that a method's road holds at its peak (measured: the fused matrix, a
partition of it, the recurrences and the padded lag matrix)."""


def memory_budget() -> int:
    """Bytes an analysis may spend on its matrices: half of this machine's memory."""
    import os

    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2
    except (ValueError, OSError, AttributeError):
        return 8 << 30


def check_memory(seconds, method):
    """Refuse, before any feature work, an input whose dense matrices would not fit the budget."""
    if not (np.isfinite(seconds) and seconds > 0):
        return
    n = int(seconds * frontend.ANALYSIS_SR / (method.hop_length * method.pool)) + 1
    need = MATRIX_COPIES * 8 * n * n
    if need > memory_budget():
        raise MemoryError(
            f"{seconds / 60:.1f} minutes of audio are too long for the {method.name!r} method: its "
            f"{n} x {n} similarity matrices need about {need / 2 ** 30:.1f} GiB, more than half of this "
            f"machine's memory; use the 'classic' method (fewer frames per second) or a shorter excerpt")


def segment(signal, sr, method="default", *, count=None, keep_ssm=False, **changes) -> Segmentation:
    """Find the section boundaries of a signal.

    Parameters
    ----------
    signal : np.ndarray [shape=(n,)]
        Mono samples; left untouched.
    sr : float
        Sample rate in Hz (resampled to 22050 Hz if different).
    method : str or Method
        A name in :data:`METHODS` or a :class:`Method`.
    count : int or None
        Ask for exactly this many boundaries (fewer only if the signal is too short).
    keep_ssm : bool
        Keep the fused self-similarity matrix in the result.
    **changes
        Settings of the method to override (``kernel=8.0``, ``features=("mfcc",)``, ...).

    Returns
    -------
    Segmentation
    """
    if isinstance(method, str):
        try:
            method = METHODS[DEFAULT_METHOD if method == "default" else method]
        except KeyError:
            raise ValueError(f"unknown method {method!r}; known: {', '.join(METHODS)}") from None
    if changes:
        method = method.replace(**changes)
    if method.road == "classic":
        return _classic(signal, sr, method, count)
    check_memory(np.shape(signal)[-1] / float(sr) if np.ndim(signal) else 0.0, method)

    raw = frontend.raw_features(signal, sr, method.features, n_fft=method.n_fft, hop_length=method.hop_length)
    return segment_features(raw, method, count=count, keep_ssm=keep_ssm)


def segment_features(raw, method, *, count=None, keep_ssm=False) -> Segmentation:
    """:func:`segment` from features already computed (:func:`velmor.analysis.frontend.raw_features`
    with the method's features, ``n_fft`` and ``hop_length``): every stage after the spectrogram."""
    options = dict(cens_filter=method.cens_filter, lag_frames=method.lag_frames)
    frames = frontend.pooled(raw, method.features, method.pool, **options)
    rate = frames.rate
    # The structure road alone is content with single precision, and twice as fast with it.
    dtype = np.float32 if method.road == "structure" else np.float64
    ssm = fused_similarity([frames.features[f] for f in method.features], method.weights, dtype=dtype)
    kernel = method.kernel if method.kernel_share is None else min(method.kernel, method.kernel_share * frames.duration)
    kernel_frames = kernel * rate
    curves = []
    if method.road in ("checkerboard", "both"):
        curves.append(checkerboard_novelty(ssm, kernel_frames))
    if method.road in ("structure", "both"):
        curves.append(structure_novelty(ssm, kernel_frames, neighbours=method.neighbours))
    novelty = curves[0] if len(curves) == 1 else combine(curves)
    peaks = select_peaks(novelty, rate, spacing=method.spacing, window=method.window, delta=method.delta,
                         floor=method.floor, margin=method.margin, count=count)
    candidates = np.asarray(unit7.find_region_peaks(novelty, _odd(method.spacing * rate)), dtype=np.intp)
    boundaries = frames.boundary_times(peaks)
    if method.refine_radius > 0 and boundaries.size:
        fine = frontend.pooled(raw, method.features, 1, **options)
        refined = refine(boundaries, fine, method.weights, kernel=method.refine_kernel, radius=method.refine_radius)
        if count is None or refined.size == boundaries.size:
            boundaries = refined
    times = frames.boundary_times(np.arange(len(novelty)))
    return Segmentation(boundaries, novelty, times, rate, frames.duration, method.name, method.parameters(),
                        candidates, peaks, ssm if keep_ssm else None)


METHODS = {
    m.name: m
    for m in (
        Method("classic", features=("cens",), road="classic"),
        Method("mfcc", features=("mfcc",)),
        Method("chroma", features=("cens",)),
        Method("fused", features=("mfcc", "cens")),
        Method("structure", features=("mfcc", "cens"), road="structure", pool=2, hop_length=3072, kernel=24.0,
               kernel_share=1 / 3,
               spacing=10.0, floor=0.13, margin=4.0, refine_radius=0.5, cens_filter=17, neighbours=0.1),
        Method("fused+structure", features=("mfcc", "cens"), road="both", lag_frames=2),
    )
}
"""The methods by name; each is a callable ``(signal, sr) -> boundaries in seconds``."""

DEFAULT_METHOD = "structure"
