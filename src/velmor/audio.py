"""Audio in: reading files, mixing channels, resampling to the analysis rate, whole or in blocks.

    read(source)                 -- mono samples of a file (or of its bytes), its rate and channels
    load(source)                 -- the same at :data:`ANALYSIS_SR`, with the file's rate and channels
    file_info(path)              -- rate, channels and duration from the header, no samples read
    blocks(path, block_seconds)  -- the file at ANALYSIS_SR a block at a time, never whole in memory
    excerpts(path, seconds, n)   -- a file whole, or n excerpts spread over it, at ANALYSIS_SR
    as_mono(array)               -- a 1-d signal of a 1-d or 2-d array (channels averaged)
    to_analysis_rate(y, sr)      -- a mono signal resampled to ANALYSIS_SR (soxr)

This is the one place velmor reads audio: the analysis, the one call and the command line all come
here. Files are read with soundfile and resampled with soxr, the ``audio`` extra. A file that
cannot be read raises :class:`AudioError` (or FileNotFoundError and IsADirectoryError), whose
``reason`` is a short text without the file's name, for callers that name the file themselves.
"""

from __future__ import annotations

import errno
import os
import re
import sys
import warnings
from collections.abc import Iterator
from typing import IO, Any, TypeAlias, TypeGuard, cast

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

from ._extras import need
from ._files import regular
from .features import Float64, Floats

ANALYSIS_SR = 22050
"""Sample rate of every analysis, in Hz; other rates are resampled to it."""

Source: TypeAlias = "str | os.PathLike[str] | IO[bytes]"
"""An audio file: a path, or a binary stream of a file's bytes (standard input, say)."""


MIN_SR, MAX_SR = 1000, 10_000_000
"""The sample rates velmor reads, in Hz (resampling far outside them would take hours or all memory)."""


def check_rate(sr: object, name: str = "sr") -> float:
    """A sample rate as a float, or a ValueError naming ``name`` and the rates allowed.

    Parameters
    ----------
    sr : object
        The rate as given.
    name : str
        What to call it in the message.

    Returns
    -------
    float
        The rate in Hz, from :data:`MIN_SR` to :data:`MAX_SR`.
    """
    if isinstance(sr, bool) or not (is_real(sr) and MIN_SR <= sr <= MAX_SR):  # nan fails both
        raise ValueError(f"{name} must be a positive sample rate from {MIN_SR} to {MAX_SR} Hz, got {sr!r}")
    return float(sr)


class AudioError(ValueError):
    """Audio that cannot be read or used: ``reason`` says why, ``path`` which file (if any).

    Parameters
    ----------
    reason : str
        Why, without the file's name.
    path : str or None
        The file.
    """

    def __init__(self, reason: str, path: str | None = None) -> None:
        super().__init__(reason if path is None else f"{reason}: {path!r}")
        self.reason = reason
        self.path = path


class AudioWarning(UserWarning):
    """An audio file that can be read, but not as its header describes it."""


def is_real(value: object) -> TypeGuard[float]:
    """Whether ``value`` is a Python or numpy real number (bool included).

    Parameters
    ----------
    value : object
        Anything.

    Returns
    -------
    bool
        True for int, float and numpy's integer and floating scalars.
    """
    return isinstance(value, (int, float, np.integer, np.floating))


def _soundfile() -> Any:
    return need("soundfile")


def _soxr() -> Any:
    return need("soxr")


def _name(source: Source) -> str | None:
    return os.fspath(source) if isinstance(source, (str, os.PathLike)) else None


def _regular(path: str | os.PathLike[str]) -> str:
    """The path of a regular file (:func:`velmor._files.regular`); other failures as AudioError."""
    try:
        return regular(path, "an audio file")
    except (FileNotFoundError, IsADirectoryError):
        raise
    except OSError as exc:
        reason = exc.strerror or str(exc)
        if exc.errno not in (errno.ENAMETOOLONG, errno.EINVAL):
            reason = f"cannot open: {reason.lower()}"
        elif exc.errno == errno.EINVAL:
            reason += ": give its audio as a file, or through standard input (-) on the command line"
        raise AudioError(reason, os.fspath(path)) from None


