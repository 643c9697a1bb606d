// loops.hpp: the Python-free kernels of the ssm family (thresh_and_scale, make_lag_matrix,
// diagonal_smoothing). Each takes raw pointers, shapes and strides counted in elements, and writes
// exactly the entries its shape names: the caller passes a result allocated for that shape.
#pragma once

#include <cstddef>

namespace unit7::loops {

using ix = std::ptrdiff_t;

// out[a * inner + b] = max-or-NaN((x[a * so + b * si] - tau) / span, 0): outer x inner entries,
// below 0 set to 0 by a quiet comparison (NaN stays NaN).
void thresh_and_scale(const double* x, ix outer, ix inner, ix so, ix si, double tau, double span, double* out);

// out (rows x cols, C order) [r, c] = s[(r + c) mod rows, c], s with strides (s0, s1).
void lag_matrix(const double* s, ix rows, ix cols, ix s0, ix s1, double* out);

// The doubles of scratch diagonal_smoothing wants for a window of win_len on an n x n result, 64-byte
// aligned, or 0 when it takes none (windows much longer than the matrix go an entry at a time).
ix smoothing_scratch(ix n, ix win_len);

// out (n x n, C order) [i, j] = out[j, i] = the mean over win_len taps of the diagonal of m through
// (i, j), i >= j, from (win_len - 1) // 2 taps behind it; m has n rows and at least n columns, read
// with strides (ms0, ms1). buf: smoothing_scratch(n, win_len) doubles at a 64-byte boundary (null
// when that is 0).
void diagonal_smoothing(const double* m, ix ms0, ix ms1, ix n, ix win_len, double* buf, double* out);

}  // namespace unit7::loops
