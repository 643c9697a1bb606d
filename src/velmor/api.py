"""velmor.analyze: from an audio file or a signal to labelled segments in one call.

    >>> s = velmor.analyze("song.flac")
    >>> s.boundaries          # seconds
    >>> s.segments            # ((0.0, 12.1, 'A'), (12.1, 26.0, 'B'), ...)
    >>> s.plot()              # SSM, label bar and novelty curve on matplotlib axes

:func:`analyze` runs the stages of :mod:`velmor.analysis` (features, similarity, novelty,
boundaries, labels) and returns a :class:`Structure`, a frozen record of plain arrays in seconds
whose methods only present it (``to_lab``, ``to_json``, ``to_jams``, ``plot``).
"""

from __future__ import annotations

import dataclasses
import json
import os

import numpy as np

from .analysis import frontend
from .analysis.labels import (DEFAULT_THRESHOLD, cluster_segments, feature_segment_similarity, letters,
                              segment_similarity)

CLASSIC_SETTINGS = ("kernel", "neighbourhood", "margin", "smooth", "threshold", "min_height", "cens_filter",
                    "cens_ds", "fft_len")
"""Settings of the classic road (durations in seconds)."""


class FrozenDict(dict):
    """A dict that refuses changes (and still pickles)."""

    def _read_only(self, *args, **kwargs):
        raise TypeError("the parameters of a result are read-only; copy them with dict(...)")

    __setitem__ = __delitem__ = __ior__ = clear = pop = popitem = setdefault = update = _read_only

    def __reduce__(self):
        return type(self), (dict(self),)


def _frozen_array(values, dtype=None):
    a = np.array(values, dtype=dtype)
    a.flags.writeable = False
    return a


