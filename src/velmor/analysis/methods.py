"""Methods: one row per way of segmenting, naming the choice made at every stage.

A :class:`Method` is data: the features, how their similarities are weighted, the novelty road,
the time scales of peak selection and refinement. :func:`segment` runs it; calling the method
itself, ``METHODS[name](signal, sr)``, gives just the boundaries in seconds, which is the form the
quality benchmark scores every row in.
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Mapping
from typing import Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velmor import audio, unit7
from velmor.features import Float64, Floats

from . import banded, frontend
from .boundaries import _odd, refine, select_peaks, whole_frames
from .novelty import checkerboard_novelty, combine, structure_novelty
from .similarity import fused_similarity

ROADS = ("checkerboard", "structure", "both", "classic")


@dataclasses.dataclass(frozen=True, eq=False)
class Segmentation:
    """Boundaries of one signal, with the curve they were picked from.

    Attributes
    ----------
    boundaries : np.ndarray [shape=(k,)]
        The boundaries found inside the signal, in seconds, increasing.
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
        The (fused) self-similarity matrix, when asked for on the dense road.
    road : str
        ``"dense"`` (the whole matrix) or ``"banded"`` (the band the kernel reads; see :func:`plan`).
    features : FeatureFrames or None
        The per-frame features the curve came from (segment-level similarity, labels, needs no
        n x n matrix), None on the classic road.
    frame_offset : float
        Where the centre of frame ``i`` lies after ``times[i]``, in frames (see ``frame_times``).
    """

    boundaries: Float64
    novelty: Float64
    times: Float64
    rate: float
    duration: float
    method: str
    parameters: dict[str, Any]
    peaks: NDArray[np.intp]
    frames: NDArray[np.intp]
    ssm: Floats | None = None
    road: str = "dense"
    features: frontend.FeatureFrames | None = None
    frame_offset: float = 0.5

    @property
    def frame_times(self) -> Float64:  # numpydoc ignore=RT01
        """Centre of each analysis frame (each row and column of ``ssm``) in seconds."""
        return self.times + self.frame_offset / self.rate

    # The names a Structure gives the same things.
    @property
    def feature_rate(self) -> float:  # numpydoc ignore=RT01
        """The analysis frames per second (``rate``)."""
        return self.rate

    @property
    def peak_frames(self) -> NDArray[np.intp]:  # numpydoc ignore=RT01
        """The frames of every novelty peak (``peaks``)."""
        return self.peaks

    @property
    def boundary_frames(self) -> NDArray[np.intp]:  # numpydoc ignore=RT01
        """The frames of the peaks chosen as boundaries (``frames``)."""
        return self.frames


MAX_SECONDS = 1e7
"""The longest duration a setting may give (about 116 days)."""
MAX_WEIGHT = 1e12
"""The largest weight of a feature's similarity."""


@dataclasses.dataclass(frozen=True)
class _Range:
    """The values a setting of :class:`Method` may take."""

    low: float
    high: float
    low_open: bool = True
    high_open: bool = False
    integral: bool = False
    optional: bool = False

    def admits(self, value: object) -> bool:  # numpydoc ignore=GL08
        if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
            return False
        if self.integral and not isinstance(value, (int, np.integer)):
            return False
        x = float(cast(Any, value))  # a real number, as checked
        if not math.isfinite(x):
            return False
        return (x > self.low if self.low_open else x >= self.low) and (x < self.high if self.high_open else x <= self.high)

    def describe(self, unit: str = "") -> str:  # numpydoc ignore=GL08
        if math.isinf(self.low):
            return "a finite number"
        kind = "a whole number" if self.integral else "a number"
        low = f"above {self.low:g}" if self.low_open else f"from {self.low:g}"
        high = f"below {self.high:g}" if self.high_open else f"{'up ' if self.low_open else ''}to {self.high:g}"
        return f"{kind}{unit} {low} {high}{' or None' if self.optional else ''}"


