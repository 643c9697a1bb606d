"""The optional dependencies (extras): import one, or say which extra brings it."""

from __future__ import annotations

import importlib
from typing import Any

EXTRAS = {
    "soundfile": ("reading audio files", "audio"),
    "soxr": ("resampling audio", "audio"),
    "matplotlib": ("plotting", "plot"),
    "tqdm": ("a progress bar", "progress"),
    "jams": ("JAMS files", "jams"),
    "mir_eval": ("evaluation", "eval"),
}
"""What each optional module is needed for, and the extra that installs it."""


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
    try:
        return importlib.import_module(module)
    except ImportError:
        what, extra = EXTRAS[module]
        raise MissingExtra(f"{what} needs the {extra!r} extra: pip install 'velmor[{extra}]'") from None
