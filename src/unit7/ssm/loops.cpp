// loops.cpp: the kernels of thresh_and_scale, make_lag_matrix and diagonal_smoothing: pointers,
// shapes and strides in, the result out; nothing here knows of Python.
//
// Each loop computes what its numpy path computes, straight from the input's memory and without the
// numpy path's temporaries:
//   thresh_and_scale    out = (m - tau) / (1 - tau), then 0 where out < 0: one pass instead of four;
//   make_lag_matrix     out[r, c] = s[(r + c) mod N, c]: no roll per column;
//   diagonal_smoothing  out[i, j] = out[j, i] = (sum over d of m[i + d, j + d]) * (1 / win_len) for
//                       i >= j and d = fb + 1 - win_len .. fb, fb = (win_len - 1) // 2, the terms outside
//                       the matrix left out, which is what the full convolution of each diagonal sliced
//                       at fb gives: no index vectors, no np.zeros before every entry is written.
// Every index is derived from the shapes and strides alone, never from a value read from an input,
// so an input that another thread writes during the loop can change the values that come out but
// not where anything is read or written. Large results are written with streaming stores, which do
// not read the destination into the cache.
#include "ssm/loops.hpp"
#include "vectors.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#define UNIT7_SSM_X86 1
#else
#define UNIT7_SSM_X86 0
#endif

