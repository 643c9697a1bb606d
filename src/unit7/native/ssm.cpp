// ssm.cpp: the native loops of thresh_and_scale, make_lag_matrix, diagonal_smoothing and column_derivative.
//
// Each loop computes what its numpy path computes, straight from the input's memory and without the
// numpy path's temporaries:
//   thresh_and_scale    out = (m - tau) / (1 - tau), then 0 where out < 0: one pass instead of four;
//   make_lag_matrix     out[r, c] = s[(r + c) mod N, c]: no roll per column;
//   diagonal_smoothing  out[i, j] = out[j, i] = (1 / win_len) * sum over d of m[i + d, j + d], i >= j,
//                       d = fb + 1 - win_len .. fb, fb = (win_len - 1) // 2, the terms outside the
//                       matrix left out, which is what the full convolution of each diagonal with the
//                       window of 1 / win_len entries, sliced at fb, gives: no window, no index vectors,
//                       and each entry written once;
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

// diagonal_smoothing goes in square tiles of kSmoothTile entries a side. Its scratch, in doubles,
// holds two of them, each row with 12 entries to spare, and a cache line to align them.
constexpr std::ptrdiff_t kSmoothTile = 128;
constexpr std::ptrdiff_t kSmoothWork = 2 * kSmoothTile * (kSmoothTile + 12) + 8;

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

