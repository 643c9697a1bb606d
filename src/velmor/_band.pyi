# The native loops of the banded road (velmor.analysis.banded calls them); positional arguments only.
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

def band(features: Sequence[NDArray[np.float64]], weights: Sequence[float], out: NDArray[np.float64], first: int = 0,
         /) -> None: ...
def novelty(features: Sequence[NDArray[np.float64]], weights: Sequence[float], kernel: NDArray[np.float64],
            smooth: int, piece: int, out: NDArray[np.float64], /) -> None: ...
def novelty_of_band(band: NDArray[np.float64], kernel: NDArray[np.float64], smooth: int, piece: int,
                    out: NDArray[np.float64], /) -> None: ...