_SECONDS = _Range(0.0, MAX_SECONDS)
_LIMITS = {
    "pool": _Range(1, 1 << 16, low_open=False, integral=True),
    "hop_length": _Range(1, 1 << 22, low_open=False, integral=True),
    "n_fft": _Range(2, 1 << 22, low_open=False, integral=True),
    "cens_filter": _Range(1, 1 << 16, low_open=False, integral=True),
    "lag_frames": _Range(0, 1 << 16, low_open=False, integral=True),
    "kernel": _SECONDS,
    "kernel_share": _Range(0.0, 1.0, optional=True),
    "spacing": _SECONDS,
    "window": _SECONDS,
    "delta": _Range(-math.inf, math.inf),
    "floor": _Range(-math.inf, math.inf),
    "margin": _Range(0.0, MAX_SECONDS, low_open=False),
    "smooth": _Range(0.0, MAX_SECONDS, optional=True),
    "threshold": _Range(0.0, 1.0, low_open=False, high_open=True, optional=True),
    "refine_radius": _Range(0.0, MAX_SECONDS, low_open=False),
    "refine_kernel": _SECONDS,
    "neighbours": _Range(0.0, 1.0),
    "min_height": _Range(0.0, 1.0, low_open=False),
}
"""The range of each numeric setting (durations in seconds)."""
_WEIGHT = _Range(0.0, MAX_WEIGHT, low_open=False)


@dataclasses.dataclass(frozen=True)
class Method:
    """One way of segmenting: a choice per stage. Durations are in seconds.

    features, weights
        Features (:data:`velmor.analysis.frontend.FEATURES`) and the weight of each one's
        self-similarity in the fused matrix (None: equal).
    road
        ``"checkerboard"`` (novelty along the diagonal), ``"structure"`` (change of the
        repetition pattern), ``"both"`` (their normalised sum), or ``"classic"``: the
        ``velmor.unit7`` road (CENS, dot-product matrix, optional diagonal smoothing and
        threshold, checkerboard, region peaks above ``min_height`` of the highest novelty).
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
    lags
        The structure road looks for repetitions within this many seconds only, on the band of
        the matrix (:func:`velmor.analysis.banded.banded_structure_novelty`), in memory linear in
        the length; None: anywhere, on the whole matrix.
    smooth, threshold, min_height
        The classic road's conditioning of the matrix (diagonal smoothing over ``smooth``
        seconds, :func:`velmor.unit7.thresh_and_scale` at ``threshold``; None: off) and the
        height below which, as a share of the highest novelty, a peak is no boundary. Its
        spectrogram frames are ``n_fft`` long with a hop of half that, CENS is downsampled by
        ``pool`` and smoothed over ``cens_filter`` frames, ``spacing`` is the window a peak is
        the largest value of, and a ``margin`` of None is half the kernel.
    """

    name: str
    features: tuple[str, ...] = ("mfcc", "cens")
    weights: tuple[float, ...] | None = None
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
    margin: float | None = 1.0
    smooth: float | None = None
    threshold: float | None = None
    refine_radius: float = 1.0
    refine_kernel: float = 3.0
    cens_filter: int = 9
    lag_frames: int = 0
    neighbours: float = 0.1
    min_height: float = 0.1
    lags: float | None = None

    def __post_init__(self) -> None:
        if self.road not in ROADS:
            raise ValueError(f"road must be one of {', '.join(ROADS)}, got {self.road!r}")
        names = self.features
        if (isinstance(names, str) or not isinstance(cast(object, names), tuple) or not names
                or any(f not in frontend.FEATURES for f in names) or len(set(names)) != len(names)):
            raise ValueError(f"features must be a non-empty tuple of distinct names of {', '.join(frontend.FEATURES)}, "
                             f"got {names!r}")
        for name, allowed in _LIMITS.items():
            value = getattr(self, name)
            if value is None and (allowed.optional or name == "margin" and self.road == "classic"):
                continue
            if not allowed.admits(value):
                unit = " of seconds" if allowed.high == MAX_SECONDS else ""
                raise ValueError(f"{name} must be {allowed.describe(unit)}, got {value!r}")
        if self.weights is not None:
            w = self.weights
            if (not isinstance(cast(object, w), tuple) or len(w) != len(names)
                    or not all(_WEIGHT.admits(x) for x in w) or not any(x > 0 for x in w)):
                raise ValueError(f"weights must give one weight per feature, finite numbers from 0 to {MAX_WEIGHT:g}, "
                                 f"not all 0; got {w!r} for {names}")
        if self.lags is not None and (self.road != "structure" or not _SECONDS.admits(self.lags)):
            raise ValueError(f"lags must be a positive number of seconds, on the structure road only; got {self.lags!r} "
                             f"on the {self.road} road")
        if self.road == "classic" and self.hop_length * 2 != self.n_fft:
            raise ValueError(f"the classic road's hop is half its FFT length: n_fft {self.n_fft} and hop_length "
                             f"{self.hop_length}")

    def __call__(self, signal: ArrayLike, sr: float, *, count: int | None = None) -> Float64:
        """Boundaries of ``signal`` in seconds."""
        return segment(signal, sr, self, count=count).boundaries

    def replace(self, **changes: Any) -> Method:
        """A copy with some settings changed.

        Parameters
        ----------
        **changes
            New values of fields of the method.

        Returns
        -------
        Method
            A new method; this one is unchanged.
        """
        return dataclasses.replace(self, **changes)

    def parameters(self) -> dict[str, Any]:
        """Every setting of the method, by name (its name aside).

        Returns
        -------
        dict
            A new dict.
        """
        return {k: v for k, v in dataclasses.asdict(self).items() if k != "name"}


