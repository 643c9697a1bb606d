"""The analysis layer of velmor: from a signal to section boundaries, one plain stage at a time.

Stages (each a function of arrays, usable alone):

- frontend: :func:`feature_frames` -- one spectrogram, the features a method asks for, pooled to
  the analysis rate
- similarity: :func:`self_similarity`, :func:`fuse` -- cosine self-similarity matrices
- novelty: :func:`checkerboard_novelty`, :func:`structure_novelty`, :func:`combine`
- boundaries: :func:`select_peaks` (adaptive threshold, spacing, a given count), :func:`refine`
  (each boundary moved to the change on a finer time grid)
- labels: :mod:`velmor.analysis.labels` -- segment similarity, clustering, names A, B, C

Methods
    :data:`METHODS` maps a name to a :class:`Method`, one row naming the choice made at each
    stage; ``METHODS[name](signal, sr)`` returns the boundaries in seconds, and
    :func:`segment` returns them with the curves behind them (a :class:`Segmentation`, the one
    type of a segmentation's result). The classic ``velmor.unit7`` road is a row like the others,
    its settings fields of its :class:`Method`. :data:`DEFAULT_METHOD` is the method
    :func:`velmor.analyze` and the command line use unless told otherwise. :func:`plan` chooses the road by memory:
    the dense matrices while they fit ``max_memory``, the band of :mod:`.banded` above it;
    :func:`segment_file` reads a file a block at a time (:mod:`.audio_blocks`).
"""

from .boundaries import refine, select_peaks
from .frontend import ANALYSIS_SR, FeatureFrames, feature_frames
from .methods import DEFAULT_METHOD, METHODS, Method, Segmentation, TooLongError, plan, segment, segment_file
from .novelty import checkerboard_novelty, combine, structure_novelty
from .similarity import fuse, self_similarity

__all__ = [
    "ANALYSIS_SR", "FeatureFrames", "feature_frames",
    "self_similarity", "fuse",
    "checkerboard_novelty", "structure_novelty", "combine",
    "select_peaks", "refine",
    "Method", "METHODS", "DEFAULT_METHOD", "Segmentation", "segment", "segment_file", "plan", "TooLongError",
]
