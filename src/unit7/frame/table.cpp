// table.cpp: the fourteen functions of velmor.unit7, in the order the exec step binds them.
#include "bodies.hpp"
#include "frame/function.hpp"
#include "frame/state.hpp"

namespace unit7 {

namespace {

const char* const make_ssm_locals[] = {nullptr};
const char* const audio_to_ssm_locals[] = {"hop_size", "chroma", "ff", nullptr};
const char* const make_checkerboard_locals[] = {"cb_hlen", "out", nullptr};
const char* const make_2d_gaussian_locals[] = {"hlen", "x", "y", nullptr};
const char* const diagonal_novelty_locals[] = {"cb", nullptr};
const char* const diagonal_slide_locals[] = {"k_len", "k_hlen", "ssm_len", "pad_ssm", "out", "n", nullptr};
const char* const find_region_peaks_locals[] = {"peaks", "hw", "x_len", "n", "win", "is_bigger", nullptr};
const char* const make_lag_matrix_locals[] = {"out", "c", nullptr};
const char* const thresh_and_scale_locals[] = {"out", nullptr};
const char* const diagonal_smoothing_locals[] = {"n", "out", "win", "r", "diag_len", "di1", "di2", "filt", "filt_beg", nullptr};
const char* const make_derivative_kernel_locals[] = {"x", "y", "kern", nullptr};
const char* const column_derivative_locals[] = {"N", "out", "z", "kern", "n", "d", nullptr};
const char* const pos_neg_split_locals[] = {"est_label", "ref_label", "ei", "e", "match", "hits", nullptr};
const char* const calc_prf_locals[] = {"est_tp", "est_fp", "ref_tp", "ref_fn", "TP", "FP", "FN", "P", "R", "F", nullptr};

FuncDef make_ssm_def = {
    .name = "make_ssm",
    .params = {"f"},
    .nparams = 1,
    .nrequired = 1,
    .locals = make_ssm_locals,
    .doc =
        "Create a self-similarity matrix (SSM) from a time series, where \n"
        "    each element is compared to every other element using the dot product.\n"
        "\n"
        "    :param f: a N x M time series of feature vectors\n"
        "\n"
        "    :returns: the SSM matrix of size M x M\n"
        "    ",
    .statements = 1,
    .body = body::make_ssm,
};

FuncDef audio_to_ssm_def = {
    .name = "audio_to_ssm",
    .params = {"snd", "cens_filt_len", "cens_ds", "fft_len"},
    .nparams = 4,
    .nrequired = 3,
    .locals = audio_to_ssm_locals,
    .doc =
        "Create a self-similarity matrix (SSM) from an audio signal by using CENS as the\n"
        "    feature set. \n"
        "\n"
        "    :param snd: the audio signal\n"
        "    :param cens_filt_len: the CENS filter length\n"
        "    :param cens_ds: the CENS downsample rate\n"
        "    :param fft_len: the length of the FFT used in creating the initial chromagram, before CENS is applied.\n"
        "\n"
        "    :returns: a tuple ``(ssm, ff)`` where ``ssm`` is the self-similarity matrix, and ``ff`` is its the feature rate\n"
        "    ",
    .statements = 5,
    .body = body::audio_to_ssm,
};

FuncDef make_checkerboard_def = {
    .name = "make_checkerboard",
    .params = {"cb_len", "gaussian", "normalize"},
    .nparams = 3,
    .nrequired = 1,
    .locals = make_checkerboard_locals,
    .doc =
        "Create a Gaussian checkerboard kernel with positive values on the main diagonal \n"
        "    and negative values on the off-diagonal.\n"
        "\n"
        "    :param cb_len: the full length of the checkerboard. Value should be even.\n"
        "    :param gaussian: if True, make output a Gaussian-tapered checkerboard. Otherwise, make a binary checkerboard.\n"
        "    :param normalize: if True, normalize output to sum to 1.\n"
        "\n"
        "    :returns: a matrix of shape ``(cb_len, cb_len)``.\n"
        "    ",
    .statements = 9,
    .body = body::make_checkerboard,
};

FuncDef make_2d_gaussian_def = {
    .name = "make_2d_gaussian",
    .params = {"wlen", "eps"},
    .nparams = 2,
    .nrequired = 1,
    .locals = make_2d_gaussian_locals,
    .doc =
        "Create a 2D Gaussian kernel, centered in the middle of the matrix.\n"
        "\n"
        "    :param wlen: the length of the Gaussian kernel\n"
        "    :param eps: the degree of Gaussian tapering to apply - equal to the standard deviation in the Gaussian function.\n"
        "\n"
        "    :returns: a matrix of shape ``(wlen, wlen)``.\n"
        "    ",
    .statements = 5,
    .body = body::make_2d_gaussian,
};

FuncDef diagonal_novelty_def = {
    .name = "diagonal_novelty",
    .params = {"ssm", "cb_len"},
    .nparams = 2,
    .nrequired = 2,
    .locals = diagonal_novelty_locals,
    .doc =
        "Slide a checkerboard kernel along the main diagonal of a self-similarity matrix to produce\n"
        "    a boundaries novelty curve. At each point, compute the sum of the element-wise products of the \n"
        "    SSM and the checkerboard.\n"
        "\n"
        "    :param ssm: an (N x N) self-similarity matrix\n"
        "    :param cb_len: the size of the checkerboard to use\n"
        "\n"
        "    :returns: an array of length N, the boundaries novelty curve.\n"
        "    ",
    .statements = 2,
    .body = body::diagonal_novelty,
};

FuncDef diagonal_slide_def = {
    .name = "diagonal_slide",
    .params = {"ssm", "kernel"},
    .nparams = 2,
    .nrequired = 2,
    .locals = diagonal_slide_locals,
    .doc =
        "Slide the given kernel along the main diagonal of a self-similarity matrix to produce\n"
        "    a novelty curve. At each point, compute the sum of the element-wise products of the \n"
        "    SSM and the kernel.\n"
        "\n"
        "    :param ssm: an (N x N) self-similarity matrix\n"
        "    :param kernel: a (L x L) kernel\n"
        "\n"
        "    :returns: an array of length N, the novelty curve.\n"
        "    ",
    .statements = 9,
    .body = body::diagonal_slide,
};

FuncDef find_region_peaks_def = {
    .name = "find_region_peaks",
    .params = {"x", "region_len"},
    .nparams = 2,
    .nrequired = 2,
    .locals = find_region_peaks_locals,
    .doc =
        "Find the highest peaks within a neighborhood around each peak.\n"
        "\n"
        "    :param x: the input signal \n"
        "    :param region_len: the size of the neighborhood\n"
        "\n"
        "    :returns: an array peaks found in ``x``, where each peek is guaranteed to be at least ``region_len`` away from any other peak.\n"
        "    ",
    .statements = 11,
    .body = body::find_region_peaks,
};

FuncDef make_lag_matrix_def = {
    .name = "make_lag_matrix",
    .params = {"s"},
    .nparams = 1,
    .nrequired = 1,
    .locals = make_lag_matrix_locals,
    .doc =
        "Create a time-lag matrix by circular shifting the nth column of a matrix by n steps.\n"
        "\n"
        "    :param s: the input matrix (must be square)\n"
        "    :param region_len: the size of the neighborhood\n"
        "\n"
        "    :returns: a matrix of the same dimensions as ``s`` \n"
        "    ",
    .statements = 4,
    .body = body::make_lag_matrix,
};

FuncDef thresh_and_scale_def = {
    .name = "thresh_and_scale",
    .params = {"m", "tau"},
    .nparams = 2,
    .nrequired = 2,
    .locals = thresh_and_scale_locals,
    .doc =
        "Apply thresholding and scaling to the input matrix. \n"
        "\n"
        "    :param m: the input matrix. All values must be <= 1.\n"
        "    :param tau: the threshold value in the range [0,1]\n"
        "\n"
        "    :returns: a matrix of the same dimensions as ``m``. All values of ``m < tau`` are set to 0. Then all values from ``[tau, 1]`` are expanded to the range ``[0, 1]``.\n"
        "    ",
    .statements = 3,
    .body = body::thresh_and_scale,
};

FuncDef diagonal_smoothing_def = {
    .name = "diagonal_smoothing",
    .params = {"m", "win_len"},
    .nparams = 2,
    .nrequired = 2,
    .locals = diagonal_smoothing_locals,
    .doc =
        "Apply a low pass averaging filter across all the diagonals of the input matrix\n"
        "\n"
        "    :param m: the input matrix\n"
        "    :param win_len: the window length used for smoothing via uniform averaging\n"
        "\n"
        "    :returns: a matrix of the same dimensions as ``m``.\n"
        "    ",
    .statements = 13,
    .body = body::diagonal_smoothing,
};

FuncDef make_derivative_kernel_def = {
    .name = "make_derivative_kernel",
    .params = {"rows", "k_len"},
    .nparams = 2,
    .nrequired = 2,
    .locals = make_derivative_kernel_locals,
    .doc =
        "Create a rectangular kernel of size ``(rows,  k_len)`` that can be used to differentiate\n"
        "    the columns of a matrix. All resulting rows of the kernel are equal.\n"
        "\n"
        "    :param rows: the desired number of rows\n"
        "    :param k_len: the desired length (number of columns)\n"
        "\n"
        "    :returns: a kernel of shape ``(rows,  k_len)``\n"
        "    ",
    .statements = 6,
    .body = body::make_derivative_kernel,
};

FuncDef column_derivative_def = {
    .name = "column_derivative",
    .params = {"m", "k_len"},
    .nparams = 2,
    .nrequired = 2,
    .locals = column_derivative_locals,
    .doc =
        "Create a derivative kernel of length ``k_len`` and apply it to input matrix ``m``.\n"
        "    The kernel is slid from left to right. At each step, compute the sum of element-wise products for each\n"
        "    row, thus creating a column vector. The length of this column vector is the value of the output\n"
        "    novelty function at each point.\n"
        "\n"
        "    :param m: the input matrix\n"
        "    :param k_len: the length of the derivative kernel\n"
        "\n"
        "    :returns: an array of values representing a novelty curve for matrix ``m``.\n"
        "\n"
        "    ",
    .statements = 9,
    .body = body::column_derivative,
};

FuncDef pos_neg_split_def = {
    .name = "pos_neg_split",
    .params = {"est", "ref", "tau"},
    .nparams = 3,
    .nrequired = 3,
    .locals = pos_neg_split_locals,
    .doc =
        "Evaluate estimated values against reference values, returning positive and negative match results\n"
        "    for each set. Positive matches are based on the criteria of ``|e - r| < tau``. The estimates array\n"
        "    and reference array are sorted into two lists: matches (positives) and non-matches (negatives).\n"
        "\n"
        "    :param est: an array of estimate values\n"
        "    :param ref: an array of reference values\n"
        "    :param tau: the distance criteria to determine a match\n"
        "\n"
        "    :returns: a tuple of four arrays ``(est_pos, est_neg, ref_pos, ref_neg)`` where each array is the positive or negative subset of the corresponding input array. By definition, ``len(est_pos) == len(ref_pos)``\n"
        "    ",
    .statements = 9,
    .body = body::pos_neg_split,
};

FuncDef calc_prf_def = {
    .name = "calc_prf",
    .params = {"est", "ref", "tau"},
    .nparams = 3,
    .nrequired = 3,
    .locals = calc_prf_locals,
    .doc =
        "Given estimated values and reference values, and based on the match criteria of ``|e - r| < tau``, calculate Precision, Recall, and F-measure.\n"
        "\n"
        "    :param est: an array of estimate values\n"
        "    :param ref: an array of reference values\n"
        "    :param tau: the distance criteria to determine a match\n"
        "\n"
        "    :returns: the tuple (P, R, F) with values for Precision, Recall, and F-measure.\n"
        "    ",
    .statements = 10,
    .body = body::calc_prf,
};

}  // namespace

FuncDef* const kFunctions[] = {
    &make_ssm_def,
    &audio_to_ssm_def,
    &make_checkerboard_def,
    &make_2d_gaussian_def,
    &diagonal_novelty_def,
    &diagonal_slide_def,
    &find_region_peaks_def,
    &make_lag_matrix_def,
    &thresh_and_scale_def,
    &diagonal_smoothing_def,
    &make_derivative_kernel_def,
    &column_derivative_def,
    &pos_neg_split_def,
    &calc_prf_def,
};
const int kFunctionCount = sizeof kFunctions / sizeof kFunctions[0];

void function_table_defaults() {
    audio_to_ssm_def.defaults[3] = S.c.i4096;
    make_checkerboard_def.defaults[1] = Py_True;
    make_checkerboard_def.defaults[2] = Py_True;
    make_2d_gaussian_def.defaults[1] = S.c.f1_0;
}

}  // namespace unit7