def _classic(signal: ArrayLike, sr: float, method: Method, count: int | None) -> Segmentation:
    """The velmor.unit7 road: CENS, dot-product matrix, its conditioning, checkerboard, region peaks.

    A peak is a frame whose novelty is larger than every other value in the window of ``spacing``
    centred on it (``unit7.find_region_peaks``); peaks lower than ``min_height`` times the highest
    novelty, and peaks within the margin of either end (where the kernel hangs over the edge of
    the matrix), are not boundaries. With ``count``, the highest peaks inside the margins are.
    """
    y = np.ascontiguousarray(audio.to_analysis_rate(signal, sr), dtype=np.float64)
    ssm, ff = unit7.audio_to_ssm(y, method.cens_filter, method.pool, method.n_fft)
    rate = float(ff)
    kernel = whole_frames(method.kernel, rate, "even")
    margin = kernel // 2 if method.margin is None else whole_frames(method.margin, rate)
    if method.smooth is not None and whole_frames(method.smooth, rate) > 1:
        ssm = unit7.diagonal_smoothing(ssm, whole_frames(method.smooth, rate))
    if method.threshold is not None:
        ssm = unit7.thresh_and_scale(np.minimum(ssm, 1.0), method.threshold)
    novelty = np.asarray(unit7.diagonal_novelty(ssm, kernel), dtype=float)
    peaks = np.asarray(unit7.find_region_peaks(novelty, whole_frames(method.spacing, rate, "odd")), dtype=np.intp)
    n = len(novelty)
    inside = (peaks >= margin) & (peaks < n - margin)
    if count is not None:
        inner = peaks[inside]
        frames = np.sort(inner[np.argsort(-novelty[inner], kind="stable")][:count])
    else:
        top = novelty.max() if n else 0.0
        frames = peaks[inside & (novelty[peaks] >= method.min_height * top)] if top > 0 else peaks[:0]
    times = np.arange(n) / rate
    return Segmentation(frames / rate, novelty, times, rate, len(y) / audio.ANALYSIS_SR, method.name,
                        method.parameters(), peaks, frames, ssm, frame_offset=0.0)


CLASSIC_SETTINGS = {"kernel": "kernel", "neighbourhood": "spacing", "margin": "margin", "smooth": "smooth",
                    "threshold": "threshold", "min_height": "min_height", "cens_filter": "cens_filter",
                    "cens_ds": "pool", "fft_len": "n_fft"}
"""The classic method's settings by the names :func:`velmor.analyze` takes, and the field of its
row each one sets (``fft_len`` sets ``hop_length`` to half of it too). Durations are in seconds."""


