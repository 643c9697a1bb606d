// loops.hpp: the Python-free kernels of the novelty family (diagonal_slide, column_derivative). Each
// takes raw pointers, shapes and strides counted in elements, and writes exactly the entries its
// shape names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace unit7::loops {

using ix = std::ptrdiff_t;

// The matrix: S(i, j) = s[i * rs + j * cs] for 0 <= i, j < n_len.
struct Matrix {
    const double* s;
    std::ptrdiff_t rs, cs, n_len;
};

// The kernel: K(r, c) = k[r * ks0 + c * ks1] for 0 <= r, c < k_len.
struct Kernel {
    const double* k;
    std::ptrdiff_t ks0, ks1, k_len;
};

// The longest kernel side the loop takes; longer ones (for which the numpy path, too, needs
// gigabytes) take the numpy path.
constexpr std::ptrdiff_t kMaxSide = 1 << 13;

// Bytes of scratch diagonal_slide needs for this matrix, kernel and piece length (0: the kernel is
// too long or the piece length is negative, and the call is not for the loop).
std::size_t slide_scratch_bytes(const Matrix& m, const Kernel& k, ix piece);

// out[n * os] = np.sum(kernel * window n) bit for bit, n < m.n_len, the window being the k_len x
// k_len block of the zero-bordered matrix around (n, n), with numpy's pairwise summation cut into
// pieces of `piece` values (0: one piece). `scratch` holds slide_scratch_bytes(m, k, piece) bytes.
// False, with out undefined, when the kernel holds a value that is not finite.
bool diagonal_slide(const Matrix& m, const Kernel& k, ix piece, void* scratch, double* out, ix os);

// out[n] = sqrt(sum over rows i of d_i[n]^2), n < rows, with d_i[n] = sum over j < k_len of
// k[i, j] * x[i, n - h + j], h = k_len // 2, the columns outside 0 .. cols - 1 left out; x is rows x
// cols (cols >= rows), k is rows x k_len, both with strides in elements; out is contiguous and holds
// zeros on entry; q is scratch for k_len doubles. False, with out undefined, when a value lies
// outside the range in which the order of the sums can change nothing but their rounding.
bool column_derivative(const double* x, ix xs0, ix xs1, ix rows, ix cols, const double* k, ix ks0, ix ks1,
                       ix k_len, double* q, double* out);

}  // namespace unit7::loops
