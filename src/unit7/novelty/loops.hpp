// loops.hpp: the Python-free kernels of the novelty family (column_derivative). Each takes raw
// pointers, shapes and strides counted in elements, and writes exactly the entries its shape names.
#pragma once

#include <cstddef>

namespace unit7::loops {

using ix = std::ptrdiff_t;

// out[n] = sqrt(sum over rows i of d_i[n]^2), n < rows, with d_i[n] = sum over j < k_len of
// k[i, j] * x[i, n - h + j], h = k_len // 2, the columns outside 0 .. cols - 1 left out; x is rows x
// cols (cols >= rows), k is rows x k_len, both with strides in elements; out is contiguous and holds
// zeros on entry; q is scratch for k_len doubles. False, with out undefined, when a value lies
// outside the range in which the order of the sums can change nothing but their rounding.
bool column_derivative(const double* x, ix xs0, ix xs1, ix rows, ix cols, const double* k, ix ks0, ix ks1,
                       ix k_len, double* q, double* out);

}  // namespace unit7::loops