def _plain(value):
    """A JSON-ready copy of a parameter value."""
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (tuple, list)):
        return [_plain(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    return value


@dataclasses.dataclass(frozen=True, eq=False)
class Structure:
    """The sections of one piece: boundaries, labels and the curves behind them.

    Attributes
    ----------
    boundaries : np.ndarray [shape=(k,)]
        Interior boundaries in seconds, increasing (neither 0 nor the end of the piece).
    labels : tuple of str [length k + 1]
        Label of every segment (``A, B, C, ...`` in order of first appearance; equal labels
        are repetitions of one section).
    duration : float
        Length of the piece in seconds.
    novelty : np.ndarray [shape=(n,)]
        The novelty curve, one value per analysis frame.
    times : np.ndarray [shape=(n,)]
        Time in seconds of a change found at each novelty frame.
    frame_times : np.ndarray [shape=(n,)]
        Centre of each analysis frame (each row and column of ``ssm``) in seconds.
    rate : float
        Analysis frames per second.
    method : str
    parameters : dict (read-only)
        Every setting of the method, as run, with the labelling's.
    peak_frames, boundary_frames : np.ndarray [dtype=intp]
        Frames of all novelty peaks, and of those chosen as boundaries (before refinement).
    ssm : np.ndarray [shape=(n, n)] or None
        The self-similarity matrix, when asked for (``analyze(..., return_ssm=True)``).
    source : str or None
        The file analysed.
    sample_rate : float or None
        The input's sample rate in Hz.
    channels : int
        Channels of the input (averaged to one).
    road : str
        ``"dense"`` (the whole matrix) or ``"banded"`` (a band of it: long inputs).
    note : str or None
        Why the method run is not the one asked for (an input too long for its whole matrix).
    """

    boundaries: np.ndarray
    labels: tuple
    duration: float
    novelty: np.ndarray
    times: np.ndarray
    frame_times: np.ndarray
    rate: float
    method: str
    parameters: FrozenDict
    peak_frames: np.ndarray
    boundary_frames: np.ndarray
    ssm: np.ndarray | None = None
    source: str | None = None
    sample_rate: float | None = None
    channels: int = 1
    road: str = "dense"
    note: str | None = None

    @property
    def intervals(self) -> np.ndarray:
        """``[[start, end], ...]`` of every segment in seconds, from 0 to the end of the piece."""
        edges = np.concatenate([[0.0], self.boundaries, [self.duration]])
        return np.stack([edges[:-1], edges[1:]], axis=1)

    @property
    def segments(self) -> tuple:
        """``((start, end, label), ...)`` in seconds."""
        return tuple((float(s), float(e), lab) for (s, e), lab in zip(self.intervals, self.labels))

    def to_lab(self) -> str:
        """The segments as lines of ``start<TAB>end<TAB>label`` (seconds, 3 decimals)."""
        return "".join(f"{s:.3f}\t{e:.3f}\t{lab}\n" for s, e, lab in self.segments)

    def to_dict(self, *, curves=False) -> dict:
        """A JSON-ready dict: the segments, boundaries and settings (and the curves if asked)."""
        out = {
            "file": self.source,
            "duration": self.duration,
            "sample_rate": self.sample_rate,
            "channels": self.channels,
            "method": self.method,
            "feature_rate": self.rate,
            "parameters": _plain(dict(self.parameters)),
            "boundaries": self.boundaries.tolist(),
            "labels": list(self.labels),
            "segments": [list(s) for s in self.segments],
            "road": self.road,
        }
        if self.note is not None:
            out["note"] = self.note
        if curves:
            out["times"] = self.times.tolist()
            out["novelty"] = self.novelty.tolist()
        return out

    def to_json(self, *, curves=False, indent=2) -> str:
        """:meth:`to_dict` as JSON text."""
        return json.dumps(self.to_dict(curves=curves), indent=indent)

    def to_jams(self, *, reference=None):
        """A ``jams.JAMS`` with one ``segment_open`` annotation of the segments (needs the
        ``jams`` extra); see :func:`velmor.annotations.to_jams`."""
        from .annotations import to_jams

        return to_jams(self, reference=reference)

    def plot(self, ax=None, *, reference=None, title=None, colorbar=True):
        """Draw the SSM (if kept), the label bar(s) and the novelty curve; see
        :func:`velmor.plot.plot_structure`. Returns the dict of axes drawn on."""
        from .plot import plot_structure

        return plot_structure(self, ax, reference=reference, title=title, colorbar=colorbar)


# ---------------------------------------------------------------- audio in

def read_audio(path, dtype=np.float64):
    """Samples of an audio file as ``(mono signal of dtype, sample rate, channels)``.

    Reads anything libsndfile reads (the ``audio`` extra: soundfile); channels are averaged.
    """
    try:
        import soundfile as sf
    except ImportError:
        raise ImportError("reading audio files needs the 'audio' extra: pip install 'velmor[audio]'") from None
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"no such file: {path!r}")
    if os.path.isdir(path):
        raise IsADirectoryError(f"is a directory, not an audio file: {path!r}")
    try:
        data, rate = sf.read(path, dtype=np.dtype(dtype).name, always_2d=True)
    except (RuntimeError, sf.SoundFileError) as exc:  # LibsndfileError is a RuntimeError
        raise ValueError(f"cannot read audio from {path!r}: {exc}") from None
    if data.shape[0] == 0:
        raise ValueError(f"{path!r} holds no audio samples")
    signal = data[:, 0] if data.shape[1] == 1 else data.mean(axis=1, dtype=dtype)
    return np.ascontiguousarray(signal), float(rate), int(data.shape[1])


def as_mono(audio):
    """A 1-d signal from a 1-d or 2-d array; channels (the shorter axis) are averaged.

    A 2-d array may be ``(channels, samples)``, as librosa keeps it, or ``(samples, channels)``, as
    soundfile reads it. float32 samples stay float32, others become float64. Returns
    ``(signal, channels)``; the input is never written to (a 1-d float array comes back as it is).
    """
    y = np.asarray(audio)
    if y.dtype.kind not in "biuf":
        raise TypeError(f"audio must hold real numbers, got dtype {y.dtype}")
    dtype = np.float32 if y.dtype == np.float32 else np.float64
    if y.ndim == 1:
        channels = 1
    elif y.ndim == 2:
        axis = 0 if y.shape[0] <= y.shape[1] else 1
        channels = y.shape[axis]
        y = y.mean(axis=axis, dtype=dtype)
    else:
        raise ValueError(f"audio must be one-dimensional (mono) or two-dimensional (channels and samples), "
                         f"got shape {y.shape}")
    if y.size == 0:
        raise ValueError("audio holds no samples")
    y = y.astype(dtype, copy=False)
    if not (np.isfinite(y.min()) and np.isfinite(y.max())):  # nan and inf reach the extremes
        raise ValueError("audio must hold only finite samples")
    return y, int(channels)


# ---------------------------------------------------------------- the call

def _method(method, settings):
    from .analysis import DEFAULT_METHOD, METHODS, Method

    if isinstance(method, str):
        name = DEFAULT_METHOD if method == "default" else method
        if name not in METHODS:
            raise ValueError(f"unknown method {method!r}; known: default, {', '.join(METHODS)}")
        method = METHODS[name]
    elif not isinstance(method, Method):
        raise TypeError(f"method must be a name or a velmor.analysis.Method, got {type(method).__name__}")
    if method.road == "classic":
        unknown = sorted(set(settings) - set(CLASSIC_SETTINGS))
        if unknown:
            raise TypeError(f"unknown setting(s) of the classic method: {', '.join(unknown)}; "
                            f"known: {', '.join(CLASSIC_SETTINGS)}")
        return method
    known = {f.name for f in dataclasses.fields(Method)} - {"name"}
    unknown = sorted(set(settings) - known)
    if unknown:
        raise TypeError(f"unknown setting(s) of method {method.name!r}: {', '.join(unknown)}; "
                        f"known: {', '.join(sorted(known))}")
    if "features" in settings:
        settings = dict(settings, features=tuple(settings["features"]))
        if method.weights is not None and "weights" not in settings:
            settings["weights"] = None
    return method.replace(**settings) if settings else method


def _classic(y, sr, settings, count):
    """The velmor.unit7 road, through the command line's pipeline (its settings, as seconds)."""
    from .cli.analysis import analyse_signal
    from .cli.options import Duration, Params

    given = {k: (Duration(float(v)) if k in ("kernel", "neighbourhood", "margin", "smooth") else v)
             for k, v in settings.items() if v is not None}
    params = Params(method="classic", **given)
    a = analyse_signal(frontend.as_analysis_signal(y, sr), params)
    frames = a.boundary_frames
    if count is not None:
        margin = a.frames["margin"]
        inner = a.peak_frames[(a.peak_frames >= margin) & (a.peak_frames < len(a.novelty) - margin)]
        frames = np.sort(inner[np.argsort(-a.novelty[inner], kind="stable")][:count])
    times = np.arange(len(a.novelty)) / a.feature_rate
    parameters = dict(params.describe(), road="classic")
    return dict(boundaries=frames / a.feature_rate, novelty=a.novelty, times=times, frame_times=times,
                rate=a.feature_rate, duration=a.duration, parameters=parameters, peak_frames=a.peak_frames,
                boundary_frames=frames, ssm=a.ssm)


def label_structure(ssm, times, boundaries, n_labels=None, *, threshold=DEFAULT_THRESHOLD,
                    features=None, weights=None) -> tuple:
    """Labels of the segments between ``boundaries`` (seconds) from a frame self-similarity matrix,
    or (``ssm=None``) from the feature columns it would be made of (``features``, ``weights``).

    A segment's frames are those whose change time (``times``) falls inside it; segments
    narrower than a frame share the label of the frames around them.
    """
    n = len(times)
    cuts = np.searchsorted(times, boundaries, side="left")
    edges = np.unique(np.clip(np.concatenate([[0], cuts, [n]]), 0, n))
    if n == 0:
        return ("A",) * (len(boundaries) + 1)
    if n_labels is not None:
        n_labels = min(int(n_labels), edges.size - 1) if n_labels >= 1 else n_labels
    sim = segment_similarity(ssm, edges) if ssm is not None else feature_segment_similarity(features, edges, weights)
    groups = cluster_segments(sim, n_labels, threshold=threshold)
    # the frame range each time segment starts in (several may fall in one when closer than a frame)
    starts = np.concatenate([[0], np.clip(cuts, 0, n - 1)])
    which = np.searchsorted(edges, starts, side="right") - 1
    return letters(groups[np.clip(which, 0, groups.size - 1)])


LONG_FILE_SECONDS = 600.0
"""Files longer than this are read and analysed a block at a time, never whole in memory."""


def analyze(audio, sr=None, *, method="default", n_segments=None, n_labels=None,
            label_threshold=DEFAULT_THRESHOLD, return_ssm=False, max_memory=None, fallback=None,
            **settings) -> Structure:
    """Find the sections of a piece of music and label them.

    Parameters
    ----------
    audio : str, os.PathLike or np.ndarray [shape=(n,) or (channels, n) or (n, channels)]
        An audio file (anything the ``audio`` extra reads: WAV, FLAC, OGG, MP3, ...) or samples.
        Channels are averaged (the shorter axis of a 2-d array); the signal is resampled to the
        analysis rate, 22050 Hz. The input is never modified.
    sr : float or None
        Sample rate of ``audio`` in Hz: required for an array; a file gives its own (leave None).
    method : str or velmor.analysis.Method
        A name of :data:`velmor.analysis.METHODS` (``"default"``: ``structure``) or a method.
    n_segments : int or None
        Ask for exactly this many segments (``n_segments - 1`` boundaries), as far as the piece
        allows; None lets the method decide.
    n_labels : int or None
        Number of distinct labels; None chooses it from the similarities of the segments.
    label_threshold : float
        How alike (in spreads of the piece's segment similarities) two groups of segments must be
        to share a label when ``n_labels`` is None; smaller gives fewer labels.
    return_ssm : bool
        Keep the self-similarity matrix in the result (``n x n`` floats; on the dense road only).
    max_memory : int, str or None
        Memory the whole-matrix (dense) road may take, in bytes or as ``"4G"``; above it the
        analysis reads a band of the matrix only (see :func:`velmor.analysis.methods.plan`).
        None: 2 GiB, or half the machine's memory if that is less.
    fallback : bool or None
        Whether a structure road too long for ``max_memory`` hands the input to the ``long``
        method (repetitions within a minute, on the band) instead of refusing it; None: only for
        ``method="default"``.
    **settings
        Settings of the method to change (fields of :class:`velmor.analysis.Method`, e.g.
        ``kernel=12.0``, ``features=("mfcc",)``; for ``"classic"``: ``kernel``, ``neighbourhood``,
        ``margin``, ``smooth`` in seconds, ``threshold``, ``min_height``, ``cens_filter``,
        ``cens_ds``, ``fft_len``).

    Returns
    -------
    Structure

    Examples
    --------
    >>> s = velmor.analyze(y, sr=44100)
    >>> for start, end, label in s.segments:
    ...     print(f"{start:6.2f} {end:6.2f} {label}")
    """
    source = None
    if isinstance(audio, (str, os.PathLike)):
        if sr is not None:
            raise ValueError("sr is read from the file: leave it None when audio is a path")
        source = os.fspath(audio)
        classic = isinstance(method, str) and method == "classic" or getattr(method, "road", None) == "classic"
        info = None if classic else _long_file(source)
        if info is not None:  # read and analysed a block at a time
            y, sr, channels = None, float(info["sample_rate"]), int(info["channels"])
        else:
            y, sr, channels = read_audio(source, np.float64 if classic else np.float32)
    else:
        if isinstance(audio, (bytes, bytearray)):
            raise TypeError("audio must be a path or an array of samples, got bytes")
        if sr is None:
            raise ValueError("sr is required when audio is an array: pass its sample rate in Hz, "
                             "e.g. analyze(y, sr=44100)")
        y, channels = as_mono(audio)
    if isinstance(sr, bool) or not (isinstance(sr, (int, float, np.integer, np.floating)) and np.isfinite(sr)
                                    and sr > 0):
        raise ValueError(f"sr must be a positive sample rate in Hz, got {sr!r}")
    for name, value in (("n_segments", n_segments), ("n_labels", n_labels)):
        if value is not None and (isinstance(value, bool) or int(value) != value or value < 1):
            raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
    if not (isinstance(label_threshold, (int, float, np.integer, np.floating)) and np.isfinite(label_threshold)
            and label_threshold >= 0):
        raise ValueError(f"label_threshold must be a non-negative number, got {label_threshold!r}")
    m = _method(method, settings)
    if fallback is None:
        fallback = isinstance(method, str) and method == "default"
    count = None if n_segments is None else int(n_segments) - 1
    road, note, features, weights, name = "dense", None, None, None, m.name
    if m.road == "classic":
        parts = _classic(y, sr, settings, count)
    else:
        from .analysis import methods

        options = dict(count=count, keep_ssm=True, max_memory=max_memory, fallback=fallback)
        seg = methods.segment_file(source, m, **options) if y is None else methods.segment(y, sr, m, **options)
        if seg.method != m.name:
            note = (f"too long for the {m.name!r} method's whole matrix within the memory allowed: "
                    f"analysed with the {seg.method!r} method on the banded road")
        road = seg.road
        parts = dict(boundaries=seg.boundaries, novelty=seg.novelty, times=seg.times,
                     frame_times=seg.times + 0.5 / seg.rate, rate=seg.rate, duration=seg.duration,
                     parameters=dict(seg.parameters, method=seg.method), peak_frames=seg.peaks,
                     boundary_frames=seg.frames, ssm=seg.ssm)
        if seg.ssm is None:  # a road that never makes the whole matrix: compare segments block by block
            features = [seg.features.features[f] for f in seg.parameters["features"]]
            weights = seg.parameters["weights"]
        name = seg.method
    labels = label_structure(parts["ssm"], parts["times"], parts["boundaries"], n_labels,
                             threshold=label_threshold, features=features, weights=weights)
    parameters = dict(parts["parameters"], n_segments=n_segments, n_labels=n_labels,
                      label_threshold=float(label_threshold))
    parameters.pop("method", None)
    return Structure(
        boundaries=_frozen_array(parts["boundaries"], float), labels=labels, duration=float(parts["duration"]),
        novelty=_frozen_array(parts["novelty"], float), times=_frozen_array(parts["times"], float),
        frame_times=_frozen_array(parts["frame_times"], float), rate=float(parts["rate"]), method=name,
        parameters=FrozenDict(parameters), peak_frames=_frozen_array(parts["peak_frames"], np.intp),
        boundary_frames=_frozen_array(parts["boundary_frames"], np.intp),
        ssm=_frozen_array(parts["ssm"]) if return_ssm and parts["ssm"] is not None else None,
        source=source, sample_rate=float(sr), channels=channels, road=road, note=note)


def _long_file(path):
    """The header of an audio file longer than :data:`LONG_FILE_SECONDS`, else None (also for
    anything the block reader cannot open: the whole-file reader then says why in its words)."""
    from .analysis import audio_blocks

    try:
        info = audio_blocks.file_info(path)
    except Exception:
        return None
    return info if info["duration"] > LONG_FILE_SECONDS else None