bool have_avx2_fma() {
#if UNIT7_SSM_X86
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
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

// The window along the diagonals: taps d = -before .. fb, each of weight w, the terms outside the
// matrix left out.
struct Smoother {
    const double* m;
    ix ms0, ms1, n, before, fb;
    double w;
};

// The lower triangle goes in square tiles of kTile x kTile entries (fewer at the edges), between the
// same boundaries for rows and columns: 0, the first cache-line boundary of out, then every kTile.
// A tile is computed into a scratch tile, then written to its place and, mirrored, above the main
// diagonal, so that each row segment it writes starts on a line boundary when the rows of out are
// whole lines long. A row of tiles reads kTile + win_len - 1 rows of m, from left to right.
constexpr ix kTile = kSmoothTile;
// A row of a scratch tile: four entries before it and eight after it, written by smooth_block4.
constexpr ix kStride = kTile + 12;
static_assert(kTile % 8 == 0 && kSmoothWork == 2 * kTile * kStride + 8, "two tiles of whole lines, aligned");

UNIT7_SSM_INLINE ix tile_end(ix b, ix n, ix line) { return std::min(n, b == 0 && line > 0 ? line : b + kTile); }

// Entry (i, j), i >= j, with the window cut at column 0 when lo > -before: two sums, of the taps of
// either parity, for twice the additions in flight. The sums start at 0.0, as numpy's do, so that a
// window of negative zeros gives a positive zero.
UNIT7_SSM_INLINE double smooth_one(const Smoother& s, ix i, ix j, ix lo, ix hi) {
    const double* p = s.m + (i + lo) * s.ms0 + (j + lo) * s.ms1;
    const ix step = s.ms0 + s.ms1;
    double even = 0.0, odd = 0.0;
    ix d = lo;
    for (; d < hi; d += 2, p += 2 * step) {
        even += p[0];
        odd += p[step];
    }
    if (d == hi) even += p[0];
    return (even + odd) * s.w;
}

// Entries (i, j .. j + 4V - 1) of m with contiguous rows, none cut at column 0: the window's taps
// are added as whole shifted row segments, V vectors at a time.
template <int V>
UNIT7_SSM_INLINE void smooth_vectors(const Smoother& s, ix i, ix j, ix hi, double* o) {
    v4 acc[V];
    for (int v = 0; v < V; ++v) acc[v] = v4{};
    const double* p = s.m + (i - s.before) * s.ms0 + j - s.before;
    for (ix d = -s.before; d <= hi; ++d, p += s.ms0 + 1)
        for (int v = 0; v < V; ++v) {
            v4 x;
            load(x, p + v * kLanes);
            acc[v] += x;
        }
    const v4 w = {s.w, s.w, s.w, s.w};
    for (int v = 0; v < V; ++v) store(o + j + v * kLanes, acc[v] * w);
}

// Entries (i, j0 .. end - 1), end <= i + 1, to o[j0 .. end - 1].
template <bool Rows>
UNIT7_SSM_INLINE void smooth_row(const Smoother& window, ix i, ix j0, ix end, double* o) {
    const Smoother s = window;  // a copy, which the stores below cannot change
    const ix hi = std::min(s.fb, s.n - 1 - i);  // the window's end, cut by the bottom of the matrix
    ix j = j0;
    for (; j < std::min(s.before, end); ++j) o[j] = smooth_one(s, i, j, -j, hi);
    if (Rows) {
        for (; j + 8 * kLanes <= end; j += 8 * kLanes) smooth_vectors<8>(s, i, j, hi, o);
        for (; j + 2 * kLanes <= end; j += 2 * kLanes) smooth_vectors<2>(s, i, j, hi, o);
        for (; j + kLanes <= end; j += kLanes) smooth_vectors<1>(s, i, j, hi, o);
    }
    for (; j < end; ++j) o[j] = smooth_one(s, i, j, -s.before, hi);
}

// A tile: rows i0 .. i1 - 1 and columns j0 .. j1 - 1 of the lower triangle, entry (i, j) at
// row(i)[j - j0] (for j <= i only in a tile on the main diagonal, where j0 == i0).
struct Tile {
    double* at;
    ix i0, i1, j0, j1;
    bool diagonal() const { return j0 == i0; }
    double* row(ix i) const { return at + 4 + (i - i0) * kStride; }
};

// The lines of m that a tile reads, fetched into the second-level cache while the tile before it is
// computed: after its row k, rows k and, for k < win_len - 1, k + the rows of the tile (counting
// from the first row it reads). So the lines arrive in time, without a burst of fetches that would
// hold up the sums.
struct Fetch {
    const double* first;  // the first line of the first row the tile reads
    ix row0, rows, extra, lines, ms0, line;
    Fetch(const Smoother& s, ix i0, ix i1, ix j0, ix j1) {
        const ix c0 = std::max<ix>(0, j0 - s.before), c1 = std::min(s.n, j1 + s.fb + 8);
        row0 = i0 - s.before;
        rows = i1 - i0;
        extra = s.before + s.fb;
        lines = (c1 - c0 + 7) / 8;
        ms0 = s.ms0;
        line = 8 * s.ms1;
        first = s.m + c0 * s.ms1;
        end = s.n;
    }
    UNIT7_SSM_INLINE void row(ix r) const {
        if (r < 0 || r >= end) return;
        const double* p = first + r * ms0;
        ix k = 0;
        for (; k + 4 <= lines; k += 4, p += 4 * line) {
            __builtin_prefetch(p, 0, 2);
            __builtin_prefetch(p + line, 0, 2);
            __builtin_prefetch(p + 2 * line, 0, 2);
            __builtin_prefetch(p + 3 * line, 0, 2);
        }
        for (; k < lines; ++k, p += line) __builtin_prefetch(p, 0, 2);
    }
    UNIT7_SSM_INLINE void after(ix k) const {
        row(row0 + k);
        if (k < extra) row(row0 + rows + k);
    }

private:
    ix end;
};

// Every tile, computed by rows(t, i), which computes its rows i .. r - 1 for some r > i and
// returns r, with after(t, i) after each row i, and then handed to done(t). Tiles use the two halves
// of `work` (kSmoothWork doubles, 64-byte aligned) in turn.
template <class Rows, class After, class Done>
UNIT7_SSM_INLINE void smooth_tiles(const Smoother& s, ix line, double* work, Rows rows, After after, Done done) {
    ix half = 0;
    for (ix i0 = 0, i1; i0 < s.n; i0 = i1) {
        i1 = tile_end(i0, s.n, line);
        for (ix j0 = 0, j1; j0 < i1; j0 = j1) {
            j1 = tile_end(j0, s.n, line);
            const Tile t = {work + half, i0, i1, j0, j1};
            half ^= kTile * kStride;
            // The next tile: to the right, or the first of the next row of tiles.
            const bool right = j1 < i1;
            const Fetch next(s, right ? i0 : i1, right ? i1 : tile_end(i1, s.n, line), right ? j1 : 0,
                             right ? tile_end(j1, s.n, line) : tile_end(0, s.n, line));
            for (ix i = i0; i < i1;)
                for (const ix end = rows(t, i); i < end; ++i) {
                    next.after(i - i0);
                    after(t, i);
                }
            done(t);
        }
    }
}

// The mirror of a tile on the main diagonal, within its square.
UNIT7_SSM_INLINE void fill_upper(const Tile& t) {
    for (ix i = t.i0; i < t.i1; ++i)
        for (ix j = i + 1; j < t.i1; ++j) t.row(i)[j - t.j0] = t.row(j)[i - t.j0];
}

// The tile to out[i, j] and out[j, i]; a tile on the main diagonal fills its square.
void place_tile_base(const Tile& t, ix n, double* out) {
    if (t.diagonal()) fill_upper(t);
    for (ix i = t.i0; i < t.i1; ++i)
        std::memcpy(out + i * n + t.j0, t.row(i), sizeof(double) * ((t.diagonal() ? t.i1 : t.j1) - t.j0));
    if (t.diagonal()) return;
    for (ix j = t.j0; j < t.j1; ++j)
        for (ix i = t.i0; i < t.i1; ++i) out[j * n + i] = t.row(i)[j - t.j0];
}

// The tile's row i.
template <bool Rows>
UNIT7_SSM_INLINE ix smooth_tile_row(const Smoother& s, const Tile& t, ix i) {
    smooth_row<Rows>(s, i, t.j0, std::min(t.j1, i + 1), t.row(i) - t.j0);
    return i + 1;
}

void smooth_base(const Smoother& s, double* work, double* out) {
    const auto after = [](const Tile&, ix) {};
    const auto done = [&](const Tile& t) { place_tile_base(t, s.n, out); };
    const auto rows = [&](const Tile& t, ix i) { return smooth_tile_row<true>(s, t, i); };
    const auto strided_rows = [&](const Tile& t, ix i) { return smooth_tile_row<false>(s, t, i); };
    if (s.ms1 == 1)
        smooth_tiles(s, to_line(out), work, rows, after, done);
    else
        smooth_tiles(s, to_line(out), work, strided_rows, after, done);
}

#if UNIT7_SSM_X86
// The smoothing loops need fused multiply-adds beside AVX2 (see smooth_block4).
#define UNIT7_SMOOTH_AVX2 __attribute__((target("avx2,fma")))

UNIT7_SSM_INLINE bool aligned32(const double* q) { return (reinterpret_cast<std::uintptr_t>(q) & 31) == 0; }

// len entries from src to dst, past the cache when streaming and dst is aligned.
template <bool Stream>
UNIT7_SMOOTH_AVX2 UNIT7_SSM_INLINE void put_row(double* dst, const double* src, ix len) {
    ix k = 0;
    if (Stream && aligned32(dst)) {
        for (; k + 2 * kLanes <= len; k += 2 * kLanes) {
            _mm256_stream_pd(dst + k, _mm256_loadu_pd(src + k));
            _mm256_stream_pd(dst + k + kLanes, _mm256_loadu_pd(src + k + kLanes));
        }
        for (; k + kLanes <= len; k += kLanes) _mm256_stream_pd(dst + k, _mm256_loadu_pd(src + k));
    } else
        for (; k + kLanes <= len; k += kLanes) _mm256_storeu_pd(dst + k, _mm256_loadu_pd(src + k));
    for (; k < len; ++k) dst[k] = src[k];
}

// A 4 x 4 transpose from the rows p, p + ps, p + 2 ps, p + 3 ps to q, q + n, q + 2 n, q + 3 n.
template <bool Stream>
UNIT7_SMOOTH_AVX2 inline void put_transposed(const double* p, ix ps, double* q, ix n) {
    // Halves of rows 0 and 2 together, and of rows 1 and 3: then each column is one unpack away.
    const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p)), _mm_load_pd(p + 2 * ps), 1);
    const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p + ps)), _mm_load_pd(p + 3 * ps), 1);
    const __m256d c = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p + 2)), _mm_load_pd(p + 2 * ps + 2), 1);
    const __m256d d = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(p + ps + 2)), _mm_load_pd(p + 3 * ps + 2), 1);
    const __m256d col[4] = {_mm256_unpacklo_pd(a, b), _mm256_unpackhi_pd(a, b), _mm256_unpacklo_pd(c, d),
                            _mm256_unpackhi_pd(c, d)};
    for (int k = 0; k < 4; ++k) {
        if (Stream)
            _mm256_stream_pd(q + k * n, col[k]);
        else
            _mm256_storeu_pd(q + k * n, col[k]);
    }
}

