"""From a signal or an audio file to boundaries and scores: the work behind the commands.

Everything here is plain functions of picklable arguments, so a process pool can run
:func:`analyse_file` on many files at once.
"""

from __future__ import annotations

import dataclasses
import io
import os
import re
import sys
import warnings
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, DTypeLike, NDArray

from .._files import reason
from .options import FS, Frames, Params

if TYPE_CHECKING:
    from velmor.analysis.methods import Segmentation
    from velmor.annotations import Annotation
    from velmor.api import Structure
    from velmor.features import Float64, Floats

_EXTRAS = {
    "soundfile": ("reading audio files", "audio"),
    "soxr": ("resampling audio", "audio"),
    "matplotlib": ("plotting", "plot"),
    "tqdm": ("a progress bar", "progress"),
    "jams": ("JAMS files", "jams"),
    "mir_eval": ("evaluation", "eval"),
}


class MissingExtra(ImportError):
    """An optional dependency is not installed; the message says which extra brings it."""


def need(module: str) -> Any:
    """Import an optional dependency, or raise MissingExtra naming the extra to install.

    Parameters
    ----------
    module : str
        The module's name: soundfile, soxr, matplotlib, tqdm, jams or mir_eval.

    Returns
    -------
    module : module
        The module (untyped: these libraries carry no type information).

    Raises
    ------
    MissingExtra
        When it is not installed.
    """
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        what, extra = _EXTRAS[module]
        raise MissingExtra(f"{what} needs the {extra!r} extra: pip install 'velmor[{extra}]'") from None


class AnalysisError(Exception):
    """A file that cannot be analysed (unreadable, empty, unusable reference)."""


class AudioWarning(UserWarning):
    """An audio file that can be analysed, but not as its header describes it."""


# ---------------------------------------------------------------- audio in

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


def load_audio(path: str | os.PathLike[str], dtype: DTypeLike = np.float64,
               content: bytes | None = None) -> tuple[Floats, dict[str, int]]:
    """Read an audio file as a mono signal at 22050 Hz, of ``dtype`` (float32 or float64).

    Returns ``(signal, info)`` with ``info`` the file's own sample rate and channel count.
    Channels are averaged; other rates are resampled with soxr. ``content`` holds the file's bytes
    when they were read already (standard input). A file shorter than its header says is read as
    far as it goes, with a warning (:class:`AudioWarning`).

    Parameters
    ----------
    path : str or os.PathLike
        The audio file.
    dtype : numpy dtype, default numpy.float64
        The samples' type: float32 or float64.
    content : bytes, optional
        The file's bytes, when they were read already.

    Returns
    -------
    signal : numpy.ndarray
        The mono signal at 22050 Hz.
    info : dict
        The file's ``sample_rate`` and ``channels``.

    Raises
    ------
    AnalysisError
        When the file cannot be read or holds no usable audio.
    MissingExtra
        Without the ``audio`` extra.
    """
    sf = need("soundfile")
    source: io.BytesIO | str | bytes
    if content is not None:
        source = io.BytesIO(content)
    else:
        if not os.path.exists(path):
            raise AnalysisError("no such file")
        if os.path.isdir(path):
            raise AnalysisError("is a directory, not an audio file")
        try:
            with open(path, "rb"):
                pass
        except OSError as exc:  # libsndfile would say only "System error."
            raise AnalysisError(f"cannot open: {(exc.strerror or str(exc)).lower()}") from None
        source = os.fspath(path)
        try:
            source.encode(sys.getfilesystemencoding())
        except UnicodeEncodeError:  # a name that is not UTF-8 reaches the library byte for byte
            source = os.fsencode(source)
    try:
        with sf.SoundFile(source) as f:
            if f.subtype == "PCM_16":
                # 16-bit samples scaled here, as the library would (by 1/32768), and four times faster
                data = f.read(dtype="int16", always_2d=True)
                scale = np.float32(1 / 32768) if dtype == np.float32 else 1 / 32768
            else:
                if f.subtype == "DOUBLE":  # samples that may lie beyond float32's range stay as they are
                    dtype = np.float64
                data = f.read(dtype="float32" if dtype == np.float32 else "float64", always_2d=True)
                scale = None
            rate = f.samplerate
            missing = _cut_short(f, data.shape[0])
    except (RuntimeError, sf.SoundFileError) as exc:  # LibsndfileError is a RuntimeError
        raise AnalysisError(f"cannot read audio: {exc}") from None
    if data.shape[0] == 0:
        raise AnalysisError("the file holds no audio samples")
    if missing:
        warnings.warn(f"the audio stops at {data.shape[0] / rate:.1f} s, but its header promises "
                      f"{(data.shape[0] + missing) / rate:.1f} s (a truncated file?)", AudioWarning, stacklevel=2)
    if data.shape[1] == 1:
        signal = data[:, 0].astype(dtype)
    else:
        signal = data.mean(axis=1, dtype=dtype)
    if scale is not None:
        signal *= scale
    if rate != FS:
        soxr = need("soxr")
        signal = soxr.resample(signal, rate, FS, quality="HQ")
    if not (np.isfinite(signal.min()) and np.isfinite(signal.max())):
        raise AnalysisError("the audio contains non-finite samples")
    return np.ascontiguousarray(signal, dtype=dtype), {"sample_rate": rate, "channels": data.shape[1]}


