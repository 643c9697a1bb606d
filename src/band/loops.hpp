// loops.hpp: the Python-free kernels of the banded road: the band |i - j| <= hw of a fused cosine
// self-similarity matrix computed from the features, diagonal smoothing inside the band, and the
// mirrored checkerboard novelty read from it, block by block so that no n x n array is ever made.
#pragma once

#include <cstddef>

namespace unit7::loops {

using ix = std::ptrdiff_t;

// One feature: x[r * n + c], r < dims, c < n (frames as columns, C order).
struct BandFeature {
    const double* x;
    ix dims;
};

// Where the rows of a band come from: a fused self-similarity of features, or a given band.
//   band row i, column hw + o  ==  S[i, i + o],  -hw <= o <= hw  (zero where i + o is outside 0 .. n - 1)
// With features, S = w[0] * S_0 + w[1] * S_1 + ... (0.0 + each term, in order; one feature alone
// is S_0 unweighted), S_f[i, j] the sum over r of x_f[r, i] * x_f[r, j], in order of r.
struct BandSource {
    const BandFeature* features;  // null: read `given` instead
    const double* weights;
    int count;
    const double* given;  // n x (2 * given_hw + 1), C order
    ix given_hw;
    ix n;
};

// Rows i0 .. i1 - 1 of the band of half-width hw into out, (i1 - i0) x (2 * hw + 1), C order; with
// a given band, hw <= given_hw. Every index comes from the shapes.
void band_rows(const BandSource& src, ix hw, ix i0, ix i1, double* out);

// The novelty curve of the checkerboard `kernel` (k_len x k_len, C order, k_len even) slid along the
// diagonal of the matrix mirrored at its edges (k_len / 2 rows and columns each side, reflected
// without repeating the edge; with n == 1, repeated), the matrix first smoothed along its diagonals
// when smooth_len > 1 (the mean of smooth_len values, from (smooth_len - 1) / 2 behind, zeros past
// the ends of each diagonal). out[t], t < n, gives diagonal_slide's values on the mirrored matrix bit
// for bit (sums in numpy's pairwise order, pieces of `piece` values, 0: one piece) from the same
// matrix values. False when the kernel is not finite or too long. May throw std::bad_alloc.
bool band_novelty(const BandSource& src, const double* kernel, ix k_len, ix smooth_len, ix piece, double* out);

}  // namespace unit7::loops