def _opened(source: Source) -> Any:
    """What soundfile opens for ``source``: the stream, or the path checked first (libsndfile
    would say only "System error." of a file that is missing or unreadable)."""
    if not isinstance(source, (str, os.PathLike)):
        return source
    path = _regular(source)
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        raise AudioError(f"cannot open: {(exc.strerror or str(exc)).lower()}", path) from None
    try:
        path.encode(sys.getfilesystemencoding())
    except UnicodeEncodeError:  # a name that is not UTF-8 reaches the library byte for byte
        return os.fsencode(path)
    return path


_OBJECT = re.compile(r"<[\w.]+ object at 0x[0-9a-fA-F]+>")


def _is_empty(stream: Any) -> bool:
    """Whether a seekable stream holds no more bytes (it is left where it was)."""
    if not getattr(stream, "seekable", lambda: False)():
        return False
    at = stream.tell()
    empty = not stream.read(1)
    stream.seek(at)
    return empty


# libsndfile's note on a data chunk that the header makes longer than the file
_CUT_SHORT = re.compile(r"^(?:data|SSND)\s*:\s*(\d+)\s*\(should be (\d+)\)", re.MULTILINE)


def _cut_short(f: Any, frames_read: int) -> int:
    """How many frames the header of an open SoundFile promises beyond those there, or 0 (also
    when less than a tenth of a second is missing, as a compressed format's estimate may be off)."""
    m = _CUT_SHORT.search(f.extra_info or "")
    if m and 0 < int(m.group(2)) < int(m.group(1)):
        missing = round(frames_read * (int(m.group(1)) / int(m.group(2)) - 1))
    else:
        missing = f.frames - frames_read
    return missing if missing >= f.samplerate / 10 else 0


def read(source: Source, dtype: DTypeLike = np.float64) -> tuple[Floats, float, int]:
    """Read an audio file whole, as mono samples of ``dtype`` at the file's own rate.

    Channels are averaged. 16-bit samples are scaled here by 1/32768, as libsndfile scales them
    (and four times faster); 64-bit float files stay float64, whatever ``dtype`` asks. A file
    shorter than its header says is read as far as it goes, with an :class:`AudioWarning`.

    Parameters
    ----------
    source : str, os.PathLike or binary stream
        The file (anything libsndfile reads), or a stream of its bytes.
    dtype : numpy dtype
        The samples' type: float32 or float64.

    Returns
    -------
    signal : np.ndarray [shape=(n,)]
        Mono samples.
    sample_rate : float
        The file's rate in Hz.
    channels : int
        The file's channels.

    Raises
    ------
    FileNotFoundError, IsADirectoryError
        For a path that is not a file.
    AudioError
        When the file cannot be opened or read, or holds no samples or non-finite ones.
    velmor._extras.MissingExtra
        Without the ``audio`` extra.
    """
    sf = _soundfile()
    name = _name(source)
    opened = _opened(source)
    dtype = np.dtype(dtype)
    if name is None and _is_empty(opened):
        raise AudioError("no audio: the input is empty")
    try:
        with sf.SoundFile(opened) as f:
            if f.subtype == "PCM_16":
                data = f.read(dtype="int16", always_2d=True)
                scale = np.float32(1 / 32768) if dtype == np.float32 else 1 / 32768
            else:
                if f.subtype == "DOUBLE":  # samples that may lie beyond float32's range stay as they are
                    dtype = np.dtype(np.float64)
                data = f.read(dtype="float32" if dtype == np.float32 else "float64", always_2d=True)
                scale = None
            rate = f.samplerate
            missing = _cut_short(f, data.shape[0])
    except (RuntimeError, sf.SoundFileError) as exc:  # LibsndfileError is a RuntimeError
        raise AudioError(f"cannot read audio: {_OBJECT.sub('the input', str(exc))}", name) from None
    if data.shape[0] == 0:
        raise AudioError("the file holds no audio samples", name)
    if missing:
        warnings.warn(f"the audio stops at {data.shape[0] / rate:.1f} s, but its header promises "
                      f"{(data.shape[0] + missing) / rate:.1f} s (a truncated file?)", AudioWarning, stacklevel=2)
    signal = data[:, 0].astype(dtype) if data.shape[1] == 1 else _mix(data, 1, dtype)
    if scale is not None:
        signal *= scale
    if not (np.isfinite(signal.min()) and np.isfinite(signal.max())):
        raise AudioError("the audio contains non-finite samples", name)
    try:
        check_rate(rate)
    except ValueError:
        raise AudioError(f"its sample rate, {rate} Hz, lies outside {MIN_SR} .. {MAX_SR} Hz", name) from None
    return np.ascontiguousarray(signal), float(rate), int(data.shape[1])


