// loops.cpp: the kernel of column_derivative: pointers, shapes and strides in, the curve out;
// nothing here knows of Python.
//
//   column_derivative   out[n] = || sum over j of kern[:, j] * m[:, n - h + j] ||, h = k_len // 2, the
//                       columns outside the matrix left out instead of padded with zeros: no padded copy.
// Every index comes from the shapes alone; a value that another thread changes between the range
// check of a row and its use can change the curve and raise a flag (which sends the call to the
// numpy path), never where anything is read or written.
#include "novelty/loops.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#define UNIT7_NOVELTY_X86 1
#else
#define UNIT7_NOVELTY_X86 0
#endif

namespace unit7::loops {

namespace {

#define UNIT7_NOVELTY_INLINE inline __attribute__((always_inline))

// Four doubles; with AVX2 one register, otherwise a pair of SSE2 registers. Never passed or
// returned by value, so that no function signature depends on the instruction set.
typedef double v4 __attribute__((vector_size(32)));
typedef long long bits4 __attribute__((vector_size(32)));
constexpr ix kLanes = 4;

typedef double v4_unaligned __attribute__((vector_size(32), aligned(8), may_alias));  // for loads and stores

UNIT7_NOVELTY_INLINE void load(v4& v, const double* p) { v = *reinterpret_cast<const v4_unaligned*>(p); }
UNIT7_NOVELTY_INLINE void store(double* p, const v4& v) { *reinterpret_cast<v4_unaligned*>(p) = v; }

bool have_avx2() {
#if UNIT7_NOVELTY_X86
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// Values for which the order of the sums cannot matter beyond rounding. With every nonzero product
// |kern * m| at least kTiny and every window sum at most kHuge, no product, sum, square or sum of
// squares overflows or underflows, in any order (a nonzero sum of such products is at least 2^-52
// of the smallest, so its square stays normal), so neither path raises a flag.
constexpr double kTiny = 1e-137;
constexpr double kHuge = 1e150;

// True when every |x[c * xs]|, c < len, is finite, at most `big`, and 0 or at least `tiny`.
UNIT7_NOVELTY_INLINE bool row_in_range(const double* x, ix xs, ix len, double tiny, double big) {
    ix c = 0;
    if (xs == 1) {
        const bits4 magnitude = {~(1ll << 63), ~(1ll << 63), ~(1ll << 63), ~(1ll << 63)};
        const v4 vtiny = {tiny, tiny, tiny, tiny}, vbig = {big, big, big, big}, zero = {};
        bits4 bad = {};
        for (; c + kLanes <= len; c += kLanes) {
            v4 v;
            load(v, x + c);
            const v4 a = (v4)((bits4)v & magnitude);
            bad |= ~(a <= vbig) | ((a < vtiny) & (a != zero));
        }
        if (bad[0] | bad[1] | bad[2] | bad[3]) return false;
    }
    for (; c < len; ++c) {
        const double a = std::fabs(x[c * xs]);
        if (!(a <= big) || (a < tiny && a != 0.0)) return false;
    }
    return true;
}

// d[n] = sum over j of q[j] * x[n - h + j] for the columns inside 0 .. cols - 1, one position.
UNIT7_NOVELTY_INLINE double column_one(const double* x, ix xs, ix cols, const double* q, ix k_len, ix h, ix n) {
    const ix lo = std::max<ix>(0, h - n), hi = std::min(k_len, cols - n + h);
    double sum = 0.0;
    for (ix j = lo; j < hi; ++j) sum += q[j] * x[(n - h + j) * xs];
    return sum;
}

// sq[n] += d[n]^2 for the positions n < positions of one matrix row x and its kernel row q.
UNIT7_NOVELTY_INLINE void column_row(const double* x, ix xs, ix cols, const double* q, ix k_len, ix positions,
                                 double* sq) {
    const ix h = k_len / 2;
    // Positions h .. inner_end - 1 have their whole window inside the matrix.
    const ix inner_begin = std::min(h, positions);
    const ix inner_end = std::max(inner_begin, std::min(positions, cols - k_len + h + 1));
    ix n = 0;
    for (; n < inner_begin; ++n) {
        const double d = column_one(x, xs, cols, q, k_len, h, n);
        sq[n] += d * d;
    }
    if (xs == 1) {
        for (; n + 4 * kLanes <= inner_end; n += 4 * kLanes) {
            v4 acc[4] = {};
            const double* p = x + n - h;
            for (ix j = 0; j < k_len; ++j) {
                const v4 qj = {q[j], q[j], q[j], q[j]};
                for (int t = 0; t < 4; ++t) {
                    v4 v;
                    load(v, p + j + t * kLanes);
                    acc[t] += qj * v;
                }
            }
            for (int t = 0; t < 4; ++t) {
                v4 s;
                load(s, sq + n + t * kLanes);
                s += acc[t] * acc[t];
                store(sq + n + t * kLanes, s);
            }
        }
    }
    for (; n < positions; ++n) {
        const double d = column_one(x, xs, cols, q, k_len, h, n);
        sq[n] += d * d;
    }
}

// The kernel row (stride ks) to q; false when a value is not finite. Sets the bounds of
// row_in_range for the matrix row it meets.
UNIT7_NOVELTY_INLINE bool kernel_row(const double* k, ix ks, ix k_len, double* q, double* tiny, double* big) {
    double total = 0.0, smallest = 0.0;
    for (ix j = 0; j < k_len; ++j) {
        const double v = k[j * ks], a = std::fabs(v);
        if (!std::isfinite(v)) return false;
        q[j] = v;
        total += a;
        if (a != 0.0 && (smallest == 0.0 || a < smallest)) smallest = a;
    }
    *tiny = smallest > 0.0 ? kTiny / smallest : 0.0;
    *big = total > 0.0 ? kHuge / total : kHuge;
    return true;
}

// out[n] = sqrt(sum over rows i of d_i[n]^2), n < rows (out contiguous, zeros on entry). False,
// with out undefined, when a value lies outside the range in which the order of the sums is free.
UNIT7_NOVELTY_INLINE bool column_norms(const double* x, ix xs0, ix xs1, ix rows, ix cols, const double* k, ix ks0,
                                   ix ks1, ix k_len, double* q, double* out) {
    const ix h = k_len / 2;
    const ix reach = std::min(cols, rows - 1 - h + k_len);  // columns any window meets
    for (ix i = 0; i < rows; ++i) {
        double tiny, big;
        if (!kernel_row(k + i * ks0, ks1, k_len, q, &tiny, &big)) return false;
        const double* row = x + i * xs0;
        if (!row_in_range(row, xs1, reach, tiny, big)) return false;
        column_row(row, xs1, cols, q, k_len, rows, out);
    }
    for (ix n = 0; n < rows; ++n) out[n] = std::sqrt(out[n]);
    return true;
}

bool column_norms_base(const double* x, ix xs0, ix xs1, ix rows, ix cols, const double* k, ix ks0, ix ks1,
                       ix k_len, double* q, double* out) {
    return column_norms(x, xs0, xs1, rows, cols, k, ks0, ks1, k_len, q, out);
}

#if UNIT7_NOVELTY_X86
__attribute__((target("avx2"))) bool column_norms_avx2(const double* x, ix xs0, ix xs1, ix rows, ix cols,
                                                       const double* k, ix ks0, ix ks1, ix k_len, double* q,
                                                       double* out) {
    return column_norms(x, xs0, xs1, rows, cols, k, ks0, ks1, k_len, q, out);
}
#endif

}  // namespace

bool column_derivative(const double* x, ix xs0, ix xs1, ix rows, ix cols, const double* k, ix ks0, ix ks1,
                       ix k_len, double* q, double* out) {
#if UNIT7_NOVELTY_X86
    if (have_avx2()) return column_norms_avx2(x, xs0, xs1, rows, cols, k, ks0, ks1, k_len, q, out);
#endif
    return column_norms_base(x, xs0, xs1, rows, cols, k, ks0, ks1, k_len, q, out);
}

}  // namespace unit7::loops
