"""From an audio file or a signal to labelled segments in one call: velmor.analyze.

    >>> s = velmor.analyze("song.flac")
    >>> s.boundaries          # seconds
    >>> s.segments            # ((0.0, 12.1, 'A'), (12.1, 26.0, 'B'), ...)
    >>> s.plot()              # SSM, label bar and novelty curve on matplotlib axes

:func:`analyze` is a short story over the layers below it: read the audio (:mod:`velmor.audio`),
plan and run the method (:mod:`velmor.analysis.methods`), label the segments
(:mod:`velmor.analysis.labels`) and wrap it all in a :class:`velmor.result.Structure`.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, cast

import numpy as np
from numpy.typing import ArrayLike

from . import audio as _audio
from .analysis import methods
from .analysis.labels import DEFAULT_THRESHOLD, label_segmentation
from .analysis.labels import label_structure as label_structure
from .analysis.methods import LONG_FILE_SECONDS as LONG_FILE_SECONDS
from .audio import as_mono as as_mono
from .result import FrozenDict as FrozenDict
from .result import Structure as Structure
from .result import structure_of

if TYPE_CHECKING:
    from numpy.typing import DTypeLike

    from .analysis.methods import Method
    from .features import Floats

CLASSIC_SETTINGS = tuple(methods.CLASSIC_SETTINGS)
"""Settings of the classic road (durations in seconds)."""


def read_audio(path: str | os.PathLike[str], dtype: DTypeLike = np.float64) -> tuple[Floats, float, int]:
    """Read the samples of an audio file, its sample rate and channels (:func:`velmor.audio.read`).

    Parameters
    ----------
    path : str or os.PathLike
        The audio file (anything the ``audio`` extra reads).
    dtype : numpy dtype
        Type of the samples returned (float32 or float64).

    Returns
    -------
    signal : np.ndarray [shape=(n,)]
        Mono samples of ``dtype``; channels are averaged.
    sample_rate : float
        In Hz.
    channels : int
        Channels of the file.
    """
    return _audio.read(path, dtype)


def analyze(audio: _audio.Source | ArrayLike, sr: float | None = None, *, method: str | Method = "default",
            n_segments: int | None = None, n_labels: int | None = None, label_threshold: float = DEFAULT_THRESHOLD,
            return_ssm: bool = False, max_memory: int | str | None = None, fallback: bool | None = None,
            **settings: Any) -> Structure:
    """Find the sections of a piece of music and label them.

    Parameters
    ----------
    audio : str, os.PathLike, binary stream or np.ndarray [shape=(n,) or (channels, n) or (n, channels)]
        An audio file (anything the ``audio`` extra reads: WAV, FLAC, OGG, MP3, ...), a stream of
        a file's bytes (such as ``io.BytesIO``), or samples.
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
        The boundaries, labels and curves of the piece, in seconds.

    Examples
    --------
    >>> s = velmor.analyze(y, sr=44100)
    >>> for start, end, label in s.segments:
    ...     print(f"{start:6.2f} {end:6.2f} {label}")
    """
    for name, value in (("n_segments", n_segments), ("n_labels", n_labels)):
        given = cast(object, value)
        if given is not None and not (_audio.is_real(given) and not isinstance(given, bool) and np.isfinite(given)
                                      and int(given) == given and given >= 1):
            raise ValueError(f"{name} must be a positive integer or None, got {value!r}")
    given_threshold = cast(object, label_threshold)
    if not (_audio.is_real(given_threshold) and np.isfinite(given_threshold) and given_threshold >= 0):
        raise ValueError(f"label_threshold must be a non-negative number, got {label_threshold!r}")
    m = methods.with_settings(method, settings)
    if fallback is None:
        fallback = isinstance(method, str) and method == "default"
    count = None if n_segments is None else int(n_segments) - 1

    # read (a long file is read a block at a time as the method runs: y is None)
    source, y, rate, channels = _read(audio, sr, whole=m.road == "classic",
                                      dtype=np.float64 if m.road == "classic" else np.float32)

    # plan and run the method (the plan may hand a long input to the long method)
    if y is None:
        assert source is not None
        seg = methods.segment_file(source, m, count=count, keep_ssm=True, max_memory=max_memory, fallback=fallback)
    else:
        try:
            seg = methods.segment(y, rate, m, count=count, keep_ssm=True, max_memory=max_memory, fallback=fallback)
        except MemoryError as exc:  # the whole signal and its features at once did not fit
            if source is not None or isinstance(exc, methods.TooLongError):
                raise
            raise MemoryError(f"out of memory with {len(y) / rate / 60:.1f} minutes of audio held whole in memory "
                              f"({exc or 'no detail'}); give the file by its path instead: files are read and "
                              "analysed a block at a time") from None
    del y
    note = None
    if seg.method != m.name:
        note = (f"too long for the {m.name!r} method's whole matrix within the memory allowed: "
                f"analysed with the {seg.method!r} method on the banded road")

    # label and wrap
    labels = label_segmentation(seg, n_labels, threshold=label_threshold)
    parameters = dict(seg.parameters, n_segments=n_segments, n_labels=n_labels,
                      label_threshold=float(label_threshold))
    return structure_of(seg, labels, parameters=parameters, return_ssm=return_ssm, source=source,
                        sample_rate=rate, channels=channels, note=note)


def _read(audio: _audio.Source | ArrayLike, sr: float | None, *, whole: bool,
          dtype: DTypeLike) -> tuple[str | None, Floats | None, float, int]:
    """The input of :func:`analyze`: its path (None for an array or a stream), its samples (None
    for a file to read a block at a time), its sample rate and channels."""
    if isinstance(audio, (str, os.PathLike)):
        if sr is not None:
            raise ValueError("sr is read from the file: leave it None when audio is a path")
        source = os.fspath(audio)
        info = None if whole else methods.long_file(source)
        if info is not None:
            return source, None, _audio.check_rate(info["sample_rate"]), int(info["channels"])
        y, rate, channels = _audio.read(source, dtype)
        return source, y, rate, channels
    if hasattr(audio, "read"):  # a binary stream of a file's bytes
        y, rate, channels = _audio.read(cast(Any, audio), dtype)
        return None, y, rate, channels
    if isinstance(audio, (bytes, bytearray)):
        raise TypeError("audio must be a path or an array of samples, got bytes")
    if sr is None:
        raise ValueError("sr is required when audio is an array: pass its sample rate in Hz, "
                         "e.g. analyze(y, sr=44100)")
    y, channels = as_mono(cast(ArrayLike, audio))
    return None, y, _audio.check_rate(cast(object, sr)), channels  # sr checked as given, whatever its type