def with_settings(method: str | Method, settings: Mapping[str, Any]) -> Method:
    """The method a name (or ``"default"``) stands for, with some of its settings changed.

    Parameters
    ----------
    method : str or Method
        A name in :data:`METHODS`, ``"default"`` or a method.
    settings : mapping
        Fields of :class:`Method` (for the classic method: the names of :data:`CLASSIC_SETTINGS`;
        None leaves a setting as it is).

    Returns
    -------
    Method
        The method, changed.

    Raises
    ------
    TypeError
        For a setting the method does not have.
    """
    if isinstance(method, str):
        name = DEFAULT_METHOD if method == "default" else method
        if name not in METHODS:
            raise ValueError(f"unknown method {method!r}; known: default, {', '.join(METHODS)}")
        method = METHODS[name]
    elif not isinstance(cast(object, method), Method):
        raise TypeError(f"method must be a name or a velmor.analysis.Method, got {type(method).__name__}")
    if method.road == "classic":
        unknown = sorted(set(settings) - set(CLASSIC_SETTINGS))
        if unknown:
            raise TypeError(f"unknown setting(s) of the classic method: {', '.join(unknown)}; "
                            f"known: {', '.join(CLASSIC_SETTINGS)}")
        changes = {CLASSIC_SETTINGS[k]: v for k, v in settings.items() if v is not None}
        if "n_fft" in changes:
            changes["hop_length"] = int(changes["n_fft"]) // 2
        return method.replace(**changes) if changes else method
    known = {f.name for f in dataclasses.fields(Method)} - {"name"}
    unknown = sorted(set(settings) - known)
    if unknown:
        raise TypeError(f"unknown setting(s) of method {method.name!r}: {', '.join(unknown)}; "
                        f"known: {', '.join(sorted(known))}")
    if settings.get("weights") is not None and not isinstance(settings["weights"], str):
        settings = dict(settings, weights=tuple(settings["weights"]))
    if "features" in settings:
        settings = dict(settings, features=tuple(settings["features"]))
        if method.weights is not None and "weights" not in settings:
            settings["weights"] = None
    return method.replace(**settings) if settings else method


MATRIX_COPIES = banded.DENSE_COPIES
"""n x n float64 arrays that a method's dense road holds at its peak (measured: the fused matrix, a
partition of it, the recurrences and the padded lag matrix)."""

LONG_METHOD = "long"
"""The method the default method hands an input too long for its structure road, which needs the
whole matrix: a structure road with repetitions looked for within a minute only, on the band of the
matrix (memory linear in the length), at 5.4 frames per second. The lag limit and the neighbour share (0.2) were
chosen on the tuning half of the quality corpus concatenated into 3 hours (make bench-long), where
it scores F 0.59 / 0.69 at 0.5 s / 3 s on the tuning half and 0.58 / 0.66 on the held-out half,
against 0.36 / 0.55 and 0.41 / 0.59 for the checkerboard road with the same settings."""


def memory_budget() -> int:
    """The bytes the dense road's matrices may take by default.

    Returns
    -------
    int
        :data:`banded.DEFAULT_MAX_MEMORY`, at most half of this machine's memory.
    """
    return banded.max_memory()


class TooLongError(MemoryError):
    """An input too long for a method whose road needs the whole self-similarity matrix."""


LONG_FILE_SECONDS = 600.0
"""Files longer than this are read and analysed a block at a time, never whole in memory."""


def long_file(path: str | os.PathLike[str]) -> dict[str, Any] | None:
    """The header of an audio file to read a block at a time (:func:`segment_file`), else None.

    A file is read a block at a time when it is longer than :data:`LONG_FILE_SECONDS`; anything
    the block reader cannot open gives None too (the whole-file reader then says why).

    Parameters
    ----------
    path : str or os.PathLike
        The audio file.

    Returns
    -------
    dict or None
        :func:`velmor.audio.file_info` of the file, or None.
    """
    try:
        info = audio.file_info(path)
    except Exception:
        return None
    return info if info["duration"] > LONG_FILE_SECONDS else None


def frames_for(seconds: float, method: Method) -> int:
    """Count the analysis frames of ``seconds`` of audio with ``method`` (an upper bound).

    Parameters
    ----------
    seconds : float
        Length of the audio.
    method : Method
        Its framing (``hop_length``, ``pool``) sets the frame rate.

    Returns
    -------
    int
        Frames.
    """
    return int(seconds * frontend.ANALYSIS_SR / (method.hop_length * method.pool)) + 1