# ---------------------------------------------------------------- references

def read_reference(path: str | os.PathLike[str]) -> Float64:
    """Reference boundaries in seconds from a text file, sorted.

    Two layouts are read (blank lines and ``#`` comments are skipped):

    - one time per line: every time is a boundary;
    - ``start end [label]`` per line (a ``.lab`` file): the boundaries are the places
      where one segment gives way to the next, i.e. every segment start after the first,
      plus the end of a segment that is followed by a gap. The start of the first
      segment and the end of the last (the edges of the piece) are not boundaries.

    Parameters
    ----------
    path : str or os.PathLike
        The reference file (times, .lab or JAMS).

    Returns
    -------
    boundaries : numpy.ndarray of float64
        The boundaries in seconds.
    """
    return read_annotation(path).boundaries


def find_reference(ref_dir: str | os.PathLike[str], audio_path: str | os.PathLike[str]) -> str | None:
    """The annotation of an audio file in a folder of references.

    Parameters
    ----------
    ref_dir : str or os.PathLike
        The folder.
    audio_path : str or os.PathLike
        The audio file.

    Returns
    -------
    path : str or None
        ``STEM.lab``, ``STEM.txt``, ``STEM.jams`` or ``STEM.*.lab``
        (:func:`velmor.annotations.find_annotation`), or None.
    """
    from velmor.annotations import find_annotation, stem_of

    return find_annotation(ref_dir, stem_of(audio_path))


def read_annotation(path: str | os.PathLike[str]) -> Annotation:
    """Read an annotation, as :func:`velmor.annotations.read_annotation` does.

    Parameters
    ----------
    path : str or os.PathLike
        The annotation file (times, .lab, JAMS).

    Returns
    -------
    annotation : velmor.annotations.Annotation
        Its boundaries and segments.

    Raises
    ------
    AnalysisError
        When it cannot be read.
    MissingExtra
        For JAMS without the ``jams`` extra.
    """
    from velmor.annotations import read_annotation as read

    try:
        return read(path)
    except ImportError as exc:
        raise MissingExtra(str(exc)) from None
    except OSError as exc:
        raise AnalysisError(f"cannot read reference {os.fspath(path)}: {exc}") from None
    except ValueError as exc:
        raise AnalysisError(str(exc)) from None


def score(boundaries: ArrayLike, reference: ArrayLike, tolerances: Iterable[float]) -> list[dict[str, float]]:
    """Score boundaries against a reference with calc_prf at each tolerance.

    Parameters
    ----------
    boundaries : array_like
        The boundaries found, in seconds.
    reference : array_like
        The reference boundaries, in seconds.
    tolerances : iterable of float
        The tolerances, in seconds.

    Returns
    -------
    scores : list of dict
        Per tolerance: ``tolerance``, ``precision``, ``recall`` and ``f``.
    """
    from velmor import unit7

    est = np.asarray(boundaries, dtype=float)
    ref = np.asarray(reference, dtype=float)
    out: list[dict[str, float]] = []
    for tau in tolerances:
        p, r, f = unit7.calc_prf(est, ref, float(tau))
        out.append({"tolerance": float(tau), "precision": float(p), "recall": float(r), "f": float(f)})
    return out


# ---------------------------------------------------------------- the analysis

