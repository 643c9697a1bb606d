"""Music structure analysis in Python.

The analysis functions live in :mod:`velmor.unit7` (a compiled module):
self-similarity matrices from features or audio, their conditioning
(threshold, time-lag, diagonal smoothing), novelty curves (checkerboard
along the diagonal, derivative kernel across columns), peak picking and
boundary scores. :mod:`velmor.unit4` is the audio front end (chroma, CENS);
:mod:`velmor.features` computes one spectrogram and every feature from it;
:mod:`velmor.audio` reads, mixes and resamples audio; :mod:`velmor.analysis` chains
features, similarity, novelty, peak selection and labels into named methods
(``velmor.analysis.segment(signal, sr)``); :mod:`velmor.result` holds what an
analysis finds (:class:`Structure`). Each imports only from those before it; the
command line (:mod:`velmor.cli`) sits on top and nothing imports it.

The one call from audio to labelled sections is :func:`velmor.analyze`; :func:`velmor.evaluate`
scores a result against a reference annotation::

    s = velmor.analyze("song.flac")
    s.segments                      # ((0.0, 12.1, 'A'), (12.1, 26.0, 'B'), ...)
    velmor.evaluate(s, "song.lab")  # hit rates, deviations, pairwise and entropy scores

The compiled functions work on arrays alone::

    from velmor import unit7
    ssm, ff = unit7.audio_to_ssm(signal, 41, 10)  # 22050 Hz audio; CENS filter 41, downsampling 10

Submodules and these functions are imported on first use, so ``import velmor`` stays cheap.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # what the names below resolve to, for type checkers (nothing is imported here)
    from . import analysis as analysis, annotations as annotations, api as api, evaluation as evaluation
    from . import features as features, plot as plot, unit4 as unit4, unit7 as unit7
    from .api import Structure as Structure, analyze as analyze
    from .evaluation import evaluate as evaluate

from ._version import __version__ as __version__
_MODULES = ("analysis", "annotations", "api", "audio", "evaluation", "features", "plot", "result", "unit4", "unit7")
_FUNCTIONS = {"analyze": "api", "Structure": "api", "evaluate": "evaluation"}
__all__ = ["analyze", "evaluate", "Structure", "analysis", "features", "unit4", "unit7"]


def __getattr__(name: str) -> object:
    """A submodule, or one of the functions and classes above, imported on first use.

    Parameters
    ----------
    name : str
        A name of :data:`__all__` or of a submodule.

    Returns
    -------
    object
        The module, function or class of that name.
    """
    import importlib

    if name in _FUNCTIONS:
        return getattr(importlib.import_module(f"{__name__}.{_FUNCTIONS[name]}"), name)
    if name in _MODULES:
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