namespace unit7::loops {

namespace {

#define UNIT7_SSM_INLINE inline __attribute__((always_inline))

constexpr ix kLanes = 4;  // doubles in a v4

using loops::load;  // the four-double versions, beside the eight-double ones below
using loops::store;

// Eight doubles, for the loops built for AVX-512 (elsewhere two or four registers).
typedef double v8 __attribute__((vector_size(64)));
typedef double v8_unaligned __attribute__((vector_size(64), aligned(8), may_alias));
UNIT7_SSM_INLINE void load(v8& v, const double* p) { v = *reinterpret_cast<const v8_unaligned*>(p); }
UNIT7_SSM_INLINE void store(double* p, const v8& v) { *reinterpret_cast<v8_unaligned*>(p) = v; }

template <class V>
constexpr ix lanes_of = static_cast<ix>(sizeof(V) / sizeof(double));

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

bool have_avx512() {
#if UNIT7_SSM_X86
    return __builtin_cpu_supports("avx512f");
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

// lag_strips, streamed, for rows that are not whole lines of out: strip k covers, in row r, the
// columns lead(r) + kLagStrip (k - 1) .. lead(r) + kLagStrip k - 1 that lie in the matrix, lead(r)
// being the number of columns before the first line boundary of that row, so that each full piece
// is one whole line of out.
template <bool Stream>
UNIT7_SSM_INLINE void lag_strips_by_row(const double* s, ix rows, ix cols, ix s0, ix s1, double* out,
                                 void (*row8)(const double*, ix, double*)) {
    const bool ahead = rows > kLagAhead + 2 * kLagStrip;  // then wrap() needs no more than two steps
    for (ix r0 = 0; r0 < rows; r0 += kLagRows) {
        const ix r1 = std::min(rows, r0 + kLagRows);
        for (ix base = -kLagStrip; base < cols; base += kLagStrip) {
            // The row of s that column `base` of row r reads: r + base (mod rows); and of the next
            // strip, at its first row.
            ix at = ((r0 + base) % rows + rows) % rows;
            const ix next_at = ahead ? wrap(at + kLagStrip, rows) : 0;
            const bool next = base + kLagStrip < cols;
            // lead(r) for the rows from r0 on: the line boundaries move back by cols (mod 8) a row.
            ix lead = Stream ? to_line(out + r0 * cols) : 0;
            const ix lead_step = Stream ? cols & 7 : 0;
            for (ix r = r0; r < r1; ++r, at = at + 1 == rows ? 0 : at + 1, lead = (lead - lead_step) & 7) {
                double* row = out + r * cols;
                const ix c0 = std::max<ix>(0, base + lead), c1 = std::min(cols, base + lead + kLagStrip);
                const ix later = r + kLagAhead;
                if (ahead && (later < r1 || next)) {
                    // The end of the piece kLagAhead rows later: in this strip (column base + lead
                    // + 7 at most), or in the next one at its top (base + 8 + lead + 7 at most).
                    if (later < r1) {
                        const ix col = std::min(cols - 1, std::max<ix>(0, c1 - 1));
                        __builtin_prefetch(s + wrap(at + kLagAhead + (col - base), rows) * s0 + col * s1);
                    } else {
                        const ix col = std::min(cols - 1, base + kLagStrip + lead + kLagStrip - 1);
                        const ix src = wrap(next_at + (later - r1) + (col - base - kLagStrip), rows);
                        __builtin_prefetch(s + src * s0 + col * s1);
                    }
                }
                if (c0 >= c1) continue;
                ix i = at + (c0 - base);  // < rows + 2 kLagStrip
                while (i >= rows) i -= rows;
                double* q = row + c0;
                if (Stream && c1 - c0 == kLagStrip && i + kLagStrip <= rows)
                    row8(s + i * s0 + c0 * s1, s0 + s1, q);
                else
                    lag_piece(s, rows, s0, s1, i, c0, c1 - c0, q);
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
    if (cols % 8 == 0)
        lag_strips<true>(s, rows, cols, s0, s1, out, lag_row8_stream);
    else
        lag_strips_by_row<true>(s, rows, cols, s0, s1, out, lag_row8_stream);
    _mm_sfence();
}
#endif

// ---- diagonal_smoothing -----------------------------------------------------------------------

// Entry (i, j), i >= j, is w = 1 / win_len times the sum of its win_len taps m[i + d, j + d],
// d = -before .. fb, a tap outside the matrix counting as 0.0. The taps are added in one fixed
// order, whichever loop computes the entry and wherever the matrix and the result lie in memory:
// the window is cut into blocks of 1, 2, 4, ... taps by the bits of win_len, from its start, each
// block summed as the sum of its two halves, and the blocks added to 0.0 from the smallest on. So
// neighbouring entries of a diagonal share their block sums; and a sum of negative zeros comes out
// as a positive zero, as numpy's do.
struct Smoother {
    const double* m;
    ix ms0, ms1, n, len, before, fb;
    double w;
};

// Tap q of entry (i, j).
UNIT7_SSM_INLINE double smooth_tap(const Smoother& s, ix i, ix j, ix q) {
    const ix d = q - s.before;
    return j + d < 0 || i + d >= s.n ? 0.0 : s.m[(i + d) * s.ms0 + (j + d) * s.ms1];
}

// The taps q .. q + size - 1 of entry (i, j), size a power of two: the sum of its two halves. Only
// the taps lo .. hi lie inside the matrix; a block of taps outside it sums to 0.0.
double smooth_block_sum(const Smoother& s, ix i, ix j, ix q, ix size, ix lo, ix hi) {
    if (q > hi || q + size <= lo) return 0.0;
    if (size == 1) return smooth_tap(s, i, j, q);
    const double first = smooth_block_sum(s, i, j, q, size / 2, lo, hi);
    return first + smooth_block_sum(s, i, j, q + size / 2, size / 2, lo, hi);
}

double smooth_one(const Smoother& s, ix i, ix j) {
    const ix lo = std::max<ix>(0, s.before - j), hi = s.before + s.n - 1 - i;
    double total = 0.0;
    for (ix size = 1, q = 0; size <= s.len; size *= 2)
        if (s.len & size) {
            total += smooth_block_sum(s, i, j, q, size, lo, hi);
            q += size;
        }
    return total * s.w;
}

// The rows of the result go in blocks of kBlockRows, and each block, up to and including its part of
// the main diagonal, in tiles of at most kTileCols columns. A tile is computed into a scratch tile in
// the first-level cache, then written to its place and, mirrored, above the main diagonal, where
// each of its columns becomes kBlockRows consecutive entries of a row: a whole cache line when the
// blocks start on line boundaries of the result, which they do when its rows are whole lines long.
// A block is computed in strips of kStripRows rows, each row a vector of V.
constexpr ix kStripRows = 8;
constexpr ix kBlockRows = 8;
constexpr ix kTileCols = 128;
// A row of a scratch tile: the kTileCols entries, with room for the strips' overhang on either side.
// Rows lie kTileStride apart, so that the vectors a strip writes, one row and one column further on
// each, lie kTileStride + 1 apart: a multiple of eight, all aligned when the first one is.
constexpr ix kTileLead = 16;
constexpr ix kTileStride = kTileLead + kTileCols + 23;
constexpr ix kTileSize = kBlockRows * (kTileStride + 1) + 8;
static_assert((kTileStride + 1) % 8 == 0 && kTileLead % 8 == 0, "aligned strip stores");
// Fixed window lengths, for which the strips' sums stay in registers.
constexpr ix kFixedLens = 16;
static_assert(kBlockRows % kStripRows == 0 && kTileCols % kBlockRows == 0, "tiles start on block boundaries");

// Tap e of a strip: the entries of m from (row, col) on, 0.0 for those outside the matrix (below
// its last row or left of its first column; never right of the main diagonal).
template <class V, bool Edge>
UNIT7_SSM_INLINE void strip_tap(const Smoother& s, ix row, ix col, V& x) {
    if (!Edge || (col >= 0 && row < s.n)) {
        load(x, s.m + row * s.ms0 + col);
        return;
    }
    x = V{};
    if (row >= s.n) return;
    for (ix l = 0; l < lanes_of<V>; ++l)
        if (col + l >= 0) x[l] = s.m[row * s.ms0 + col + l];
}

// The block sums of a strip with a fixed window, level by level, the loops unrolled so that the
// taps stay in registers: total[r] gains t[r + Q] when Len has the bit Size, then t[e] becomes the
// sum of the 2 Size taps from e on.
template <class V, ix Len, ix Size, ix Q>
UNIT7_SSM_INLINE void strip_levels(V* t, V* total) {
    if constexpr (Size <= Len) {
        constexpr ix taps = Len + kStripRows - 1;
        if constexpr ((Len & Size) != 0) {
#pragma GCC unroll 8
            for (ix r = 0; r < kStripRows; ++r) total[r] += t[r + Q];
        }
        if constexpr (2 * Size <= Len) {
#pragma GCC unroll 32
            for (ix e = 0; e + 2 * Size <= taps; ++e) t[e] += t[e + Size];
        }
        strip_levels<V, Len, 2 * Size, (Len & Size) != 0 ? Q + Size : Q>(t, total);
    }
}

// A strip: the entries (i0 + r, j + r + l), r < kStripRows, l < lanes, to o[r * (kTileStride + 1) + l]
// (m with contiguous rows, j <= i0 + 1 - lanes: every entry at or left of the main diagonal). Entry
// r's taps are the vectors t[r .. r + len - 1] of one diagonal segment of m, so that the block sums
// of one row serve the others too. Rows past the end of m give values no one uses. Len is the
// window length when fixed, else 0, and then buf holds len + kStripRows - 1 vectors. Edge: some taps
// may lie outside the matrix.
template <class V, ix Len, bool Edge>
UNIT7_SSM_INLINE void smooth_strip(const Smoother& s, ix i0, ix j, double* o, V* buf) {
    V total[kStripRows];
#pragma GCC unroll 8
    for (auto& v : total) v = V{};
    if constexpr (Len > 0) {
        constexpr ix taps = Len + kStripRows - 1;
        V t[taps];
#pragma GCC unroll 32
        for (ix e = 0; e < taps; ++e) strip_tap<V, Edge>(s, i0 - s.before + e, j - s.before + e, t[e]);
        strip_levels<V, Len, 1, 0>(t, total);
    } else {
        const ix len = s.len, taps = len + kStripRows - 1;
        V* t = buf;
        for (ix e = 0; e < taps; ++e) strip_tap<V, Edge>(s, i0 - s.before + e, j - s.before + e, t[e]);
        for (ix size = 1, q = 0; size <= len; size *= 2) {
            if (len & size) {
                for (ix r = 0; r < kStripRows; ++r) total[r] += t[r + q];
                q += size;
            }
            if (2 * size <= len)
                for (ix e = 0; e + 2 * size <= taps; ++e) t[e] += t[e + size];
        }
    }
    const V w = V{} + s.w;
#pragma GCC unroll 8
    for (ix r = 0; r < kStripRows; ++r) store(o + r * (kTileStride + 1), total[r] * w);
}

UNIT7_SSM_INLINE double* tile_at(double* tile, ix r, ix c) { return tile + r * kTileStride + kTileLead + c; }
UNIT7_SSM_INLINE const double* tile_at(const double* tile, ix r, ix c) {
    return tile + r * kTileStride + kTileLead + c;
}

// A strip is the first to read the rows of its last kStripRows taps (the strips above it read the
// others): those lines are fetched kFetchAhead columns ahead of it.
constexpr ix kFetchAhead = 64;

// The entries (i, j), i0 <= i < i1, jt <= j < je, j <= i, into tile_at(tile, i - i0, j - jt).
// The rows go kStripRows at a time; for rows r0 .. the strips start at columns reach = r0 + 1 -
// lanes, reach - lanes, reach - 2 lanes ...: the last one reaches the main diagonal in every row,
// the first one covers the last of the rows from jt on.
template <class V, ix Len>
UNIT7_SSM_INLINE void smooth_tile(const Smoother& s, ix i0, ix i1, ix jt, ix je, double* tile, V* buf) {
    constexpr ix lanes = lanes_of<V>;
    if (s.ms1 != 1 || (Len == 0 && !buf)) {
        for (ix i = i0; i < i1; ++i)
            for (ix j = jt; j < std::min(je, i + 1); ++j) *tile_at(tile, i - i0, j - jt) = smooth_one(s, i, j);
        return;
    }
    for (ix k = 0; k < i1 - i0; k += kStripRows) {
        const ix r0 = i0 + k, reach = r0 - (lanes - 1);
        const ix first = reach - (reach - (jt - (kStripRows - 1)) + lanes - 1) / lanes * lanes;
        const ix last = std::min(je - 1, reach);
        const bool bottom = r0 + kStripRows - 1 + s.fb >= s.n;
        const ix new_row = r0 + s.fb, new_rows = std::min(kStripRows, s.n - new_row);
        for (ix j = first; j <= last; j += lanes) {
            for (ix r = 0, col = j + s.fb + kFetchAhead; r < new_rows && col + r < s.n; ++r)
                __builtin_prefetch(s.m + (new_row + r) * s.ms0 + col + r, 0, 3);
            double* o = tile_at(tile, k, j - jt);
            if (bottom || j < s.before)
                smooth_strip<V, Len, true>(s, r0, j, o, buf);
            else
                smooth_strip<V, Len, false>(s, r0, j, o, buf);
        }
    }
}

// The tile's rows to out[i, jt .. min(je, i + 1) - 1] and its columns to out[j, i] for i > j.
void place_tile_base(const double* tile, ix i0, ix i1, ix jt, ix je, ix n, double* out) {
    for (ix i = i0; i < i1; ++i)
        std::memcpy(out + i * n + jt, tile_at(tile, i - i0, 0), sizeof(double) * (std::min(je, i + 1) - jt));
    for (ix j = jt; j < je; ++j)
        for (ix i = std::max(i0, j + 1); i < i1; ++i) out[j * n + i] = *tile_at(tile, i - i0, j - jt);
}

// Blocks of rows and tiles of columns share their boundaries: 0, the first line boundary of out
// when `line` > 0, then every kBlockRows rows and kTileCols columns.
template <class V, ix Len, class Place>
UNIT7_SSM_INLINE void smooth_all(const Smoother& s, ix line, V* buf, Place place) {
    constexpr ix lanes = lanes_of<V>;
    alignas(64) double scratch[kTileSize];
    for (ix i0 = 0, i1; i0 < s.n; i0 = i1) {
        i1 = std::min(s.n, i0 == 0 && line > 0 ? line : i0 + kBlockRows);
        for (ix jt = 0, je; jt < i1; jt = je) {
            je = std::min(i1, jt == 0 && line > 0 ? line : jt + kTileCols);
            // Strips start at columns j = i0 + 1 (mod lanes); their first vectors, at
            // tile_at(tile, 0, j - jt), are aligned.
            double* tile = scratch + ((jt - i0 + lanes - 1) % lanes + lanes) % lanes;
            smooth_tile<V, Len>(s, i0, i1, jt, je, tile, buf);
            place(tile, i0, i1, jt, je);
        }
    }
}

template <ix Len>
void smooth_base(const Smoother& s, double* out, void* buf) {
    smooth_all<v4, Len>(s, 0, static_cast<v4*>(buf), [&](const double* tile, ix i0, ix i1, ix jt, ix je) {
        place_tile_base(tile, i0, i1, jt, je, s.n, out);
    });
}

#if UNIT7_SSM_X86
UNIT7_SSM_INLINE bool aligned32(const double* q) { return (reinterpret_cast<std::uintptr_t>(q) & 31) == 0; }

// place_tile_base past the cache where it can: rows go out in aligned groups of four, and a full
// block's columns, four at a time, in two 4 x 4 transposes, each half line streamed when it is
// aligned (always, when the rows of out are whole lines long).
__attribute__((target("avx2"))) void place_tile_stream(const double* tile, ix i0, ix i1, ix jt, ix je, ix n,
                                                       double* out) {
    for (ix i = i0; i < i1; ++i) {
        const double* src = tile_at(tile, i - i0, 0);
        double* dst = out + i * n + jt;
        const ix width = std::min(je, i + 1) - jt;
        ix k = 0;
        for (; k < width && !aligned32(dst + k); ++k) dst[k] = src[k];
        for (; k + kLanes <= width; k += kLanes) _mm256_stream_pd(dst + k, _mm256_loadu_pd(src + k));
        for (; k < width; ++k) dst[k] = src[k];
    }
    // The columns left of the block, in whole lines where they can be.
    const ix left = std::min(je, i0) - jt;
    ix c = 0;
    if (i1 - i0 == kBlockRows) {
        const auto put = [](double* q, __m256d v) __attribute__((target("avx2"))) {
            if (aligned32(q))
                _mm256_stream_pd(q, v);
            else
                _mm256_storeu_pd(q, v);
        };
        for (; c + kLanes <= left; c += kLanes) {
            double* q = out + (jt + c) * n + i0;
            for (ix half = 0; half < kBlockRows; half += kLanes) {
                const double* p = tile_at(tile, half, c);
                const __m256d a0 = _mm256_loadu_pd(p), a1 = _mm256_loadu_pd(p + kTileStride);
                const __m256d a2 = _mm256_loadu_pd(p + 2 * kTileStride), a3 = _mm256_loadu_pd(p + 3 * kTileStride);
                const __m256d t0 = _mm256_unpacklo_pd(a0, a1), t1 = _mm256_unpackhi_pd(a0, a1);
                const __m256d t2 = _mm256_unpacklo_pd(a2, a3), t3 = _mm256_unpackhi_pd(a2, a3);
                put(q + half, _mm256_permute2f128_pd(t0, t2, 0x20));
                put(q + n + half, _mm256_permute2f128_pd(t1, t3, 0x20));
                put(q + 2 * n + half, _mm256_permute2f128_pd(t0, t2, 0x31));
                put(q + 3 * n + half, _mm256_permute2f128_pd(t1, t3, 0x31));
            }
        }
    }
    for (ix j = jt + c; j < je; ++j)
        for (ix i = std::max(i0, j + 1); i < i1; ++i) out[j * n + i] = *tile_at(tile, i - i0, j - jt);
}

// place_tile_stream a whole line per store: rows in aligned groups of eight, and eight columns of a
// full block at a time in an 8 x 8 transpose, each of its rows streamed when it is a whole line.
__attribute__((target("avx512f"))) void place_tile_stream512(const double* tile, ix i0, ix i1, ix jt, ix je, ix n,
                                                             double* out) {
    static_assert(kBlockRows == 8, "one 8 x 8 transpose per eight columns");
    for (ix i = i0; i < i1; ++i) {
        const double* src = tile_at(tile, i - i0, 0);
        double* dst = out + i * n + jt;
        const ix width = std::min(je, i + 1) - jt;
        ix k = 0;
        for (; k < width && (reinterpret_cast<std::uintptr_t>(dst + k) & 63) != 0; ++k) dst[k] = src[k];
        for (; k + 8 <= width; k += 8) _mm512_stream_pd(dst + k, _mm512_loadu_pd(src + k));
        for (; k < width; ++k) dst[k] = src[k];
    }
    const ix left = std::min(je, i0) - jt;
    ix c = 0;
    if (i1 - i0 == kBlockRows) {
        for (; c + 8 <= left; c += 8) {
            v8 r[8], t[8], u[8];
            for (int k = 0; k < 8; ++k) load(r[k], tile_at(tile, k, c));
            for (int k = 0; k < 8; k += 2) {  // pairs of rows, then pairs of pairs, then the columns
                t[k] = __builtin_shufflevector(r[k], r[k + 1], 0, 8, 2, 10, 4, 12, 6, 14);
                t[k + 1] = __builtin_shufflevector(r[k], r[k + 1], 1, 9, 3, 11, 5, 13, 7, 15);
            }
            for (int h = 0; h < 8; h += 4)
                for (int k = 0; k < 2; ++k) {
                    u[h + 2 * k] = __builtin_shufflevector(t[h + k], t[h + k + 2], 0, 1, 4, 5, 8, 9, 12, 13);
                    u[h + 2 * k + 1] = __builtin_shufflevector(t[h + k], t[h + k + 2], 2, 3, 6, 7, 10, 11, 14, 15);
                }
            // u[0 .. 3] hold the columns 0, 4 | 2, 6 | 1, 5 | 3, 7 of rows 0 .. 3, u[4 .. 7] of rows 4 .. 7.
            constexpr int first[4] = {0, 2, 1, 3};
            double* q = out + (jt + c) * n + i0;
            const auto put = [](double* at, v8 v) __attribute__((target("avx512f"))) {
                if ((reinterpret_cast<std::uintptr_t>(at) & 63) == 0)
                    _mm512_stream_pd(at, (__m512d)v);
                else
                    store(at, v);
            };
            for (int k = 0; k < 4; ++k) {
                put(q + first[k] * n, __builtin_shufflevector(u[k], u[k + 4], 0, 1, 4, 5, 8, 9, 12, 13));
                put(q + (first[k] + 4) * n, __builtin_shufflevector(u[k], u[k + 4], 2, 3, 6, 7, 10, 11, 14, 15));
            }
        }
    }
    for (ix j = jt + c; j < je; ++j)
        for (ix i = std::max(i0, j + 1); i < i1; ++i) out[j * n + i] = *tile_at(tile, i - i0, j - jt);
}

// A large result streams past the cache, with the boundaries of blocks and tiles at `line` (mod 8),
// where a line starts in every row when the rows are whole lines long; otherwise the stores that do
// not fill a line stay in the cache.
UNIT7_SSM_INLINE bool stream_result(ix n) { return n * n * static_cast<ix>(sizeof(double)) >= kStreamBytes; }

// The loop with vectors V, its tiles placed by place_stream when the result streams.
template <class V, ix Len>
UNIT7_SSM_INLINE void smooth_placed(const Smoother& s, double* out, void* buf,
                                    void (*place_stream)(const double*, ix, ix, ix, ix, ix, double*)) {
    const ix n = s.n;
    V* taps = static_cast<V*>(buf);
    if (!stream_result(n)) {
        smooth_all<V, Len>(s, 0, taps, [&](const double* tile, ix i0, ix i1, ix jt, ix je) {
            place_tile_base(tile, i0, i1, jt, je, n, out);
        });
        return;
    }
    smooth_all<V, Len>(s, to_line(out), taps, [&](const double* tile, ix i0, ix i1, ix jt, ix je) {
        place_stream(tile, i0, i1, jt, je, n, out);
    });
    _mm_sfence();
}

template <ix Len>
__attribute__((target("avx2"))) void smooth_avx2(const Smoother& s, double* out, void* buf) {
    smooth_placed<v4, Len>(s, out, buf, place_tile_stream);
}

template <ix Len>
__attribute__((target("avx512f"))) void smooth_avx512(const Smoother& s, double* out, void* buf) {
    smooth_placed<v8, Len>(s, out, buf, place_tile_stream512);
}
#endif

// The loop for window length Len (0: any), on the best instruction set there is.
template <ix Len>
void smooth_len(const Smoother& s, double* out, void* buf) {
#if UNIT7_SSM_X86
    if (have_avx512()) {
        smooth_avx512<Len>(s, out, buf);
        return;
    }
    if (have_avx2()) {
        smooth_avx2<Len>(s, out, buf);
        return;
    }
#endif
    smooth_base<Len>(s, out, buf);
}

template <ix... Lens>
void smooth_dispatch(const Smoother& s, double* out, void* buf, std::integer_sequence<ix, Lens...>) {
    if (!((s.len == Lens + 1 ? (smooth_len<Lens + 1>(s, out, buf), true) : false) || ...))
        smooth_len<0>(s, out, buf);
}

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

// The strips' taps for a window of any length up to twice the matrix and a bit: len + 7 vectors of
// up to eight. Longer windows go an entry at a time.
ix smoothing_scratch(ix n, ix win_len) { return win_len <= 2 * n + 64 ? (win_len + 8) * 8 : 0; }

void diagonal_smoothing(const double* m, ix ms0, ix ms1, ix n, ix win_len, double* buf, double* out) {
    const ix fb = (win_len - 1) / 2;
    const Smoother s = {m, ms0, ms1, n, win_len, win_len - 1 - fb, fb, 1.0 / static_cast<double>(win_len)};
    smooth_dispatch(s, out, buf, std::make_integer_sequence<ix, kFixedLens>{});
}

}  // namespace unit7::loops
