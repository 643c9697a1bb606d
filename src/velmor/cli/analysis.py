"""What the commands do with one file: read it through :func:`velmor.analyze`, score it, report it.

The library does the work (:mod:`velmor.audio` reads, :mod:`velmor.analysis` segments and labels,
:func:`velmor.analyze` ties them together); this module turns its results and errors into the
command line's JSON-ready dicts and one-line messages. Everything here is plain functions of
picklable arguments, so a process pool can run :func:`analyse_file` on many files at once.
"""

from __future__ import annotations

import dataclasses
import os
import warnings
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, DTypeLike

from .. import audio
from .._extras import MissingExtra as MissingExtra
from .._extras import need as need
from .._files import reason
from ..analysis.methods import Segmentation
from ..audio import AudioError
from ..audio import AudioWarning as AudioWarning
from .options import FS, Params

if TYPE_CHECKING:
    from velmor.annotations import Annotation
    from velmor.features import Float64, Floats
    from velmor.result import Structure

Analysis = Segmentation
"""What :func:`analyse_signal` returns: a :class:`velmor.analysis.Segmentation`."""


class AnalysisError(Exception):
    """A file that cannot be analysed (unreadable, empty, unusable reference)."""


def load_audio(path: str | os.PathLike[str], dtype: DTypeLike = np.float64,
               content: bytes | None = None) -> tuple[Floats, dict[str, int]]:
    """Read an audio file as a mono signal at 22050 Hz, of ``dtype`` (float32 or float64).

    :func:`velmor.audio.load`, with its failures as :class:`AnalysisError`. ``content`` holds the
    file's bytes when they were read already (standard input).

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
    import io

    try:
        return audio.load(path if content is None else io.BytesIO(content), dtype)
    except (AudioError, FileNotFoundError, IsADirectoryError) as exc:
        raise _unreadable(exc, path if content is None else None) from None


def _unreadable(exc: AudioError | OSError, path: str | os.PathLike[str] | None) -> Exception:
    """The command line's error for audio that cannot be read: the reason alone, as the file is
    named beside it; an OSError about another file than ``path`` stays as it is."""
    if isinstance(exc, AudioError):
        return AnalysisError(exc.reason)
    if path is None or exc.filename != os.fspath(path) or exc.strerror is None:
        return exc
    return AnalysisError(exc.strerror)


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

def analyse_signal(signal: ArrayLike, params: Params = Params()) -> Segmentation:
    """Find the boundaries of a signal at 22050 Hz with the method ``params`` names.

    :func:`velmor.analysis.segment` with the method and settings of the command line's options.

    Parameters
    ----------
    signal : array_like
        A mono signal at 22050 Hz.
    params : Params, default Params()
        The method and its settings.

    Returns
    -------
    Segmentation
        The boundaries and the curves behind them.
    """
    from velmor.analysis import segment

    return segment(signal, FS, params.analysis_method(), keep_ssm=True, max_memory=params.max_memory,
                   fallback=params.method == "default")


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

    if isinstance(exc, TooLongError) or str(exc).startswith("out of memory"):
        return str(exc)
    return f"out of memory: {exc}" if str(exc) else "out of memory"


def _analyse(task: Task) -> tuple[dict[str, Any], Structure, Annotation | None]:
    import io

    from velmor.api import analyze

    reference = None if task.reference is None else read_annotation(task.reference)
    source = task.path if task.audio is None else io.BytesIO(task.audio)
    try:
        s = analyze(source, method=task.params.analysis_method(), return_ssm=task.plot is not None,
                    max_memory=task.params.max_memory, fallback=task.params.method == "default")
    except MemoryError as exc:  # too long for the method's road (said before any feature work), or out of memory
        raise AnalysisError(_memory_message(exc)) from None
    except (AudioError, FileNotFoundError, IsADirectoryError) as exc:
        raise _unreadable(exc, task.path if task.audio is None else None) from None
    rate = s.sample_rate if s.sample_rate is None or not float(s.sample_rate).is_integer() else int(s.sample_rate)
    info = {"sample_rate": rate, "channels": s.channels}
    s = dataclasses.replace(s, source=task.path)
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