// What is left to write of a computed tile, in groups of four rows of out: for a tile below the
// main diagonal its mirror, columns 4g .. 4g + 3 of the tile to rows j0 + 4g .. of out, in 4 x 4
// transposes; for a tile on it (made whole by fill_upper), rows i0 + 4g .. of its square.
struct Rest {
    Tile t;
    ix next, groups;
};

template <bool Stream>
UNIT7_SMOOTH_AVX2 void put_group(const Tile& tile, ix g, ix n, double* out) {
    const Tile t = tile;  // a copy, which the stores below cannot change
    const ix rows = t.i1 - t.i0, c = g * kLanes;
    if (t.diagonal()) {
        for (ix r = c; r < std::min(rows, c + kLanes); ++r) put_row<Stream>(out + (t.i0 + r) * n + t.i0, t.row(t.i0 + r), rows);
        return;
    }
    double* q = out + (t.j0 + c) * n + t.i0;
    if (c + kLanes > t.j1 - t.j0) {
        for (ix k = c; k < t.j1 - t.j0; ++k)
            for (ix r = 0; r < rows; ++r) out[(t.j0 + k) * n + t.i0 + r] = t.row(t.i0 + r)[k];
        return;
    }
    ix r = 0;
    const double* p = t.row(t.i0) + c;
    if (Stream && aligned32(q) && n % kLanes == 0)  // then so are q + r + k n for r a multiple of 4
        for (; r + kLanes <= rows; r += kLanes) put_transposed<true>(p + r * kStride, kStride, q + r, n);
    else
        for (; r + kLanes <= rows; r += kLanes) put_transposed<false>(p + r * kStride, kStride, q + r, n);
    for (; r < rows; ++r)
        for (ix k = 0; k < kLanes; ++k) q[k * n + r] = t.row(t.i0 + r)[c + k];
}

