// loops.cpp: the banded road's kernels: band rows of a fused self-similarity, smoothing along its
// diagonals, and the mirrored checkerboard novelty, one block of frames at a time; nothing here
// knows of Python.
//
// A band of half-width hw stored row by row, W = 2 hw + 1 values a row, with S[i, j] at
// i * W + (j - i) + hw, is the matrix S read with a row stride of W - 1 and a column stride of 1
// from the band's value hw on. Every cell (i, j) of an m x m matrix read that way lies inside the
// m * W values (from hw >= 0 to (m - 1) W + hw < m W), so diagonal_slide, which reads only cells
// of the matrix it is given, reads inside the band whatever it reads; the cells it uses are those
// within k_len - 1 of the diagonal, which hold their own values for hw >= k_len - 1 (the others
// alias other band cells and are only ever blended away).
#include "loops.hpp"
#include "novelty/loops.hpp"

#include <algorithm>
#include <memory>
#include <vector>

namespace unit7::loops {

#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
#endif

namespace band_impl {

#define UNIT7_BAND_INLINE inline __attribute__((always_inline))

// acc[c] += a * x[c], c < len: the one loop of the band's dot products, vectorised across columns.
UNIT7_BAND_INLINE void add_scaled(double* __restrict acc, double a, const double* __restrict x, ix len) {
    for (ix c = 0; c < len; ++c) acc[c] += a * x[c];
}

UNIT7_BAND_INLINE void feature_rows(const BandSource& src, ix hw, ix i0, ix i1, double* out, double* acc) {
    const ix n = src.n, w = 2 * hw + 1;
    for (ix i = i0; i < i1; ++i) {
        double* row = out + (i - i0) * w;
        const ix lo = std::max<ix>(0, i - hw), hi = std::min(n, i + hw + 1);  // columns j in the matrix
        std::fill(row, row + w, 0.0);
        for (int f = 0; f < src.count; ++f) {
            const BandFeature& ft = src.features[f];
            std::fill(acc, acc + (hi - lo), 0.0);
            for (ix r = 0; r < ft.dims; ++r) {
                const double* xr = ft.x + r * n;
                add_scaled(acc, xr[i], xr + lo, hi - lo);
            }
            double* cells = row + (lo - i) + hw;
            if (src.count == 1) {
                std::copy(acc, acc + (hi - lo), cells);
            } else {
                const double wf = src.weights[f];
                for (ix c = 0; c < hi - lo; ++c) cells[c] = cells[c] + wf * acc[c];
            }
        }
    }
}

void feature_rows_base(const BandSource& src, ix hw, ix i0, ix i1, double* out, double* acc) {
    feature_rows(src, hw, i0, i1, out, acc);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void feature_rows_avx2(const BandSource& src, ix hw, ix i0, ix i1, double* out,
                                                       double* acc) {
    feature_rows(src, hw, i0, i1, out, acc);
}
#endif

// numpy's 'reflect' padding of n indices, extended periodically to any distance; 'edge' for n == 1.
UNIT7_BAND_INLINE ix reflect(ix x, ix n) {
    if (n == 1) return 0;
    const ix period = 2 * n - 2;
    x %= period;
    if (x < 0) x += period;
    return x < n ? x : period - x;
}

// Rows i0 .. i1 - 1 of the band of the matrix smoothed along its diagonals, from raw rows r0 ..
// r0 + rows - 1 (all the rows the smoothing reaches that exist). Sm[i, i + o] is the sum over
// u < len of S[i + lead - u, i + o + lead - u] / len where both indices lie in the matrix; raw
// cells outside it hold zeros, so rows outside it are all that needs skipping.
void smooth_rows(const double* raw, ix r0, ix rows, ix n, ix hw, ix len, ix i0, ix i1, double* out) {
    const ix w = 2 * hw + 1, lead = (len - 1) / 2;
    const double tap = 1.0 / static_cast<double>(len);
    for (ix i = i0; i < i1; ++i) {
        double* row = out + (i - i0) * w;
        std::fill(row, row + w, 0.0);
        // Only the taps that land on given rows: the smoothing may be far longer than the matrix.
        const ix top = std::min({n, r0 + rows, i + lead + 1}), bottom = std::max<ix>({0, r0, i - (len - 1 - lead)});
        for (ix ri = top - 1; ri >= bottom; --ri) {  // u = i + lead - ri rising, the order of the sum
            const double* src = raw + (ri - r0) * w;
            for (ix c = 0; c < w; ++c) row[c] += tap * src[c];
        }
    }
}

}  // namespace band_impl

void band_rows(const BandSource& src, ix hw, ix i0, ix i1, double* out) {
    using namespace band_impl;
    const ix w = 2 * hw + 1;
    if (!src.features) {
        for (ix i = i0; i < i1; ++i) {
            double* row = out + (i - i0) * w;
            const double* given = src.given + i * (2 * src.given_hw + 1) + src.given_hw;
            for (ix o = -hw; o <= hw; ++o)
                row[o + hw] = (o < -src.given_hw || o > src.given_hw || i + o < 0 || i + o >= src.n) ? 0.0 : given[o];
        }
        return;
    }
    std::unique_ptr<double[]> acc(new double[w]);
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
        feature_rows_avx2(src, hw, i0, i1, out, acc.get());
        return;
    }
#endif
    feature_rows_base(src, hw, i0, i1, out, acc.get());
}

bool band_novelty(const BandSource& src, const double* kernel, ix k_len, ix smooth_len, ix piece, double* out) {
    using namespace band_impl;
    const ix n = src.n;
    if (k_len < 2 || k_len % 2 != 0 || k_len > kMaxSide || smooth_len < 1 || piece < 0) return false;
    if (n == 0) return true;
    const ix h = k_len / 2, pad = h, m = n + 2 * pad;
    const ix hw = k_len, w = 2 * hw + 1;
    const ix block = std::max<ix>(4096, 2 * k_len);
    const ix reach_before = smooth_len - 1 - (smooth_len - 1) / 2, reach_after = (smooth_len - 1) / 2;

    const Kernel kv{kernel, k_len, 1, k_len};
    // The scratch of the slide depends on the kernel and whether columns are contiguous only.
    const std::size_t scratch_bytes = slide_scratch_bytes(Matrix{nullptr, w - 1, 1, 0}, kv, piece);
    if (scratch_bytes == 0) return false;
    std::unique_ptr<unsigned char[]> scratch(new unsigned char[scratch_bytes]);
    std::vector<double> q, s, raw, curve;

    for (ix t0 = 0; t0 < n; t0 += block) {
        const ix t1 = std::min(n, t0 + block);
        const ix r0 = std::max<ix>(0, t0 + pad - h), r1 = std::min(m, t1 + pad + h);  // mirrored rows
        ix imin = n, imax = -1;  // the matrix rows they mirror
        for (ix r = r0; r < r1; ++r) {
            const ix i = reflect(r - pad, n);
            imin = std::min(imin, i);
            imax = std::max(imax, i);
        }
        const ix srows = imax - imin + 1;
        s.assign(static_cast<std::size_t>(srows * w), 0.0);
        if (smooth_len > 1) {
            const ix a = std::max<ix>(0, imin - reach_before), b = std::min(n, imax + reach_after + 1);
            raw.assign(static_cast<std::size_t>((b - a) * w), 0.0);
            band_rows(src, hw, a, b, raw.data());
            smooth_rows(raw.data(), a, b - a, n, hw, smooth_len, imin, imax + 1, s.data());
        } else {
            band_rows(src, hw, imin, imax + 1, s.data());
        }
        // The mirrored matrix's rows r0 .. r1 - 1, as a band of their own square block.
        const ix rows = r1 - r0;
        q.assign(static_cast<std::size_t>(rows * w), 0.0);
        for (ix r = r0; r < r1; ++r) {
            const ix i = reflect(r - pad, n);
            const double* srow = s.data() + (i - imin) * w + hw;
            double* qrow = q.data() + (r - r0) * w + hw - r;  // qrow[c]: cell (r, c)
            const ix c0 = std::max(r0, r - hw), c1 = std::min(r1, r + hw + 1);
            for (ix c = c0; c < c1; ++c) qrow[c] = srow[reflect(c - pad, n) - i];
        }
        curve.resize(static_cast<std::size_t>(rows));
        const Matrix mv{q.data() + hw, w - 1, 1, rows};
        if (!diagonal_slide(mv, kv, piece, scratch.get(), curve.data(), 1)) return false;
        for (ix t = t0; t < t1; ++t) out[t] = curve[static_cast<std::size_t>(t + pad - r0)];
    }
    return true;
}

#if defined(__clang__)
#pragma clang fp contract(on)
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif

}  // namespace unit7::loops