def _mix(data: NDArray[Any], axis: int, dtype: np.dtype[Any] | type[np.floating[Any]]) -> Floats:
    """The mean of the channels along ``axis``; in float64 where float32 sums of finite samples
    would overflow (a mean of finite samples is always finite)."""
    with np.errstate(over="ignore"):
        y: Floats = data.mean(axis=axis, dtype=dtype)
    if np.dtype(dtype) == np.float32 and not (np.isfinite(y.min()) and np.isfinite(y.max())):
        y = data.mean(axis=axis, dtype=np.float64).astype(np.float32)
    return y


def load(source: Source, dtype: DTypeLike = np.float64) -> tuple[Floats, dict[str, int]]:
    """Read an audio file whole as a mono signal at :data:`ANALYSIS_SR`.

    Parameters
    ----------
    source : str, os.PathLike or binary stream
        The file, or a stream of its bytes.
    dtype : numpy dtype
        The samples' type: float32 or float64.

    Returns
    -------
    signal : np.ndarray [shape=(n,)]
        The mono signal at 22050 Hz.
    info : dict
        The file's ``sample_rate`` and ``channels``.
    """
    signal, rate, channels = read(source, dtype)
    y = to_analysis_rate(signal, rate)
    if not (np.isfinite(y.min()) and np.isfinite(y.max())):
        raise AudioError("the audio contains non-finite samples", _name(source))
    return np.ascontiguousarray(y, dtype=signal.dtype), {"sample_rate": int(rate), "channels": channels}