@dataclasses.dataclass
class Analysis:  # numpydoc ignore=PR02
    """What one run of the pipeline produces. Times are in seconds, frame i lies at i / ff.

    Parameters
    ----------
    duration : float
        The signal's duration.
    feature_rate : float
        Feature frames per second (``ff``).
    ssm : numpy.ndarray or None
        The self-similarity matrix (None on the banded road).
    novelty : numpy.ndarray of float64
        The novelty curve.
    peak_frames : numpy.ndarray of intp
        The frames of the novelty peaks.
    boundary_frames : numpy.ndarray of intp
        The frames of the peaks that are boundaries.
    frames : Frames
        The frame lengths used.
    method : str, default "classic"
        The method's name.
    times : numpy.ndarray of float64, optional
        The time of each novelty value, when not frame / ff.
    boundary_times : numpy.ndarray of float64, optional
        Refined boundaries, when the method refines.
    road : str, default "dense"
        ``"dense"`` (the whole matrix) or ``"banded"``.
    note : str, optional
        Why the analysis took another road than the one asked for.
    """

    duration: float
    feature_rate: float
    ssm: Floats | None
    novelty: Float64
    peak_frames: NDArray[np.intp]
    boundary_frames: NDArray[np.intp]
    frames: Frames
    method: str = "classic"
    times: Float64 | None = None
    boundary_times: Float64 | None = None
    road: str = "dense"
    note: str | None = None

    @property
    def boundaries(self) -> Float64:  # numpydoc ignore=RT01
        """The boundaries in seconds: refined ones where the method refines, else frame / ff."""
        if self.boundary_times is not None:
            return self.boundary_times
        return self.boundary_frames / self.feature_rate

    @property
    def novelty_times(self) -> Float64:  # numpydoc ignore=RT01
        """The time in seconds of each novelty value (where a change found there lies)."""
        if self.times is not None:
            return self.times
        return np.arange(len(self.novelty)) / self.feature_rate


def analyse_signal(signal: ArrayLike, params: Params = Params()) -> Analysis:
    """Find the boundaries of a signal at 22050 Hz with the method ``params`` names.

    Every method but the classic one runs in :mod:`velmor.analysis` (:func:`velmor.analysis.segment`).
    The classic road is audio -> CENS SSM -> (smoothing, threshold) -> checkerboard novelty ->
    peaks: a peak is a frame whose novelty is larger than every other value in the window of
    ``frames["neighbourhood"]`` frames centred on it (``unit7.find_region_peaks``); peaks lower
    than ``params.min_height`` times the highest novelty value, and peaks within the edge margin of
    the start or end (where the kernel hangs over the edge of the matrix), are not boundaries.

    Parameters
    ----------
    signal : array_like
        A mono signal at 22050 Hz.
    params : Params, default Params()
        The method and its settings.

    Returns
    -------
    analysis : Analysis
        The boundaries and the curves behind them.
    """
    from velmor import unit7

    method = params.analysis_method()
    if method is not None:
        from velmor.analysis import segment

        seg = segment(signal, FS, method, keep_ssm=True, max_memory=params.max_memory,
                      fallback=params.method == "default")
        return _of_segmentation(seg, params)
    if params.threshold is not None and not 0 <= params.threshold < 1:
        raise ValueError(f"the threshold must be at least 0 and below 1, got {params.threshold!r}")
    signal = np.ascontiguousarray(signal, dtype=np.float64)
    ssm, ff = unit7.audio_to_ssm(signal, params.cens_filter, params.cens_ds, params.fft_len)
    frames = params.frames()
    if frames["smooth"] is not None and frames["smooth"] > 1:
        ssm = unit7.diagonal_smoothing(ssm, frames["smooth"])
    if params.threshold is not None:
        ssm = unit7.thresh_and_scale(np.minimum(ssm, 1.0), params.threshold)
    novelty = np.asarray(unit7.diagonal_novelty(ssm, frames["kernel"]), dtype=float)
    peaks = np.asarray(unit7.find_region_peaks(novelty, frames["neighbourhood"]), dtype=np.intp)
    n = len(novelty)
    keep = (peaks >= frames["margin"]) & (peaks < n - frames["margin"])
    top = novelty.max() if n else 0.0
    if top > 0:
        keep &= novelty[peaks] >= params.min_height * top
    else:
        keep &= False
    return Analysis(duration=len(signal) / FS, feature_rate=float(ff), ssm=ssm, novelty=novelty,
                    peak_frames=peaks, boundary_frames=peaks[keep], frames=frames)


def _of_segmentation(seg: Segmentation, params: Params) -> Analysis:
    note = None
    if seg.method != params.resolved_method():
        note = (f"too long for the {params.resolved_method()!r} method's whole matrix within --max-memory: "
                f"analysed with the {seg.method!r} method on the banded road")
    return Analysis(duration=seg.duration, feature_rate=seg.rate, ssm=seg.ssm, novelty=seg.novelty,
                    peak_frames=seg.peaks, boundary_frames=seg.frames, frames=params.frames(), method=seg.method,
                    times=seg.times, boundary_times=seg.boundaries, road=seg.road, note=note)


