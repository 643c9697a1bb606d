"""From a signal or an audio file to boundaries and scores: the work behind the commands.

Everything here is plain functions of picklable arguments, so a process pool can run
:func:`analyse_file` on many files at once.
"""

import dataclasses
import math
import os

import numpy as np

from .options import FS, Params

_EXTRAS = {
    "soundfile": ("reading audio files", "audio"),
    "soxr": ("resampling audio", "audio"),
    "matplotlib": ("plotting", "plot"),
    "tqdm": ("a progress bar", "progress"),
}


class MissingExtra(ImportError):
    """An optional dependency is not installed; the message says which extra brings it."""


def need(module):
    """Import an optional dependency, or raise MissingExtra naming the extra to install."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        what, extra = _EXTRAS[module]
        raise MissingExtra(f"{what} needs the {extra!r} extra: pip install 'velmor[{extra}]'") from None


class AnalysisError(Exception):
    """A file that cannot be analysed (unreadable, empty, unusable reference)."""


# ---------------------------------------------------------------- audio in

def load_audio(path):
    """Read an audio file as a mono float64 signal at 22050 Hz.

    Returns ``(signal, info)`` with ``info`` the file's own sample rate and channel count.
    Channels are averaged; other rates are resampled with soxr.
    """
    sf = need("soundfile")
    if not os.path.exists(path):
        raise AnalysisError("no such file")
    if os.path.isdir(path):
        raise AnalysisError("is a directory, not an audio file")
    try:
        data, rate = sf.read(os.fspath(path), dtype="float64", always_2d=True)
    except (RuntimeError, sf.SoundFileError) as exc:  # LibsndfileError is a RuntimeError
        raise AnalysisError(f"cannot read audio: {exc}") from None
    if data.shape[0] == 0:
        raise AnalysisError("the file holds no audio samples")
    signal = data.mean(axis=1)
    if rate != FS:
        soxr = need("soxr")
        signal = soxr.resample(signal, rate, FS, quality="HQ")
    if not np.all(np.isfinite(signal)):
        raise AnalysisError("the audio contains non-finite samples")
    return np.ascontiguousarray(signal, dtype=np.float64), {"sample_rate": rate, "channels": data.shape[1]}


# ---------------------------------------------------------------- references

def read_reference(path):
    """Reference boundaries in seconds from a text file, sorted.

    Two layouts are read (blank lines and ``#`` comments are skipped):

    - one time per line: every time is a boundary;
    - ``start end [label]`` per line (a ``.lab`` file): the boundaries are the places
      where one segment gives way to the next, i.e. every segment start after the first,
      plus the end of a segment that is followed by a gap. The start of the first
      segment and the end of the last (the edges of the piece) are not boundaries.
    """
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.readlines()
    except (OSError, UnicodeDecodeError) as exc:
        raise AnalysisError(f"cannot read reference {os.fspath(path)}: {exc}") from None
    times, segments = [], []
    for number, line in enumerate(lines, start=1):
        fields = line.split("#", 1)[0].split()
        if not fields:
            continue
        try:
            values = [float(v) for v in fields[: 1 if len(fields) == 1 else 2]]
        except ValueError:
            raise AnalysisError(f"{os.fspath(path)}, line {number}: expected a time or 'start end label', "
                                f"got {line.strip()!r}") from None
        if not all(math.isfinite(v) and v >= 0 for v in values):
            raise AnalysisError(f"{os.fspath(path)}, line {number}: times must be finite and >= 0")
        (times if len(values) == 1 else segments).append(values)
    if times and segments:
        raise AnalysisError(f"{os.fspath(path)}: mixes single times with 'start end' lines")
    if times:
        return np.unique(np.array(times, dtype=float).ravel())
    segments.sort()
    out = [s for s, _ in segments[1:]]
    out += [e for (_, e), (s, _) in zip(segments[:-1], segments[1:]) if s - e > 1e-3]
    return np.unique(np.array(out, dtype=float))


def find_reference(ref_dir, audio_path):
    """``ref_dir/<stem>.lab`` or ``ref_dir/<stem>.txt`` for an audio file, or None."""
    stem = os.path.splitext(os.path.basename(audio_path))[0]
    for ext in (".lab", ".txt"):
        candidate = os.path.join(ref_dir, stem + ext)
        if os.path.isfile(candidate):
            return candidate
    return None


def score(boundaries, reference, tolerances):
    """calc_prf at each tolerance: a list of dicts with tolerance, precision, recall, f."""
    from velmor import unit7

    est = np.asarray(boundaries, dtype=float)
    ref = np.asarray(reference, dtype=float)
    out = []
    for tau in tolerances:
        p, r, f = unit7.calc_prf(est, ref, float(tau))
        out.append({"tolerance": float(tau), "precision": float(p), "recall": float(r), "f": float(f)})
    return out


# ---------------------------------------------------------------- the analysis

@dataclasses.dataclass
class Analysis:
    """What one run of the pipeline produces. Times are in seconds, frame i lies at i / ff."""

    duration: float
    feature_rate: float
    ssm: np.ndarray
    novelty: np.ndarray
    peak_frames: np.ndarray
    boundary_frames: np.ndarray
    frames: dict
    method: str = "classic"
    times: np.ndarray | None = None
    boundary_times: np.ndarray | None = None
    road: str = "dense"
    note: str | None = None

    @property
    def boundaries(self):
        """Boundaries in seconds: refined ones where the method refines, else frame / ff."""
        if self.boundary_times is not None:
            return self.boundary_times
        return self.boundary_frames / self.feature_rate

    @property
    def novelty_times(self):
        """The time in seconds of each novelty value (where a change found there lies)."""
        if self.times is not None:
            return self.times
        return np.arange(len(self.novelty)) / self.feature_rate


def analyse_signal(signal, params=Params()):
    """Boundaries of a signal at 22050 Hz with the method ``params`` names.

    Every method but the classic one runs in :mod:`velmor.analysis` (:func:`velmor.analysis.segment`).
    The classic road is audio -> CENS SSM -> (smoothing, threshold) -> checkerboard novelty ->
    peaks: a peak is a frame whose novelty is larger than every other value in the window of
    ``frames["neighbourhood"]`` frames centred on it (``unit7.find_region_peaks``); peaks lower
    than ``params.min_height`` times the highest novelty value, and peaks within the edge margin of
    the start or end (where the kernel hangs over the edge of the matrix), are not boundaries.
    """
    from velmor import unit7

    signal = np.ascontiguousarray(signal, dtype=np.float64)
    method = params.analysis_method()
    if method is not None:
        from velmor.analysis import segment

        seg = segment(signal, FS, method, keep_ssm=True, max_memory=params.max_memory,
                      fallback=params.method == "default")
        return _of_segmentation(seg, params)
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


def _of_segmentation(seg, params):
    note = None
    if seg.method != params.resolved_method():
        note = (f"too long for the {params.resolved_method()!r} method's whole matrix within --max-memory: "
                f"analysed with the {seg.method!r} method on the banded road")
    return Analysis(duration=seg.duration, feature_rate=seg.rate, ssm=seg.ssm, novelty=seg.novelty,
                    peak_frames=seg.peaks, boundary_frames=seg.frames, frames=params.frames(), method=seg.method,
                    times=seg.times, boundary_times=seg.boundaries, road=seg.road, note=note)


IN_MEMORY_SECONDS = 600.0
"""Files up to this long are read whole; longer ones a block at a time
(:mod:`velmor.analysis.audio_blocks`)."""


def analyse_long_file(path, params):
    """The analysis of a file longer than :data:`IN_MEMORY_SECONDS`, read a block at a time, its road
    chosen from the file's header before any feature work (:func:`velmor.analysis.segment_file`).
    Returns ``(analysis, info)``, or None for the classic road and for files read whole."""
    method = params.analysis_method()
    if method is None:
        return None
    from velmor.analysis import audio_blocks, methods

    try:
        info = audio_blocks.file_info(path)
    except Exception:  # not audio, or no soundfile: the whole-file reader says so in its own words
        return None
    if info["duration"] <= IN_MEMORY_SECONDS:
        return None
    try:
        seg = methods.segment_file(path, method, keep_ssm=True, max_memory=params.max_memory,
                                   fallback=params.method == "default")
    except (methods.TooLongError, ValueError) as exc:
        raise AnalysisError(str(exc)) from None
    return _of_segmentation(seg, params), info


@dataclasses.dataclass(frozen=True)
class Task:
    """One file of a batch: where to read it, its reference, where its plot goes."""

    path: str
    params: Params
    reference: str | None = None
    tolerances: tuple = (0.5, 3.0)
    plot: str | None = None


def analyse_file(task):
    """Analyse one file; returns a JSON-ready result dict, or raises AnalysisError/MissingExtra."""
    reference = None if task.reference is None else read_reference(task.reference)
    long = analyse_long_file(task.path, task.params) if os.path.isfile(task.path) else None
    if long is not None:
        a, info = long
    else:
        signal, info = load_audio(task.path)
        try:
            a = analyse_signal(signal, task.params)
        except MemoryError as exc:  # too long for the method's road: said before any feature work
            raise AnalysisError(str(exc)) from None
        del signal
    result = {
        "file": task.path,
        "duration": a.duration,
        "sample_rate": info["sample_rate"],
        "channels": info["channels"],
        "feature_rate": a.feature_rate,
        "frames": len(a.novelty),
        "method": a.method,
        "road": a.road,
        "features": task.params.describe()["features"],
        "parameters": task.params.describe(),
        "peak_frames": a.peak_frames.tolist(),
        "boundary_frames": a.boundary_frames.tolist(),
        "boundaries": a.boundaries.tolist(),
        "reference_file": task.reference,
        "reference": None if reference is None else reference.tolist(),
        "scores": None if reference is None else score(a.boundaries, reference, task.tolerances),
    }
    if a.note is not None:
        result["note"] = a.note
    if task.plot is not None:
        from .plot import plot_analysis

        plot_analysis(task.plot, a, reference, title=os.path.basename(task.path))
        result["plot"] = task.plot
    return result