def file_info(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Read the header of an audio file.

    Parameters
    ----------
    path : str or os.PathLike
        Any file libsndfile reads.

    Returns
    -------
    dict
        ``"sample_rate"`` (Hz), ``"channels"``, ``"frames"`` (samples per channel) and
        ``"duration"`` (seconds).
    """
    info: Any = _soundfile().info(_regular(path))
    return {"sample_rate": info.samplerate, "channels": info.channels, "frames": info.frames,
            "duration": info.frames / info.samplerate if info.samplerate else 0.0}


def as_mono(audio: ArrayLike) -> tuple[Floats, int]:
    """Make a 1-d signal of a 1-d or 2-d array; channels (the shorter axis) are averaged.

    A 2-d array may be ``(channels, samples)``, as librosa keeps it, or ``(samples, channels)``, as
    soundfile reads it. float32 samples stay float32, others become float64. The input is never
    written to (a 1-d float array comes back as it is).

    Parameters
    ----------
    audio : array_like [shape=(n,) or (channels, n) or (n, channels)]
        Real samples.

    Returns
    -------
    signal : np.ndarray [shape=(n,)]
        Samples, float32 or float64.
    channels : int
        Channels averaged into ``signal``.
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
        y = _mix(y, axis, dtype)
    else:
        raise ValueError(f"audio must be one-dimensional (mono) or two-dimensional (channels and samples), "
                         f"got shape {y.shape}")
    if y.size == 0:
        raise ValueError("audio holds no samples")
    y = y.astype(dtype, copy=False)
    if not (np.isfinite(y.min()) and np.isfinite(y.max())):  # nan and inf reach the extremes
        raise ValueError("audio must hold only finite samples")
    return y, int(channels)


def to_analysis_rate(signal: ArrayLike, sr: float) -> Floats:
    """``signal`` at :data:`ANALYSIS_SR`, resampled with soxr if needed.

    float32 samples stay float32 (the precision of every feature), anything else becomes
    float64. The caller's array is never written to; it is returned as it is when nothing needs
    changing.

    Parameters
    ----------
    signal : array_like [shape=(n,)]
        Mono real samples.
    sr : float
        Their sample rate in Hz.

    Returns
    -------
    np.ndarray [shape=(m,), dtype=float32 or float64]
        The samples at :data:`ANALYSIS_SR`.
    """
    y = np.asarray(signal)
    if y.ndim != 1:
        raise ValueError(f"signal must be one-dimensional (mono), got shape {y.shape}")
    if y.dtype.kind not in "biuf":
        raise TypeError(f"signal must hold real numbers, got dtype {y.dtype}")
    y = cast(Floats, y.astype(np.float32 if y.dtype == np.float32 else np.float64, copy=False))
    # nan and inf reach the extremes, so these two passes tell whether every sample is finite
    if y.size and not (np.isfinite(y.min()) and np.isfinite(y.max())):
        raise ValueError("signal must hold only finite samples")
    check_rate(cast(object, sr))  # checked as given, whatever its type
    if sr != ANALYSIS_SR:
        try:
            import soxr
        except ImportError:
            raise ImportError(f"resampling from {sr} Hz needs the 'audio' extra: pip install 'velmor[audio]'") from None
        y = cast(Floats, soxr.resample(y, float(sr), ANALYSIS_SR, quality="HQ"))
    return y


# ---------------------------------------------------------------- a block at a time

def _mono(data: Float64) -> Float64:
    """The mean of the channels (columns) of a block, as ``data.mean(axis=1)`` gives it, column by
    column (a reduction along rows of a few values each is many times slower)."""
    y = data[:, 0].copy()
    for c in range(1, data.shape[1]):
        y += data[:, c]
    if data.shape[1] > 1:
        y /= data.shape[1]
    return y


def blocks(path: str | os.PathLike[str], block_seconds: float, min_samples: int = 1) -> Iterator[Float64]:
    """A file's samples as mono float64 at :data:`ANALYSIS_SR`, block by block.

    Each block is ``block_seconds`` of the file (at least ``min_samples`` of its samples), mixed to
    mono and resampled by a soxr stream that carries its state from block to block, so that the
    blocks joined are the whole file resampled (within rounding). The next block is decoded in a
    second thread (libsndfile runs without the GIL) while the caller works on this one.

    Parameters
    ----------
    path : str or os.PathLike
        Any file libsndfile reads.
    block_seconds : float
        Seconds of the file read at once.
    min_samples : int
        The fewest samples of the file a block holds.

    Yields
    ------
    np.ndarray [shape=(m,)]
        The next samples at the analysis rate (the last block may be short or empty).
    """
    from concurrent.futures import ThreadPoolExecutor

    sf = _soundfile()
    with sf.SoundFile(_regular(path)) as f:
        block = max(min_samples, int(block_seconds * f.samplerate))
        stream: Any = None
        if f.samplerate != ANALYSIS_SR:
            stream = _soxr().ResampleStream(f.samplerate, ANALYSIS_SR, 1, dtype="float64", quality="HQ")

        def next_block() -> Float64:  # numpydoc ignore=GL08
            data: Float64 = f.read(block, dtype="float64", always_2d=True)
            return _mono(data) if data.shape[0] else np.zeros(0)

        with ThreadPoolExecutor(1) as reader:
            pending = reader.submit(next_block)
            while True:
                y = pending.result()
                last = y.size < block
                if not last:
                    pending = reader.submit(next_block)
                if not np.all(np.isfinite(y)):
                    raise ValueError("the audio contains non-finite samples")
                if stream is not None:
                    y = stream.resample_chunk(y, last=last)
                yield y
                if last:
                    return


def excerpts(path: str | os.PathLike[str], seconds: float, count: int) -> Iterator[Float64]:
    """A file whole when it lasts at most ``seconds``, else ``count`` excerpts spread over it.

    The excerpts are ``seconds / count`` long each, the first at the start of the file and the
    last at its end.

    Parameters
    ----------
    path : str or os.PathLike
        Any file libsndfile reads.
    seconds : float
        Audio to read in all.
    count : int
        Excerpts of a longer file.

    Yields
    ------
    np.ndarray [shape=(m,)]
        Each excerpt, mono float64 at :data:`ANALYSIS_SR` (resampled on its own).
    """
    sf = _soundfile()
    with sf.SoundFile(_regular(path)) as f:
        rate: int = f.samplerate
        total: int = f.frames
        if total / rate <= seconds:
            spans = [(0, total)]
        else:
            length = int(seconds / count * rate)
            spans = [(int(s), length) for s in np.linspace(0, total - length, count).tolist()]
        for start, length in spans:
            f.seek(start)
            y = _mono(f.read(length, dtype="float64", always_2d=True))
            if rate != ANALYSIS_SR:
                y = np.asarray(_soxr().resample(y, rate, ANALYSIS_SR, quality="HQ"), dtype=np.float64)
            yield y