FRAMING = ("n_fft", "hop_length", "pool")
"""The settings that make a method's frame rate together."""


def _resolve(method: str | Method, fallback: bool | None) -> tuple[Method, bool | None]:
    """The method a name stands for, and whether it falls back to :data:`LONG_METHOD` (by
    default only when the name is ``"default"``); a Method and its ``fallback`` pass through."""
    if not isinstance(method, str):
        return method, fallback
    if fallback is None:
        fallback = method == "default"
    return with_settings(method, {}), fallback


def plan(seconds: float, method: str | Method = "default", *, max_memory: int | str | None = None,
         fallback: bool | None = None) -> tuple[Method, str]:
    """The method and road an input of ``seconds`` takes, decided before any feature work.

    The dense road builds the n x n matrices; it is taken while they fit ``max_memory`` (bytes, or
    a string such as ``"4G"``; default :func:`memory_budget`). Above it the checkerboard road runs
    banded (:mod:`velmor.analysis.banded`: the same curve, memory linear in the length). The
    structure road needs the whole matrix: with ``fallback`` (by default, when ``method`` is
    ``"default"``) the input takes :data:`LONG_METHOD` instead (repetitions within a minute, on the
    band), with the settings asked of the method; otherwise :class:`TooLongError` says which option
    helps. A structure road with ``lags`` always takes the band.

    Parameters
    ----------
    seconds : float
        Length of the input.
    method : str or Method
        A name in :data:`METHODS` (or ``"default"``) or a method.
    max_memory : int, str or None
        Bytes the dense road may take (see :func:`velmor.analysis.banded.parse_bytes`).
    fallback : bool or None
        Whether a structure road too long for ``max_memory`` takes :data:`LONG_METHOD`.

    Returns
    -------
    method : Method
        The method to run (``parameters()["road"]`` tells its novelty road).
    road : str
        ``"dense"`` or ``"banded"``.
    """
    method, fallback = _resolve(method, fallback)
    budget = memory_budget() if max_memory is None else banded.parse_bytes(max_memory)
    if method.road == "classic" or not (np.isfinite(seconds) and seconds > 0):
        return method, "dense"
    if method.lags is not None:  # reads the band only, whatever the length
        return method, "banded"
    n = frames_for(seconds, method)
    need = banded.dense_bytes(n)
    if need <= budget:
        return method, "dense"
    if method.road == "checkerboard":
        return method, "banded"
    if fallback:
        # The long method with every setting in which this method differs from the default row
        # (a kernel, features or frame rate asked for), so that what was asked for still holds.
        row, long = METHODS[DEFAULT_METHOD], METHODS[LONG_METHOD]
        asked = {f.name: getattr(method, f.name) for f in dataclasses.fields(Method)
                 if f.name not in ("name", "road") and getattr(method, f.name) != getattr(row, f.name)}
        if asked.keys() & FRAMING:  # a frame rate asked for is the framing as a whole
            asked.update({name: getattr(method, name) for name in FRAMING})
        return long.replace(**asked), "banded"
    raise TooLongError(
        f"{seconds / 60:.1f} minutes of audio are too long for the {method.name!r} method: its "
        f"structure road needs the whole {n} x {n} similarity matrix, about {_size(need)}, "
        f"more than the memory allowed ({_size(budget)}); use a method that reads only a band of it, "
        f"in memory linear in the length (the default method, which then falls back to "
        f"--method {LONG_METHOD}, or a checkerboard method such as fused), "
        f"raise --max-memory (max_memory=), or use the 'classic' method (fewer frames per second) or a "
        f"shorter excerpt")


def _size(n: int) -> str:
    return f"{n / 2 ** 30:.1f} GiB" if n >= 2 ** 30 else f"{n / 2 ** 20:.1f} MiB"


