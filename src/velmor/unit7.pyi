# Type stubs of velmor.unit7, the compiled analysis module: the fourteen functions as type
# checkers and editors see them, with the documentation strings the module itself carries.
#
# The functions do no type checking of their own (numpy does, when it is handed something it
# cannot use); the annotations below name what works. Lengths are anything usable as an index
# (Python or numpy integers), tolerances and thresholds are real numbers, and matrices are
# numpy arrays of booleans, integers or floats, since every matrix function reads the input's
# ``shape`` (nested lists fail). Results are new float64 arrays unless the input's dtype
# carries through, which the overloads say.

from collections.abc import Sequence
from typing import Any, SupportsIndex, TypeVar, overload

import numpy
from numpy.typing import NDArray

from velmor.unit4 import cens as cens, make_chromagram as make_chromagram

np = numpy

_Real = numpy.bool | numpy.integer[Any] | numpy.floating[Any]
_RealArray = NDArray[_Real]
_ScalarT = TypeVar("_ScalarT", bound=numpy.generic)
_FloatT = TypeVar("_FloatT", bound=numpy.floating[Any])
_EstT = TypeVar("_EstT", bound=_Real)
_RefT = TypeVar("_RefT", bound=_Real)

__test__: dict[str, Any]

# An SSM has the dtype of its features (float64 for float64, int64 for int64, ...).
def make_ssm(f: NDArray[_ScalarT]) -> NDArray[_ScalarT]:
    """Create a self-similarity matrix (SSM) from a time series, where 
    each element is compared to every other element using the dot product.

    :param f: a N x M time series of feature vectors

    :returns: the SSM matrix of size M x M
    """

# (ssm, ff): the SSM of the CENS features and the feature rate in frames per second.
def audio_to_ssm(
    snd: _RealArray | Sequence[float], cens_filt_len: SupportsIndex, cens_ds: SupportsIndex, fft_len: SupportsIndex = 4096
) -> tuple[NDArray[numpy.float64], float]:
    """Create a self-similarity matrix (SSM) from an audio signal by using CENS as the
    feature set. 

    :param snd: the audio signal
    :param cens_filt_len: the CENS filter length
    :param cens_ds: the CENS downsample rate
    :param fft_len: the length of the FFT used in creating the initial chromagram, before CENS is applied.

    :returns: a tuple ``(ssm, ff)`` where ``ssm`` is the self-similarity matrix, and ``ff`` is its the feature rate
    """

# A floating-point matrix keeps its precision; integers and booleans become float64.
@overload
def thresh_and_scale(m: NDArray[_FloatT], tau: float) -> NDArray[_FloatT]:
    """Apply thresholding and scaling to the input matrix. 

    :param m: the input matrix. All values must be <= 1.
    :param tau: the threshold value in the range [0,1]

    :returns: a matrix of the same dimensions as ``m``. All values of ``m < tau`` are set to 0. Then all values from ``[tau, 1]`` are expanded to the range ``[0, 1]``.
    """

@overload
def thresh_and_scale(m: NDArray[numpy.bool | numpy.integer[Any]], tau: float) -> NDArray[numpy.float64]:
    """Apply thresholding and scaling to the input matrix. 

    :param m: the input matrix. All values must be <= 1.
    :param tau: the threshold value in the range [0,1]

    :returns: a matrix of the same dimensions as ``m``. All values of ``m < tau`` are set to 0. Then all values from ``[tau, 1]`` are expanded to the range ``[0, 1]``.
    """

def make_lag_matrix(s: _RealArray) -> NDArray[numpy.float64]:
    """Create a time-lag matrix by circular shifting the nth column of a matrix by n steps.

    :param s: the input matrix (must be square)
    :param region_len: the size of the neighborhood

    :returns: a matrix of the same dimensions as ``s`` 
    """

def diagonal_smoothing(m: _RealArray, win_len: SupportsIndex) -> NDArray[numpy.float64]:
    """Apply a low pass averaging filter across all the diagonals of the input matrix

    :param m: the input matrix
    :param win_len: the window length used for smoothing via uniform averaging

    :returns: a matrix of the same dimensions as ``m``.
    """

def make_checkerboard(cb_len: SupportsIndex, gaussian: bool = True, normalize: bool = True) -> NDArray[numpy.float64]:
    """Create a Gaussian checkerboard kernel with positive values on the main diagonal 
    and negative values on the off-diagonal.

    :param cb_len: the full length of the checkerboard. Value should be even.
    :param gaussian: if True, make output a Gaussian-tapered checkerboard. Otherwise, make a binary checkerboard.
    :param normalize: if True, normalize output to sum to 1.

    :returns: a matrix of shape ``(cb_len, cb_len)``.
    """