// Rows i .. i + 3 of tile t over the columns ca .. cb - 1 (before + 3 <= ca, cb + 2 <= i, i + 3 + fb
// < n, win_len >= 4, m with contiguous rows), and a few entries on either side. Entry (i + k, c + k)
// is the sum of the taps e = k - before .. k + fb of m[i + e, c + e]: the four rows share the taps
// e = 3 - before .. fb, and the rows on either side of them the taps beyond, so that a segment of a
// diagonal of m is loaded once for four entries. Each entry is still the sum of its own terms only.
// fma(sum, w, +0.0) rounds as sum * w does, and gives a positive zero for a sum of negative zeros,
// as numpy's sums from 0.0 do.
template <int Shared>  // the number of shared taps, win_len - 3, when known here; else 0
UNIT7_SMOOTH_AVX2 void smooth_block4(const Smoother& window, const Tile& tile, ix i, ix ca, ix cb) {
    const Smoother s = window;  // copies, which the stores below cannot change
    const Tile t = tile;
    const ix step = s.ms0 + 1, shared = Shared > 0 ? Shared : s.before + s.fb - 2;
    const __m256d w = _mm256_set1_pd(s.w), zero = _mm256_setzero_pd();
    double* o0 = t.row(i) - t.j0;
    double* o1 = t.row(i + 1) - t.j0 + 1;
    double* o2 = t.row(i + 2) - t.j0 + 2;
    double* o3 = t.row(i + 3) - t.j0 + 3;
    const double* first = s.m + (i - s.before) * s.ms0 - s.before;  // tap e = -before of column 0
    for (ix c = ca - 3; c < cb; c += kLanes) {
        // The taps e = -before .. fb + 3 in order, one diagonal step apart.
        const double* q = first + c;
        const __m256d x0 = _mm256_loadu_pd(q);
        const __m256d x1 = _mm256_loadu_pd(q += step);
        const __m256d l2 = _mm256_loadu_pd(q += step);
        __m256d common = _mm256_loadu_pd(q += step);
        for (ix e = 1; e < shared; ++e) common = _mm256_add_pd(common, _mm256_loadu_pd(q += step));
        const __m256d l1 = _mm256_add_pd(x1, l2);
        const __m256d l0 = _mm256_add_pd(x0, l1);
        const __m256d r1 = _mm256_loadu_pd(q += step);
        const __m256d r2 = _mm256_add_pd(r1, _mm256_loadu_pd(q += step));
        const __m256d r3 = _mm256_add_pd(r2, _mm256_loadu_pd(q += step));
        _mm256_storeu_pd(o0 + c, _mm256_fmadd_pd(_mm256_add_pd(common, l0), w, zero));
        _mm256_storeu_pd(o1 + c, _mm256_fmadd_pd(_mm256_add_pd(_mm256_add_pd(common, l1), r1), w, zero));
        _mm256_storeu_pd(o2 + c, _mm256_fmadd_pd(_mm256_add_pd(_mm256_add_pd(common, l2), r2), w, zero));
        _mm256_storeu_pd(o3 + c, _mm256_fmadd_pd(_mm256_add_pd(common, r3), w, zero));
    }
}