@dataclasses.dataclass(frozen=True)
class Task:  # numpydoc ignore=PR02
    """One file of a batch: where to read it, its reference, where its plot goes.

    Parameters
    ----------
    path : str
        The audio file (``-`` for standard input, whose bytes are in ``audio``).
    params : Params
        The method and its settings.
    reference : str, optional
        The reference annotation.
    tolerances : tuple of float, default (0.5, 3.0)
        The tolerances of the scores, in seconds.
    plot : str, optional
        Where the figure goes.
    dpi : float, default 100.0
        The resolution of a PNG figure.
    jams : bool, default False
        Whether the result holds a JAMS document.
    audio : bytes, optional
        The file's bytes when read already (standard input).
    """

    path: str
    params: Params
    reference: str | None = None
    tolerances: tuple[float, ...] = (0.5, 3.0)
    plot: str | None = None
    dpi: float = 100.0
    jams: bool = False
    audio: bytes | None = None  # the file's bytes when read already (standard input)


def analyse_file(task: Task) -> dict[str, Any]:
    """Analyse one file with :func:`velmor.analyze`.

    The result is a JSON-ready dict; failures raise AnalysisError or MissingExtra. A file longer
    than ``velmor.api.LONG_FILE_SECONDS`` is read and analysed a block at a time; the road (whole
    matrix or band) is chosen before any feature work.

    Warnings about the input (a truncated file, a reference out of order, a kernel longer than the
    audio) are listed in ``result["warnings"]``. A figure that cannot be written leaves the result
    as it is, with ``plot`` None and the reason in ``plot_error``.

    Parameters
    ----------
    task : Task
        The file and what to do with it.

    Returns
    -------
    result : dict
        The file, its boundaries, labels and segments, the settings, the scores and warnings.
    """
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result, s, reference = _analyse(task)
    notes = list(dict.fromkeys(str(w.message) for w in caught))
    kernel = task.params.frames()["kernel"] / task.params.feature_rate
    if kernel > s.duration:
        notes.append(f"the kernel ({kernel:.3g} s) is longer than the audio ({s.duration:.3g} s), so no "
                     "change can stand out: give a shorter --kernel")
    if notes:
        result["warnings"] = notes
    if task.plot is not None:
        from velmor.plot import save_figure

        name = os.fsencode(os.path.basename(task.path)).decode("utf-8", "replace")
        try:
            save_figure(s, task.plot, reference=reference,
                        title=f"{name}: method {s.method}, labels {' '.join(s.labels)}", dpi=task.dpi)
            result["plot"] = task.plot
        except Exception as exc:  # the result stands without its figure
            result["plot"], result["plot_error"] = None, reason(exc)
    return result


def _memory_message(exc: BaseException) -> str:
    from velmor.analysis.methods import TooLongError

    if isinstance(exc, TooLongError):
        return str(exc)
    return f"out of memory: {exc}" if str(exc) else "out of memory"


def _analyse(task: Task) -> tuple[dict[str, Any], Structure, Annotation | None]:
    from velmor import api

    reference = None if task.reference is None else read_annotation(task.reference)
    options = dict(task.params.analyze_options(), return_ssm=task.plot is not None,
                   max_memory=task.params.max_memory, fallback=task.params.method == "default")
    info = None if task.params.analysis_method() is None or task.audio is not None \
        or not os.path.isfile(task.path) else api._long_file(task.path)
    try:
        if info is not None:
            s = api.analyze(task.path, **options)
        else:
            dtype = np.float64 if task.params.analysis_method() is None else np.float32
            signal, info = load_audio(task.path, dtype, content=task.audio)
            s = api.analyze(signal, FS, **options)
            del signal
    except MemoryError as exc:  # too long for the method's road (said before any feature work), or out of memory
        raise AnalysisError(_memory_message(exc)) from None
    s = dataclasses.replace(s, source=task.path, sample_rate=float(info["sample_rate"]), channels=info["channels"])
    result: dict[str, Any] = {
        "file": task.path,
        "duration": s.duration,
        "sample_rate": info["sample_rate"],
        "channels": info["channels"],
        "feature_rate": s.rate,
        "frames": len(s.novelty),
        "method": s.method,
        "road": s.road,
        "features": task.params.describe()["features"],
        "parameters": task.params.describe(),
        "peak_frames": s.peak_frames.tolist(),
        "boundary_frames": s.boundary_frames.tolist(),
        "boundaries": s.boundaries.tolist(),
        "labels": list(s.labels),
        "segments": [list(seg) for seg in s.segments],
        "reference_file": task.reference,
        "reference": None if reference is None else reference.boundaries.tolist(),
        "scores": None if reference is None else score(s.boundaries, reference.boundaries, task.tolerances),
    }
    if s.note is not None:
        result["note"] = s.note
    if task.jams:
        try:
            result["jams"] = s.to_jams().dumps(indent=2)
        except ImportError as exc:
            raise MissingExtra(str(exc)) from None
    return result, s, reference
