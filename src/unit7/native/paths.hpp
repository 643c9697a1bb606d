// paths.hpp: the native paths; each returns false, with no exception set, when its numpy path must run.
// The guards live in paths.cpp (diagonal_slide's in novelty.cpp), the loops they admit in the
// Python-free loops.cpp of each family.
#pragma once

#include "frame/ref.hpp"

namespace unit7::native {

// ssm/
// thresh_and_scale as a whole: a float64 matrix and a float or int threshold.
bool try_thresh_and_scale(PyObject* m, PyObject* tau, Ref& result);
// make_lag_matrix as a whole: a float64 matrix.
bool try_make_lag_matrix(PyObject* s, Ref& result);
// diagonal_smoothing from statement 2 on, with n = m.shape[0]: float64 matrix, window of an exact int
// length no longer than twice the matrix and a bit.
bool try_diagonal_smoothing(PyObject* m, PyObject* win_len, PyObject* n, Ref& result);
// diagonal_smoothing's loop (statements 5 to 12) for a longer window, into the `out` the body made.
bool try_smooth_diagonals(PyObject* m, PyObject* win_len, PyObject* out);

// novelty/
// diagonal_slide from its statement 4 on (no padded copy): square float64 matrix and kernel.
bool try_diagonal_slide(PyObject* ssm, PyObject* kernel, Ref& result);
// column_derivative without the padded copy: whether the inputs are for the native loop (then
// statements 3 and 4 are skipped), whether the make_derivative_kernel found at statement 5 is the
// module's own (otherwise the padded copy is made before it is called), and that loop (statements
// 6 to 8) with the kernel it returned, into the `out` the body made.
bool admit_column_derivative(PyObject* m, PyObject* k_len);
bool is_module_derivative_kernel(PyObject* f);
bool try_column_derivative(PyObject* m, PyObject* k_len, PyObject* kern, PyObject* out);

// evaluation/
// find_region_peaks whole (no padded copy): float64 or int64 signal, exact int region_len.
bool try_find_region_peaks(PyObject* x, PyObject* region_len, Ref& result);

// The matching loop of pos_neg_split: flags set in the fresh all-false est_label and ref_label.
bool try_match_estimates(PyObject* est, PyObject* ref, PyObject* tau, PyObject* est_label, PyObject* ref_label);

}  // namespace unit7::native