// Rows of tile t from i on: four at once where smooth_block4 applies, the entries it leaves out a row
// at a time.
template <bool Rows>
UNIT7_SMOOTH_AVX2 inline ix smooth_tile_rows(const Smoother& s, const Tile& t, ix i) {
    const ix ca = std::max(t.j0, s.before + 3), cb = std::min(t.j1, i - 2);
    if (!Rows || s.before + s.fb < 3 || i + 4 > t.i1 || i + 3 + s.fb >= s.n || cb - ca < kLanes)
        return smooth_tile_row<Rows>(s, t, i);
    switch (s.before + s.fb - 2) {
#define UNIT7_SMOOTH_SHARED(k) \
    case k:                    \
        smooth_block4<k>(s, t, i, ca, cb); \
        break;
        UNIT7_SMOOTH_SHARED(1) UNIT7_SMOOTH_SHARED(2) UNIT7_SMOOTH_SHARED(3) UNIT7_SMOOTH_SHARED(4)
        UNIT7_SMOOTH_SHARED(5) UNIT7_SMOOTH_SHARED(6) UNIT7_SMOOTH_SHARED(7) UNIT7_SMOOTH_SHARED(8)
        UNIT7_SMOOTH_SHARED(9) UNIT7_SMOOTH_SHARED(10) UNIT7_SMOOTH_SHARED(11) UNIT7_SMOOTH_SHARED(12)
        UNIT7_SMOOTH_SHARED(13)
#undef UNIT7_SMOOTH_SHARED
        default:
            smooth_block4<0>(s, t, i, ca, cb);
    }
    for (ix r = i; r < i + 4; ++r) {
        const ix end = std::min(t.j1, r + 1);
        if (t.j0 < ca) smooth_row<true>(s, r, t.j0, ca, t.row(r) - t.j0);
        if (cb < end) smooth_row<true>(s, r, cb, end, t.row(r) - t.j0);
    }
    return i + 4;
}

// Each row of a tile below the main diagonal goes out as soon as it is computed; the rest of the
// tile goes out while the next tile is computed, a share of it after each of its rows, so that
// the stores to memory run alongside the sums instead of in bursts between them.
template <bool Rows, bool Stream>
UNIT7_SMOOTH_AVX2 void smooth_interleaved(const Smoother& s, double* work, double* out) {
    const ix n = s.n;
    Rest rest = {{}, 0, 0};
    const auto after = [&](const Tile& t, ix i) UNIT7_SMOOTH_AVX2 {
        if (!t.diagonal()) put_row<Stream>(out + i * n + t.j0, t.row(i), t.j1 - t.j0);
        const ix rows = t.i1 - t.i0, r = i - t.i0 + 1;
        while (rest.next < rest.groups && rest.next * rows < r * rest.groups) put_group<Stream>(rest.t, rest.next++, n, out);
    };
    const auto done = [&](const Tile& t) UNIT7_SMOOTH_AVX2 {
        while (rest.next < rest.groups) put_group<Stream>(rest.t, rest.next++, n, out);
        if (t.diagonal()) fill_upper(t);
        const ix span = t.diagonal() ? t.i1 - t.i0 : t.j1 - t.j0;
        rest = {t, 0, (span + kLanes - 1) / kLanes};
    };
    const auto rows = [&](const Tile& t, ix i) UNIT7_SMOOTH_AVX2 { return smooth_tile_rows<Rows>(s, t, i); };
    smooth_tiles(s, to_line(out), work, rows, after, done);
    while (rest.next < rest.groups) put_group<Stream>(rest.t, rest.next++, n, out);
    if (Stream) _mm_sfence();
}

