"""velmor: music structure analysis in Python.

The analysis functions live in :mod:`velmor.unit7` (a compiled module):
self-similarity matrices from features or audio, their conditioning
(threshold, time-lag, diagonal smoothing), novelty curves (checkerboard
along the diagonal, derivative kernel across columns), peak picking and
boundary scores. :mod:`velmor.unit4` is the audio front end (chroma, CENS);
:mod:`velmor.features` computes one spectrogram and every feature from it;
:mod:`velmor.analysis` chains features, similarity, novelty and peak selection
into named methods (``velmor.analysis.segment(signal, sr)``).

Submodules are imported on first use, so ``import velmor`` stays cheap::

    from velmor import unit7
    ssm, ff = unit7.audio_to_ssm(signal, 41, 10)  # 22050 Hz audio; CENS filter 41, downsampling 10
"""

__version__ = "0.1.0"
__all__ = ["analysis", "features", "unit4", "unit7"]


def __getattr__(name):
    if name in __all__:
        import importlib

        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