def check_memory(seconds: float, method: str | Method, max_memory: int | str | None = None) -> None:
    """Refuse, before any feature work, an input too long for the method's road.

    See :func:`plan`.

    Parameters
    ----------
    seconds : float
        Length of the input.
    method : str or Method
        A name in :data:`METHODS` or a method.
    max_memory : int, str or None
        Bytes the dense road may take.
    """
    plan(seconds, method, max_memory=max_memory, fallback=False)


def segment(signal: ArrayLike, sr: float, method: str | Method = "default", *, count: int | None = None,
            keep_ssm: bool = False, max_memory: int | str | None = None, fallback: bool | None = None,
            **changes: Any) -> Segmentation:
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
        Keep the fused self-similarity matrix in the result (on the dense road only).
    max_memory : int, str or None
        The memory the dense road's matrices may take (see :func:`plan`).
    fallback : bool or None
        What the structure road does above it (see :func:`plan`).
    **changes
        Settings of the method to override (``kernel=8.0``, ``features=("mfcc",)``, ...).

    Returns
    -------
    Segmentation
        The boundaries in seconds, with the curve and the peaks they were picked from.
    """
    if changes:
        method, fallback = _resolve(method, fallback)
        method = method.replace(**changes)
    seconds = np.shape(signal)[-1] / float(sr) if np.ndim(signal) else 0.0
    method, road = plan(seconds, method, max_memory=max_memory, fallback=fallback)
    if method.road == "classic":
        return _classic(signal, sr, method, count)

    raw = frontend.raw_features(signal, sr, method.features, n_fft=method.n_fft, hop_length=method.hop_length)
    return segment_features(raw, method, count=count, keep_ssm=keep_ssm, road=road)


def segment_file(path: str, method: str | Method = "default", *, count: int | None = None, keep_ssm: bool = False,
                 max_memory: int | str | None = None, fallback: bool | None = None, **changes: Any) -> Segmentation:
    """Find the section boundaries of an audio file, read and analysed a block at a time.

    The samples of a long recording never sit in memory whole
    (:func:`velmor.analysis.audio_blocks.file_features`). The road is chosen from the file's
    header, before any feature work.

    Parameters
    ----------
    path : str
        Any file libsndfile reads.
    method : str or Method
        A name in :data:`METHODS` or a :class:`Method`; not the classic one.
    count : int or None
        Ask for exactly this many boundaries.
    keep_ssm : bool
        Keep the fused self-similarity matrix (on the dense road only).
    max_memory : int, str or None
        The memory the dense road's matrices may take (see :func:`plan`).
    fallback : bool or None
        What the structure road does above it (see :func:`plan`).
    **changes
        Settings of the method to override.

    Returns
    -------
    Segmentation
        As :func:`segment` returns it.
    """
    from . import audio_blocks

    method, fallback = _resolve(method, fallback)
    if changes:
        method = method.replace(**changes)
    if method.road == "classic":
        raise ValueError("the classic road reads the whole signal: use segment() on its samples")
    method, road = plan(audio_blocks.file_info(path)["duration"], method, max_memory=max_memory, fallback=fallback)
    raw, _ = audio_blocks.file_features(path, method.features, n_fft=method.n_fft, hop_length=method.hop_length)
    return segment_features(raw, method, count=count, keep_ssm=keep_ssm, road=road)


def segment_features(raw: frontend.RawFeatures, method: Method, *, count: int | None = None, keep_ssm: bool = False,
                     road: str | None = None) -> Segmentation:
    """Find the section boundaries from features already computed.

    Every stage of :func:`segment` after the spectrogram, on the ``road`` that :func:`plan` chose.

    Parameters
    ----------
    raw : RawFeatures
        :func:`velmor.analysis.frontend.raw_features` with the method's features, ``n_fft`` and
        ``hop_length``.
    method : Method
        The method.
    count : int or None
        Ask for exactly this many boundaries.
    keep_ssm : bool
        Keep the fused self-similarity matrix (on the dense road only).
    road : str or None
        ``"dense"`` or ``"banded"`` (which takes checkerboard methods and structure roads with
        ``lags`` only); None: banded for those with ``lags``, else dense.

    Returns
    -------
    Segmentation
        As :func:`segment` returns it.
    """
    if road is None:
        road = "banded" if method.lags is not None else "dense"
    if road not in ("dense", "banded"):
        raise ValueError(f"road must be 'dense' or 'banded', got {road!r}")
    if road == "banded" and not (method.road == "checkerboard" or method.lags is not None):
        raise ValueError(f"the {method.road} road of the {method.name!r} method needs the whole matrix: "
                         "it has no banded road (give it lags)")
    if road == "dense" and method.lags is not None:
        raise ValueError(f"the {method.name!r} method's lags are looked for on the band: road must be 'banded'")
    options = dict(cens_filter=method.cens_filter, lag_frames=method.lag_frames)
    frames = frontend.pooled(raw, method.features, method.pool, **options)
    rate = frames.rate
    kernel = method.kernel if method.kernel_share is None else min(method.kernel, method.kernel_share * frames.duration)
    kernel_frames = kernel * rate
    curves: list[Float64] = []
    ssm: Floats | None = None
    if road == "banded":
        feats = [frames.features[f] for f in method.features]
        if method.road == "structure":
            assert method.lags is not None  # checked above: the band serves a structure road with lags
            curves.append(banded.banded_structure_novelty(feats, kernel_frames, lags=max(1, round(method.lags * rate)),
                                                          weights=method.weights, neighbours=method.neighbours))
        else:
            curves.append(banded.banded_novelty(feats, kernel_frames, weights=method.weights))
    else:
        # The structure road alone is content with single precision, and twice as fast with it.
        dtype = np.float32 if method.road == "structure" else np.float64
        ssm = fused_similarity([frames.features[f] for f in method.features], method.weights, dtype=dtype)
        if method.road in ("checkerboard", "both"):
            curves.append(checkerboard_novelty(ssm, kernel_frames))
        if method.road in ("structure", "both"):
            curves.append(structure_novelty(ssm, kernel_frames, neighbours=method.neighbours))
    novelty = curves[0] if len(curves) == 1 else combine(curves)
    # The structure road's curve climbs towards the ends, where its kernel meets repeated columns.
    overhang = kernel / 2 if method.road in ("structure", "both") else 0.0
    peaks = select_peaks(novelty, rate, spacing=method.spacing, window=method.window, delta=method.delta,
                         floor=method.floor, margin=method.margin or 0.0, count=count, overhang=overhang)
    candidates = np.asarray(unit7.find_region_peaks(novelty, _odd(method.spacing * rate)), dtype=np.intp)
    boundaries = frames.boundary_times(peaks)
    if method.refine_radius > 0 and boundaries.size:
        fine = frontend.pooled(raw, method.features, 1, **options)
        refined = refine(boundaries, fine, method.weights, kernel=method.refine_kernel, radius=method.refine_radius)
        if count is None or refined.size == boundaries.size:
            boundaries = refined
    times = frames.boundary_times(np.arange(len(novelty)))
    return Segmentation(boundaries, novelty, times, rate, frames.duration, method.name, method.parameters(),
                        candidates, peaks, ssm if keep_ssm else None, road, frames)


METHODS: dict[str, Method] = {
    m.name: m
    for m in (
        Method("classic", features=("cens",), road="classic", pool=5, hop_length=2048, n_fft=4096, kernel=12.0,
               spacing=10.0, margin=None, cens_filter=21, min_height=0.1),
        Method("mfcc", features=("mfcc",)),
        Method("chroma", features=("cens",)),
        Method("fused", features=("mfcc", "cens")),
        Method("structure", features=("mfcc", "cens"), road="structure", pool=2, hop_length=3072, kernel=24.0,
               kernel_share=1 / 3, spacing=10.0, floor=0.13, margin=4.0, refine_radius=0.5, cens_filter=17,
               neighbours=0.1),
        Method("fused+structure", features=("mfcc", "cens"), road="both", lag_frames=2),
    )
}
"""The methods by name; each is a callable ``(signal, sr) -> boundaries in seconds``."""

METHODS[LONG_METHOD] = Method(LONG_METHOD, features=("mfcc", "cens"), road="structure", kernel=20.0, spacing=12.0,
                              floor=0.1, margin=4.0, refine_radius=0.5, cens_filter=17, neighbours=0.2, lags=60.0)

DEFAULT_METHOD = "structure"