UNIT7_SMOOTH_AVX2 void smooth_avx2(const Smoother& s, double* work, double* out) {
    const bool stream = s.n * s.n * static_cast<ix>(sizeof(double)) >= kStreamBytes;
    if (s.ms1 == 1)
        stream ? smooth_interleaved<true, true>(s, work, out) : smooth_interleaved<true, false>(s, work, out);
    else
        stream ? smooth_interleaved<false, true>(s, work, out) : smooth_interleaved<false, false>(s, work, out);
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

void diagonal_smoothing(const double* m, ix ms0, ix ms1, ix n, ix win_len, double w, double* work, double* out) {
    const ix fb = (win_len - 1) / 2;
    const Smoother s = {m, ms0, ms1, n, win_len - 1 - fb, fb, w};
    work += to_line(work);
#if UNIT7_SSM_X86
    if (have_avx2_fma()) {
        smooth_avx2(s, work, out);
        return;
    }
#endif
    smooth_base(s, work, out);
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

namespace {

// The diagonal_smoothing inputs the native loop takes, and the window length: a float64 matrix with
// at least as many columns as rows (with fewer, the numpy path raises on the first diagonal) and an
// exact int window length of at least 1; when `short_window`, of at most twice the rows and a bit.
bool smoothing_inputs(PyObject* m, PyObject* win_len, bool short_window, View& x, long long* len) {
    if (!x.acquire(m, 2)) return false;
    const long long n = x.shape(0);
    const long long max_len = short_window ? 2 * n + 64 : PY_SSIZE_T_MAX / 8;
    return n > 0 && x.shape(1) >= n && int_in(win_len, 1, max_len, len);
}

// The loop into o: every entry of it, with the window 1 / len in each entry (np.ones(len) divided by
// its sum, in double).
bool smooth_into(const View& x, long long len, const View& o) {
    const Py_ssize_t n = x.shape(0);
    Scratch work = scratch(detail::kSmoothWork);
    if (!work) return false;
    FpWatch w;
    run_loop(n * n, [&] {
        detail::diagonal_smoothing(x.data(), x.stride(0), x.stride(1), n, len, 1.0 / static_cast<double>(len),
                                   work.get(), o.data());
    });
    return w.clean();
}

}  // namespace

bool try_diagonal_smoothing(PyObject* m, PyObject* win_len, PyObject* n, Ref& result) {
    // With these inputs statements 2 to 4 can raise nothing but MemoryError, so the loop may begin
    // at once, with np.empty for np.zeros since it writes every entry. The window is left to the
    // numpy path when it is longer than twice the matrix (a window that long covers every diagonal
    // whole): then its allocation, as large as the caller asked, comes first, as always.
    if (!numpy_untouched({N.zeros, N.ones, N.sum, N.arange, N.convolve, N.empty})) return false;
    View x, o;
    long long len;
    if (!smoothing_inputs(m, win_len, true, x, &len)) return false;
    Ref out;
    try {
        Ref np = global(N.np);
        Ref empty = attr(np, N.empty);
        Ref side = tuple({n, n});
        out = call(empty, {side});
    } catch (const Raised&) {
        PyErr_Clear();
        return false;
    }
    if (!acquire_contiguous(o, out, 1) || !smooth_into(x, len, o)) return false;
    result = out;
    return true;
}

bool try_smooth_diagonals(PyObject* m, PyObject* win_len, PyObject* out) {
    if (!numpy_untouched({N.zeros, N.ones, N.sum, N.arange, N.convolve})) return false;
    View x, o;
    long long len;
    if (!smoothing_inputs(m, win_len, false, x, &len) || !acquire_contiguous(o, out, 1)) return false;
    return o.shape(0) == x.shape(0) && o.shape(1) == x.shape(0) && smooth_into(x, len, o);
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
