// ssm.cpp: the native loops of thresh_and_scale, make_lag_matrix, diagonal_smoothing and column_derivative.
//
// Each loop computes what its numpy path computes, straight from the input's memory and without the
// numpy path's temporaries:
//   thresh_and_scale    out = (m - tau) / (1 - tau), then 0 where out < 0: one pass instead of four;
//   make_lag_matrix     out[r, c] = s[(r + c) mod N, c]: no roll per column;
//   diagonal_smoothing  out[i, j] = out[j, i] = sum over d of win[fb - d] * m[i + d, j + d] for i >= j,
//                       fb = (win_len - 1) // 2, the terms outside the matrix left out, which is what
//                       the full convolution of each diagonal sliced at fb gives: no index vectors;
//   column_derivative   out[n] = || sum over j of kern[:, j] * m[:, n - h + j] ||, h = k_len // 2, the
//                       columns outside the matrix left out instead of padded with zeros: no padded copy.
// Large results are written with streaming stores, which do not read the destination into the cache.
#include "native/paths.hpp"

#include "frame/ops.hpp"
#include "native/guard.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__x86_64__)
#include <immintrin.h>
#define UNIT7_SSM_X86 1
#else
#define UNIT7_SSM_X86 0
#endif

namespace unit7::native {

namespace detail {

namespace {

using ix = std::ptrdiff_t;

#define UNIT7_SSM_INLINE inline __attribute__((always_inline))

// Four doubles; with AVX2 one register, otherwise a pair of SSE2 registers. Never passed or
// returned by value, so that no function signature depends on the instruction set.
typedef double v4 __attribute__((vector_size(32)));
typedef long long bits4 __attribute__((vector_size(32)));
constexpr ix kLanes = 4;

typedef double v4_unaligned __attribute__((vector_size(32), aligned(8), may_alias));  // for loads and stores

UNIT7_SSM_INLINE void load(v4& v, const double* p) { v = *reinterpret_cast<const v4_unaligned*>(p); }
UNIT7_SSM_INLINE void store(double* p, const v4& v) { *reinterpret_cast<v4_unaligned*>(p) = v; }

// Results at least this large bypass the cache on their way to memory.
constexpr ix kStreamBytes = 1 << 20;

// Doubles from p to the next cache-line boundary (0 .. 7): loops over columns of a result start their
// blocks of eight there, so that each block fills whole lines of it.
UNIT7_SSM_INLINE ix to_line(const double* p) {
    return static_cast<ix>((64 - (reinterpret_cast<std::uintptr_t>(p) & 63)) & 63) / static_cast<ix>(sizeof(double));
}

bool have_avx2() {
#if UNIT7_SSM_X86
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// ---- thresh_and_scale -------------------------------------------------------------------------

// One entry: (x - tau) / span, and 0.0 for a result below 0. The comparison is quiet, as numpy's:
// a NaN stays NaN and raises no flag.
UNIT7_SSM_INLINE double thresh_one(double x, double tau, double span) {
    const double v = (x - tau) / span;
    return std::isless(v, 0.0) ? 0.0 : v;
}

// `out` holds outer x inner entries contiguously; x is read with strides (so, si) in that order.
void thresh_strided(const double* x, ix outer, ix inner, ix so, ix si, double tau, double span, double* out) {
    for (ix a = 0; a < outer; ++a) {
        const double* row = x + a * so;
        double* q = out + a * inner;
        for (ix b = 0; b < inner; ++b) q[b] = thresh_one(row[b * si], tau, span);
    }
}

#if UNIT7_SSM_X86
__attribute__((target("avx2"))) inline __m256d thresh4(const double* x, __m256d tau, __m256d span) {
    const __m256d v = _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(x), tau), span);
    return _mm256_andnot_pd(_mm256_cmp_pd(v, _mm256_setzero_pd(), _CMP_LT_OQ), v);
}

// Both contiguous, in the same order.
__attribute__((target("avx2"))) void thresh_flat_avx2(const double* x, ix len, double tau, double span,
                                                      double* out) {
    ix k = 0;
    for (; k < len && (reinterpret_cast<std::uintptr_t>(out + k) & 31) != 0; ++k)
        out[k] = thresh_one(x[k], tau, span);
    const __m256d t = _mm256_set1_pd(tau), s = _mm256_set1_pd(span);
    if (len * static_cast<ix>(sizeof(double)) >= kStreamBytes) {
        for (; k + kLanes <= len; k += kLanes) _mm256_stream_pd(out + k, thresh4(x + k, t, s));
        _mm_sfence();
    } else {
        for (; k + kLanes <= len; k += kLanes) _mm256_store_pd(out + k, thresh4(x + k, t, s));
    }
    for (; k < len; ++k) out[k] = thresh_one(x[k], tau, span);
}
#endif

// ---- make_lag_matrix --------------------------------------------------------------------------

// The lag matrix goes in chunks of kLagRows rows and, within a chunk, in strips of kLagStrip columns
// (one cache line of each row of out), from top to bottom; each line of s then serves kLagStrip rows
// of a strip in a row, a chunk keeps the pages it touches few enough for the address cache, and the
// line that enters the strip kLagAhead rows later is fetched ahead.
constexpr ix kLagRows = 512;
constexpr ix kLagStrip = 8;
constexpr ix kLagAhead = 128;

// q[k] = s[(i + k) mod rows, c0 + k] for k < w.
UNIT7_SSM_INLINE void lag_piece(const double* s, ix rows, ix s0, ix s1, ix i, ix c0, ix w, double* q) {
    if (i + w <= rows) {
        const double* p = s + i * s0 + c0 * s1;
        const ix step = s0 + s1;
        for (ix k = 0; k < w; ++k) q[k] = p[k * step];
        return;
    }
    for (ix k = 0; k < w; ++k) {
        q[k] = s[i * s0 + (c0 + k) * s1];
        if (++i == rows) i = 0;
    }
}

// a mod rows for 0 <= a < 3 rows.
UNIT7_SSM_INLINE ix wrap(ix a, ix rows) {
    if (a >= rows) a -= rows;
    if (a >= rows) a -= rows;
    return a;
}

// out (rows x cols, C order): out[r, c] = s[(r + c) mod rows, c]; s has strides (s0, s1).
template <bool Stream>
UNIT7_SSM_INLINE void lag_strips(const double* s, ix rows, ix cols, ix s0, ix s1, double* out,
                                 void (*row8)(const double*, ix, double*)) {
    const bool ahead = rows > kLagAhead + 2 * kLagStrip;  // then wrap() needs no more than two steps
    const ix line = to_line(out);
    for (ix r0 = 0; r0 < rows; r0 += kLagRows) {
        const ix r1 = std::min(rows, r0 + kLagRows);
        for (ix c0 = 0, w; c0 < cols; c0 += w) {
            w = std::min(c0 == 0 && line > 0 ? line : kLagStrip, cols - c0);
            const ix first = (r0 + c0) % rows;  // the row of s that starts the strip
            for (ix r = r0, i = first; r < r1; ++r) {
                if (ahead) {
                    // The row entering kLagAhead rows later: in this strip, or at the top of the next.
                    const ix later = r + kLagAhead;
                    const ix at = later < r1 ? wrap(i + kLagAhead + w - 1, rows)
                                             : wrap(first + (later - r1) + w + kLagStrip - 1, rows);
                    const ix col = later < r1 ? c0 + w - 1 : std::min(cols - 1, c0 + w + kLagStrip - 1);
                    __builtin_prefetch(s + at * s0 + col * s1);
                }
                double* q = out + r * cols + c0;
                if (Stream && w == kLagStrip && i + w <= rows && (reinterpret_cast<std::uintptr_t>(q) & 31) == 0)
                    row8(s + i * s0 + c0 * s1, s0 + s1, q);
                else
                    lag_piece(s, rows, s0, s1, i, c0, w, q);
                if (++i == rows) i = 0;
            }
        }
    }
}

void lag_base(const double* s, ix rows, ix cols, ix s0, ix s1, double* out) {
    lag_strips<false>(s, rows, cols, s0, s1, out, nullptr);
}

#if UNIT7_SSM_X86
// Eight entries p[k * step] to q (32-byte aligned), past the cache.
__attribute__((target("avx2"))) void lag_row8_stream(const double* p, ix step, double* q) {
    _mm256_stream_pd(q, _mm256_set_pd(p[3 * step], p[2 * step], p[step], p[0]));
    _mm256_stream_pd(q + 4, _mm256_set_pd(p[7 * step], p[6 * step], p[5 * step], p[4 * step]));
}

__attribute__((target("avx2"))) void lag_avx2(const double* s, ix rows, ix cols, ix s0, ix s1, double* out) {
    lag_strips<true>(s, rows, cols, s0, s1, out, lag_row8_stream);
    _mm_sfence();
}
#endif

// ---- diagonal_smoothing -----------------------------------------------------------------------

// The rows of out go in blocks of kSmoothRows and a block in tiles of kSmoothCols columns. A tile is
// computed into a scratch tile, then written to its place and, mirrored, to the rows of out above
// the block, each of which receives kSmoothRows consecutive entries. Blocks and tiles start on
// cache-line boundaries of out, so that both writes fill whole lines when its rows are whole lines
// long. A tile's rows of m stay in the first-level cache while it is computed.
constexpr ix kSmoothRows = 8;
constexpr ix kSmoothCols = 64;

// The window sum at (i, j), i >= j, over the offsets d = lo .. hi along the diagonal, added up as
// smooth_16 adds up its lanes (so that a value does not depend on which of the two computes it).
UNIT7_SSM_INLINE double smooth_one(const double* m, ix ms0, ix ms1, const double* w, ix fb, ix i, ix j, ix lo,
                                   ix hi) {
    double even = 0.0, odd = 0.0;
    const double* p = m + (i + lo) * ms0 + (j + lo) * ms1;
    const ix step = ms0 + ms1;
    ix d = lo;
    for (; d < hi; d += 2, p += 2 * step) {
        even += w[fb - d] * p[0];
        odd += w[fb - d - 1] * p[step];
    }
    if (d == hi) even += w[fb - d] * p[0];
    return even + odd;
}

// acc[t] += c * p[4t .. 4t + 3], t < 4.
UNIT7_SSM_INLINE void add_products(v4 (&acc)[4], double c, const double* p) {
    const v4 cv = {c, c, c, c};
    for (int t = 0; t < 4; ++t) {
        v4 x;
        load(x, p + t * kLanes);
        acc[t] += cv * x;
    }
}

// Sixteen full windows o[j .. j + 15] of row i (m with contiguous rows), j >= before.
UNIT7_SSM_INLINE void smooth_16(const double* m, ix ms0, const double* w, ix fb, ix before, ix hi, ix i, ix j,
                                double* o) {
    // Two sums per lane, for the offsets d of either parity: eight additions in flight.
    v4 even[4] = {}, odd[4] = {};
    const double* p = m + (i - before) * ms0 + j - before;
    ix d = -before;
    for (; d < hi; d += 2, p += 2 * (ms0 + 1)) {
        add_products(even, w[fb - d], p);
        add_products(odd, w[fb - d - 1], p + ms0 + 1);
    }
    if (d == hi) add_products(even, w[fb - d], p);
    for (int t = 0; t < 4; ++t) store(o + j + t * kLanes, even[t] + odd[t]);
}

// Row i of a tile: entries jt .. end - 1 (end <= i + 1) into o[jt .. end - 1].
UNIT7_SSM_INLINE void smooth_row(const double* m, ix ms0, ix ms1, ix n, const double* w, ix win_len, ix i,
                                 ix jt, ix end, double* o) {
    const ix fb = (win_len - 1) / 2, before = win_len - 1 - fb;  // columns before `before` lose the window's start
    const ix hi = std::min(fb, n - 1 - i);                      // the window's end, cut by the bottom of the matrix
    ix j = jt;
    for (; j < std::min(before, end); ++j) o[j] = smooth_one(m, ms0, ms1, w, fb, i, j, -j, hi);
    if (ms1 == 1 && end - j >= 4 * kLanes) {
        for (; j + 4 * kLanes <= end; j += 4 * kLanes) smooth_16(m, ms0, w, fb, before, hi, i, j, o);
        if (j < end) smooth_16(m, ms0, w, fb, before, hi, i, end - 4 * kLanes, o);  // again, the same values
        j = end;
    }
    for (; j < end; ++j) o[j] = smooth_one(m, ms0, ms1, w, fb, i, j, -before, hi);
}

// A tile: the entries (i, j) of the rows i0 .. i1 - 1 and the columns jt .. je - 1 (je <= i1) with
// j <= i, at tile[(i - i0) * kSmoothCols + j - jt].
struct Tile {
    double* at;
    ix i0, i1, jt, je;
};

// Blocks and tiles end at the first line boundary of out, then every kSmoothRows rows and
// kSmoothCols columns.
UNIT7_SSM_INLINE ix block_end(ix i0, ix n, ix line) {
    return std::min(n, i0 + (i0 == 0 && line > 0 ? line : kSmoothRows));
}
UNIT7_SSM_INLINE ix tile_end(ix jt, ix line) { return jt == 0 && line > 0 ? line : jt + kSmoothCols; }

// Row r of tile t, computed.
UNIT7_SSM_INLINE void smooth_tile_row(const double* m, ix ms0, ix ms1, ix n, const double* w, ix win_len,
                                      const Tile& t, ix r) {
    const ix i = t.i0 + r;
    if (i < t.i1 && i >= t.jt)
        smooth_row(m, ms0, ms1, n, w, win_len, i, t.jt, std::min(t.je, i + 1), t.at + r * kSmoothCols - t.jt);
}

// The tile to out[i, j] and out[j, i].
void place_tile_base(const Tile& t, ix n, double* out) {
    for (ix i = std::max(t.i0, t.jt); i < t.i1; ++i) {
        const ix end = std::min(t.je, i + 1);
        std::memcpy(out + i * n + t.jt, t.at + (i - t.i0) * kSmoothCols, sizeof(double) * (end - t.jt));
    }
    for (ix j = t.jt; j < t.je; ++j)
        for (ix i = std::max(t.i0, j + 1); i < t.i1; ++i) out[j * n + i] = t.at[(i - t.i0) * kSmoothCols + j - t.jt];
}

// Every tile, computed and then handed to place(tile).
template <class Place>
UNIT7_SSM_INLINE void smooth_tiles(const double* m, ix ms0, ix ms1, ix n, const double* w, ix win_len, ix line,
                                   Place place) {
    double tile[kSmoothRows * kSmoothCols];
    for (ix i0 = 0, i1; i0 < n; i0 = i1) {
        i1 = block_end(i0, n, line);
        for (ix jt = 0; jt < i1; jt = tile_end(jt, line)) {
            const Tile t = {tile, i0, i1, jt, std::min(tile_end(jt, line), i1)};
            for (ix r = 0; r < i1 - i0; ++r) smooth_tile_row(m, ms0, ms1, n, w, win_len, t, r);
            place(t);
        }
    }
}

void smooth_base(const double* m, ix ms0, ix ms1, ix n, const double* w, ix win_len, double* out) {
    smooth_tiles(m, ms0, ms1, n, w, win_len, to_line(out), [&](const Tile& t) { place_tile_base(t, n, out); });
}

#if UNIT7_SSM_X86
__attribute__((target("avx2"))) inline void put4(double* q, __m256d v) {
    if ((reinterpret_cast<std::uintptr_t>(q) & 31) == 0)
        _mm256_stream_pd(q, v);
    else
        _mm256_storeu_pd(q, v);
}

// place_tile_base past the cache, for a tile of a full block: the mirror goes in 4 x 4 transposes,
// two per group of four columns.
__attribute__((target("avx2"))) void place_tile_stream(const Tile& t, ix n, double* out) {
    static_assert(kSmoothRows == 8, "two 4 x 4 transposes per group of columns");
    for (ix i = std::max(t.i0, t.jt); i < t.i1; ++i) {
        const double* src = t.at + (i - t.i0) * kSmoothCols - t.jt;
        double* dst = out + i * n;
        const ix end = std::min(t.je, i + 1);
        ix j = t.jt;
        for (; j < end && (reinterpret_cast<std::uintptr_t>(dst + j) & 31) != 0; ++j) dst[j] = src[j];
        for (; j + kLanes <= end; j += kLanes) _mm256_stream_pd(dst + j, _mm256_loadu_pd(src + j));
        for (; j < end; ++j) dst[j] = src[j];
    }
    ix j = t.jt;
    for (; j + kLanes <= std::min(t.je, t.i0); j += kLanes) {  // the columns above the block
        for (ix half = 0; half < kSmoothRows; half += kLanes) {
            const double* r0 = t.at + half * kSmoothCols + j - t.jt;
            const __m256d a0 = _mm256_loadu_pd(r0), a1 = _mm256_loadu_pd(r0 + kSmoothCols);
            const __m256d a2 = _mm256_loadu_pd(r0 + 2 * kSmoothCols), a3 = _mm256_loadu_pd(r0 + 3 * kSmoothCols);
            const __m256d t0 = _mm256_unpacklo_pd(a0, a1), t1 = _mm256_unpackhi_pd(a0, a1);
            const __m256d t2 = _mm256_unpacklo_pd(a2, a3), t3 = _mm256_unpackhi_pd(a2, a3);
            double* q = out + j * n + t.i0 + half;
            put4(q, _mm256_permute2f128_pd(t0, t2, 0x20));
            put4(q + n, _mm256_permute2f128_pd(t1, t3, 0x20));
            put4(q + 2 * n, _mm256_permute2f128_pd(t0, t2, 0x31));
            put4(q + 3 * n, _mm256_permute2f128_pd(t1, t3, 0x31));
        }
    }
    for (; j < t.je; ++j)
        for (ix i = std::max(t.i0, j + 1); i < t.i1; ++i) out[j * n + i] = t.at[(i - t.i0) * kSmoothCols + j - t.jt];
}

__attribute__((target("avx2"))) void smooth_avx2(const double* m, ix ms0, ix ms1, ix n, const double* w,
                                                 ix win_len, double* out) {
    const bool stream = n * n * static_cast<ix>(sizeof(double)) >= kStreamBytes;
    smooth_tiles(m, ms0, ms1, n, w, win_len, to_line(out), [&](const Tile& t) {
        if (stream && t.i1 - t.i0 == kSmoothRows)
            place_tile_stream(t, n, out);
        else
            place_tile_base(t, n, out);
    });
    _mm_sfence();
}
#endif

// ---- column_derivative ------------------------------------------------------------------------

// Values for which the order of the sums cannot matter beyond rounding. With every nonzero product
// |kern * m| at least kTiny and every window sum at most kHuge, no product, sum, square or sum of
// squares overflows or underflows, in any order (a nonzero sum of such products is at least 2^-52
// of the smallest, so its square stays normal), so neither path raises a flag.
constexpr double kTiny = 1e-137;
constexpr double kHuge = 1e150;

// True when every |x[c * xs]|, c < len, is finite, at most `big`, and 0 or at least `tiny`.
UNIT7_SSM_INLINE bool row_in_range(const double* x, ix xs, ix len, double tiny, double big) {
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
UNIT7_SSM_INLINE double column_one(const double* x, ix xs, ix cols, const double* q, ix k_len, ix h, ix n) {
    const ix lo = std::max<ix>(0, h - n), hi = std::min(k_len, cols - n + h);
    double sum = 0.0;
    for (ix j = lo; j < hi; ++j) sum += q[j] * x[(n - h + j) * xs];
    return sum;
}

// sq[n] += d[n]^2 for the positions n < positions of one matrix row x and its kernel row q.
UNIT7_SSM_INLINE void column_row(const double* x, ix xs, ix cols, const double* q, ix k_len, ix positions,
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
UNIT7_SSM_INLINE bool kernel_row(const double* k, ix ks, ix k_len, double* q, double* tiny, double* big) {
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
UNIT7_SSM_INLINE bool column_norms(const double* x, ix xs0, ix xs1, ix rows, ix cols, const double* k, ix ks0,
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

#if UNIT7_SSM_X86
__attribute__((target("avx2"))) bool column_norms_avx2(const double* x, ix xs0, ix xs1, ix rows, ix cols,
                                                       const double* k, ix ks0, ix ks1, ix k_len, double* q,
                                                       double* out) {
    return column_norms(x, xs0, xs1, rows, cols, k, ks0, ks1, k_len, q, out);
}
#endif

}  // namespace

void thresh_and_scale(const double* x, ix outer, ix inner, ix so, ix si, double tau, double span, double* out) {
#if UNIT7_SSM_X86
    if ((si == 1 || inner == 1) && (so == inner || outer == 1) && have_avx2()) {
        thresh_flat_avx2(x, outer * inner, tau, span, out);
        return;
    }
#endif
    thresh_strided(x, outer, inner, so, si, tau, span, out);
}

void lag_matrix(const double* s, ix rows, ix cols, ix s0, ix s1, double* out) {
    if (rows == 0 || cols == 0) return;
#if UNIT7_SSM_X86
    if (rows * cols * static_cast<ix>(sizeof(double)) >= kStreamBytes && have_avx2()) {
        lag_avx2(s, rows, cols, s0, s1, out);
        return;
    }
#endif
    lag_base(s, rows, cols, s0, s1, out);
}

void diagonal_smoothing(const double* m, ix ms0, ix ms1, ix n, const double* w, ix win_len, double* out) {
#if UNIT7_SSM_X86
    if (have_avx2()) {
        smooth_avx2(m, ms0, ms1, n, w, win_len, out);
        return;
    }
#endif
    smooth_base(m, ms0, ms1, n, w, win_len, out);
}

bool column_derivative(const double* x, ix xs0, ix xs1, ix rows, ix cols, const double* k, ix ks0, ix ks1,
                       ix k_len, double* q, double* out) {
#if UNIT7_SSM_X86
    if (have_avx2()) return column_norms_avx2(x, xs0, xs1, rows, cols, k, ks0, ks1, k_len, q, out);
#endif
    return column_norms_base(x, xs0, xs1, rows, cols, k, ks0, ks1, k_len, q, out);
}

}  // namespace detail

namespace {

struct RawFree {
    void operator()(double* p) const { PyMem_RawFree(p); }
};
using Scratch = std::unique_ptr<double, RawFree>;

Scratch scratch(Py_ssize_t count) {
    const size_t n = static_cast<size_t>(std::max<Py_ssize_t>(1, count));
    return Scratch(static_cast<double*>(PyMem_RawMalloc(sizeof(double) * n)));
}

// An exact Python int (not a bool) in [lo, hi].
bool int_in(PyObject* obj, long long lo, long long hi, long long* value) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    if (v < lo || v > hi) return false;
    *value = v;
    return true;
}

// np.empty(obj.shape), in Fortran order when asked; null, with the error cleared, when it fails.
Ref new_empty(PyObject* obj, bool fortran) {
    try {
        Ref np = global(N.np);
        Ref empty = attr(np, N.empty);
        Ref shape = attr(obj, N.shape);
        if (fortran) return call(empty, {shape}, {Kw{N.order, N.F}});
        return call(empty, {shape});
    } catch (const Raised&) {
        PyErr_Clear();
        return Ref();
    }
}

// A writable view of `out` whose memory runs contiguously along axis `inner` and then the other.
bool acquire_contiguous(View& v, PyObject* out, int inner) {
    if (!v.acquire(out, 2, true)) return false;
    const int outer = 1 - inner;
    return (v.shape(inner) <= 1 || v.stride(inner) == 1) && (v.shape(outer) <= 1 || v.stride(outer) == v.shape(inner));
}

}  // namespace

bool try_thresh_and_scale(PyObject* m, PyObject* tau, Ref& result) {
    // tau and 1 - tau as the numpy path meets them: floats, or ints that numpy turns into floats
    // exactly.
    double t, span;
    long long ti;
    if (PyFloat_CheckExact(tau)) {
        t = PyFloat_AS_DOUBLE(tau);
        span = 1.0 - t;
    } else if (int_in(tau, -(1ll << 52), 1ll << 52, &ti)) {
        t = static_cast<double>(ti);
        span = static_cast<double>(1 - ti);
    } else {
        return false;
    }
    if (!numpy_untouched({N.empty})) return false;
    View x;
    if (!x.acquire(m, 2)) return false;
    const Py_ssize_t rows = x.shape(0), cols = x.shape(1);
    const Py_ssize_t s0 = std::abs(x.stride(0)), s1 = std::abs(x.stride(1));
    if (rows == 0 || cols == 0) return false;
    // numpy lays the result out in the order of the input's strides: Fortran order when its columns
    // lie closer together than its rows. Ties and zero strides are left to numpy.
    const bool square_ish = rows > 1 && cols > 1;
    if (square_ish && (s0 == s1 || s0 == 0 || s1 == 0)) return false;
    const bool fortran = square_ish && s0 < s1;

    Ref out = new_empty(m, fortran);
    View o;
    if (!out || !acquire_contiguous(o, out, fortran ? 0 : 1)) return false;
    const Py_ssize_t outer = fortran ? cols : rows, inner = fortran ? rows : cols;
    const Py_ssize_t so = fortran ? x.stride(1) : x.stride(0), si = fortran ? x.stride(0) : x.stride(1);
    FpWatch w;
    run_loop(rows * cols, [&] { detail::thresh_and_scale(x.data(), outer, inner, so, si, t, span, o.data()); });
    if (!w.clean()) return false;
    result = out;
    return true;
}

bool try_make_lag_matrix(PyObject* s, Ref& result) {
    // Entries are only copied, as np.roll copies them: no arithmetic, no flags, every bit kept.
    if (!numpy_untouched({N.empty, N.roll})) return false;
    View x;
    if (!x.acquire(s, 2)) return false;
    Ref out = new_empty(s, false);
    View o;
    if (!out || !acquire_contiguous(o, out, 1)) return false;
    const Py_ssize_t rows = x.shape(0), cols = x.shape(1);
    run_loop(rows * cols, [&] { detail::lag_matrix(x.data(), rows, cols, x.stride(0), x.stride(1), o.data()); });
    result = out;
    return true;
}

bool try_smooth_diagonals(PyObject* m, PyObject* win_len, PyObject* out, PyObject* win) {
    if (!numpy_untouched({N.zeros, N.ones, N.sum, N.arange, N.convolve})) return false;
    long long len;
    if (!int_in(win_len, 1, PY_SSIZE_T_MAX / 8, &len)) return false;
    View x, o, wv;
    if (!x.acquire(m, 2) || !wv.acquire(win, 1) || !acquire_contiguous(o, out, 1)) return false;
    const Py_ssize_t n = x.shape(0);
    // Fewer columns than rows: the numpy path raises on the first diagonal.
    if (n == 0 || x.shape(1) < n || o.shape(0) != n || o.shape(1) != n || wv.shape(0) != len) return false;
    Scratch weights = scratch(len);
    if (!weights) return false;
    for (Py_ssize_t k = 0; k < len; ++k) weights.get()[k] = wv.at(k);
    FpWatch w;
    run_loop(n * n, [&] {
        detail::diagonal_smoothing(x.data(), x.stride(0), x.stride(1), n, weights.get(), len, o.data());
    });
    return w.clean();
}

namespace {

// The column_derivative inputs the native loop takes, and the kernel length.
bool column_inputs(PyObject* m, PyObject* k_len, View& x, long long* len) {
    if (!numpy_untouched({N.zeros, N.concatenate, N.sum, N.norm}) || !x.acquire(m, 2)) return false;
    // Fewer columns than rows clip the last windows (the numpy path may raise there); a kernel much
    // wider than the matrix is left to numpy, whose padded copy is then the size it always was.
    return x.shape(1) >= x.shape(0) && int_in(k_len, 0, 2 * static_cast<long long>(x.shape(1)) + 16, len);
}

}  // namespace

bool admit_column_derivative(PyObject* m, PyObject* k_len) {
    View x;
    long long len;
    return column_inputs(m, k_len, x, &len);
}

bool try_column_derivative(PyObject* m, PyObject* k_len, PyObject* kern, PyObject* out) {
    // make_derivative_kernel may be any function: it has run by now and might have rebound numpy's,
    // so the inputs are checked again. `out` is the array this call made; nothing else can hold it.
    View x, k, o;
    long long len;
    if (!column_inputs(m, k_len, x, &len) || !k.acquire(kern, 2) || !o.acquire(out, 1, true)) return false;
    const Py_ssize_t rows = x.shape(0), cols = x.shape(1);
    if (k.shape(0) != rows || k.shape(1) != len || o.shape(0) != rows || (rows > 1 && o.stride(0) != 1)) return false;
    Scratch q = scratch(len);
    if (!q) return false;
    bool in_range = false;
    FpWatch w;
    run_loop(rows * cols, [&] {
        in_range = detail::column_derivative(x.data(), x.stride(0), x.stride(1), rows, cols, k.data(), k.stride(0),
                                             k.stride(1), len, q.get(), o.data());
    });
    return in_range && w.clean();
}

}  // namespace unit7::native