def make_2d_gaussian(wlen: SupportsIndex, eps: float = 1.0) -> NDArray[numpy.float64]:
    """Create a 2D Gaussian kernel, centered in the middle of the matrix.

    :param wlen: the length of the Gaussian kernel
    :param eps: the degree of Gaussian tapering to apply - equal to the standard deviation in the Gaussian function.

    :returns: a matrix of shape ``(wlen, wlen)``.
    """

def diagonal_slide(ssm: _RealArray, kernel: _RealArray) -> NDArray[numpy.float64]:
    """Slide the given kernel along the main diagonal of a self-similarity matrix to produce
    a novelty curve. At each point, compute the sum of the element-wise products of the 
    SSM and the kernel.

    :param ssm: an (N x N) self-similarity matrix
    :param kernel: a (L x L) kernel

    :returns: an array of length N, the novelty curve.
    """

def diagonal_novelty(ssm: _RealArray, cb_len: SupportsIndex) -> NDArray[numpy.float64]:
    """Slide a checkerboard kernel along the main diagonal of a self-similarity matrix to produce
    a boundaries novelty curve. At each point, compute the sum of the element-wise products of the 
    SSM and the checkerboard.

    :param ssm: an (N x N) self-similarity matrix
    :param cb_len: the size of the checkerboard to use

    :returns: an array of length N, the boundaries novelty curve.
    """

def make_derivative_kernel(rows: SupportsIndex, k_len: SupportsIndex) -> NDArray[numpy.float64]:
    """Create a rectangular kernel of size ``(rows,  k_len)`` that can be used to differentiate
    the columns of a matrix. All resulting rows of the kernel are equal.

    :param rows: the desired number of rows
    :param k_len: the desired length (number of columns)

    :returns: a kernel of shape ``(rows,  k_len)``
    """

def column_derivative(m: _RealArray, k_len: SupportsIndex) -> NDArray[numpy.float64]:
    """Create a derivative kernel of length ``k_len`` and apply it to input matrix ``m``.
    The kernel is slid from left to right. At each step, compute the sum of element-wise products for each
    row, thus creating a column vector. The length of this column vector is the value of the output
    novelty function at each point.

    :param m: the input matrix
    :param k_len: the length of the derivative kernel

    :returns: an array of values representing a novelty curve for matrix ``m``.

    """

# Peak positions as integers; with no peak at all the result is ``np.array([])``, an empty
# float64 array, which cannot index another array: check ``len(peaks)`` (or convert with
# ``peaks.astype(np.intp)``) before using it as an index.
def find_region_peaks(x: _RealArray | Sequence[float], region_len: SupportsIndex) -> NDArray[numpy.intp] | NDArray[numpy.float64]:
    """Find the highest peaks within a neighborhood around each peak.

    :param x: the input signal 
    :param region_len: the size of the neighborhood

    :returns: an array peaks found in ``x``, where each peek is guaranteed to be at least ``region_len`` away from any other peak.
    """

# (est_pos, est_neg, ref_pos, ref_neg), each in the dtype of the input it comes from.
def pos_neg_split(
    est: NDArray[_EstT], ref: NDArray[_RefT], tau: float
) -> tuple[NDArray[_EstT], NDArray[_EstT], NDArray[_RefT], NDArray[_RefT]]:
    """Evaluate estimated values against reference values, returning positive and negative match results
    for each set. Positive matches are based on the criteria of ``|e - r| < tau``. The estimates array
    and reference array are sorted into two lists: matches (positives) and non-matches (negatives).

    :param est: an array of estimate values
    :param ref: an array of reference values
    :param tau: the distance criteria to determine a match

    :returns: a tuple of four arrays ``(est_pos, est_neg, ref_pos, ref_neg)`` where each array is the positive or negative subset of the corresponding input array. By definition, ``len(est_pos) == len(ref_pos)``
    """

# (P, R, F): precision, recall and F-measure as Python floats.
def calc_prf(est: _RealArray, ref: _RealArray, tau: float) -> tuple[float, float, float]:
    """Given estimated values and reference values, and based on the match criteria of ``|e - r| < tau``, calculate Precision, Recall, and F-measure.

    :param est: an array of estimate values
    :param ref: an array of reference values
    :param tau: the distance criteria to determine a match

    :returns: the tuple (P, R, F) with values for Precision, Recall, and F-measure.
    """
