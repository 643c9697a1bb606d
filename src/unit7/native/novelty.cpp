// novelty.cpp: the native loop of diagonal_slide, which reads the matrix in place, without a padded copy.
//
// out[n] = sum over r, c < L of kernel[r, c] * S(n - h + r, n - h + c), h = L // 2, with S the matrix
// and 0 outside it. The loop visits only the cells of each window that lie inside the matrix: the
// numpy path multiplies the others by its zero border, which adds nothing and raises nothing as long
// as every kernel value is finite. The loop also finds the largest |S| it reads, so that the wrapper
// can tell whether reordering the sums could have changed anything but their rounding.
//
// Two shortcuts hold only while no product of a nonzero kernel value and a nonzero cell of the band
// can fall below DBL_MIN, so that the underflow flag, which numpy's separate multiply raises for
// such a product, cannot be missed (the loop keeps the smallest nonzero |S| of the rows it has
// scanned, and the kernel fixes the floor it must stay above; adding doubles raises no underflow,
// since a sum that small is exact):
// - fused multiply-adds, where the processor has them: they raise invalid for inf * 0 as the
//   separate multiply does, and overflow is ruled out afterwards by the bound on |S|; the rare flag
//   a fused operation raises where numpy's would not just sends the call to the numpy path;
// - when the kernel is symmetric and so is the band (S[i, j] and S[j, i] the same bits for
//   0 < i - j < L, checked as the rows are scanned), every window is symmetric too, cut or not, and
//   its sum is that of its lower triangle with the cells below the diagonal counted twice: half the
//   products. The kernel's lower triangle is folded that way into a second copy.
// From the first window where a product could underflow on, the loop takes separate products and
// the whole kernel, as numpy does.
#include "native/paths.hpp"

#include "frame/ops.hpp"
#include "native/guard.hpp"

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace unit7::native {

namespace detail {

// Zero columns on either side of each kernel row in the loop's copies of the kernel.
constexpr std::ptrdiff_t kKernelPad = 4;

// What the loop needs to know of the kernel: its largest magnitude (NaN when it holds a NaN), its
// smallest nonzero magnitude as bits (above infinity when every value is zero), and whether it is
// symmetric bit for bit.
struct KernelFacts {
    double max;
    long long low;
    bool symmetric;
};

namespace {

#define UNIT7_INLINE inline __attribute__((always_inline))

// Four doubles, or the bits of four doubles: one AVX2 register, or a pair of SSE2 registers.
// Passed by reference only, so that no function signature depends on the instruction set.
typedef double v4 __attribute__((vector_size(32)));
typedef long long bits4 __attribute__((vector_size(32)));
typedef unsigned long long ubits4 __attribute__((vector_size(32)));
constexpr std::ptrdiff_t kLanes = 4;

template <class V>
UNIT7_INLINE void load(V& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
}
UNIT7_INLINE double lane_sum(const v4& v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// Magnitudes are compared as the integers their bits spell (that order is the order of the
// values, infinity above every finite value and NaN above infinity), which raises no
// floating-point flag.
constexpr long long kMagnitude = 0x7fffffffffffffffll;
constexpr long long kInfinity = 0x7ff0000000000000ll;

UNIT7_INLINE long long bits_of(double v) {
    long long b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}
UNIT7_INLINE long long magnitude_bits(double v) { return bits_of(v) & kMagnitude; }
UNIT7_INLINE double from_bits(long long b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}
UNIT7_INLINE long long lane_max(const bits4& v) { return std::max(std::max(v[0], v[1]), std::max(v[2], v[3])); }
UNIT7_INLINE long long lane_min(const bits4& v) { return std::min(std::min(v[0], v[1]), std::min(v[2], v[3])); }

// The magnitudes read so far, as bits, in vectors and in scalars: `top` the largest (a NaN counts:
// it is above infinity), `low` the smallest nonzero one, kept as b + kMagnitude (mod 2^64), which,
// read as a signed integer, keeps the order of the nonzero magnitudes and puts 0 above them all.
struct Extent {
    bits4 top = {}, low = {kMagnitude, kMagnitude, kMagnitude, kMagnitude};
    long long top1 = 0, low1 = kMagnitude;
};

UNIT7_INLINE long long low_key(long long b) {
    return static_cast<long long>(static_cast<unsigned long long>(b) + static_cast<unsigned long long>(kMagnitude));
}
UNIT7_INLINE void note(Extent& e, const bits4& cells) {
    const bits4 b = cells & kMagnitude;
    e.top = b > e.top ? b : e.top;
    const bits4 key = (bits4)((ubits4)b + static_cast<unsigned long long>(kMagnitude));
    e.low = key < e.low ? key : e.low;
}
UNIT7_INLINE void note(Extent& e, double cell) {
    const long long b = magnitude_bits(cell);
    e.top1 = std::max(e.top1, b);
    e.low1 = std::min(e.low1, low_key(b));
}
UNIT7_INLINE void note(Extent& extent, const double* p, std::ptrdiff_t len) {
    Extent e = extent;
    std::ptrdiff_t j = 0;
    for (; j + kLanes <= len; j += kLanes) {
        bits4 b;
        load(b, p + j);
        note(e, b);
    }
    for (; j < len; ++j) note(e, p[j]);
    extent = e;
}
UNIT7_INLINE long long largest(const Extent& e) { return std::max(lane_max(e.top), e.top1); }

// The cells of row i that the windows read: columns j with |i - j| < L.
struct BandRow {
    std::ptrdiff_t j0, j1;
};
UNIT7_INLINE BandRow band_row(std::ptrdiff_t n_len, std::ptrdiff_t k_len, std::ptrdiff_t i) {
    return {std::max<std::ptrdiff_t>(0, i - k_len + 1), std::min(n_len, i + k_len)};
}

// Row i of a band taken for symmetric: its cells left of the diagonal are compared, bit for bit,
// with the cells of column i above it; they and the diagonal cell are noted in e (the cells
// right of the diagonal are those of the column, noted with the rows below). Whether all matched.
UNIT7_INLINE bool scan_mirrored_row(const double* s, std::ptrdiff_t rs, std::ptrdiff_t k_len, std::ptrdiff_t i,
                                    Extent& extent) {
    Extent e = extent;
    const double* row = s + i * rs;
    long long differ = 0;
    for (std::ptrdiff_t j = std::max<std::ptrdiff_t>(0, i - k_len + 1); j < i; ++j) {
        differ |= bits_of(row[j]) ^ bits_of(s[j * rs + i]);
        note(e, row[j]);
    }
    note(e, row[i]);
    extent = e;
    return differ == 0;
}

// The 4 x 4 tile in rows a, b, c, d, transposed in place.
UNIT7_INLINE void transpose(bits4& a, bits4& b, bits4& c, bits4& d) {
    const bits4 ab0 = __builtin_shuffle(a, b, bits4{0, 4, 2, 6}), ab1 = __builtin_shuffle(a, b, bits4{1, 5, 3, 7});
    const bits4 cd0 = __builtin_shuffle(c, d, bits4{0, 4, 2, 6}), cd1 = __builtin_shuffle(c, d, bits4{1, 5, 3, 7});
    a = __builtin_shuffle(ab0, cd0, bits4{0, 1, 4, 5});
    b = __builtin_shuffle(ab1, cd1, bits4{0, 1, 4, 5});
    c = __builtin_shuffle(ab0, cd0, bits4{2, 3, 6, 7});
    d = __builtin_shuffle(ab1, cd1, bits4{2, 3, 6, 7});
}

// scan_mirrored_row for rows i .. i + 3 (all inside the matrix): the columns all four rows read
// left of the diagonal are compared in 4 x 4 tiles with their transposes, the last tile
// overlapping the one before it when the columns do not divide by four.
UNIT7_INLINE bool scan_mirrored_rows4(const double* s, std::ptrdiff_t rs, std::ptrdiff_t k_len, std::ptrdiff_t i,
                                      Extent& extent) {
    Extent e = extent;
    const std::ptrdiff_t shared = std::max<std::ptrdiff_t>(0, i + 3 - k_len + 1);  // rows i + a read shared .. i - 1
    bits4 differ = {};
    std::ptrdiff_t tiled = shared;  // columns shared .. tiled - 1 are compared by tiles
    if (i - shared >= kLanes) {
        const double* rows = s + i * rs;
        for (std::ptrdiff_t j = shared;; j += kLanes) {
            j = std::min(j, i - kLanes);
            const double* cols = s + j * rs + i;
            bits4 r0, r1, r2, r3, c0, c1, c2, c3;
            load(r0, rows + j);
            load(r1, rows + rs + j);
            load(r2, rows + 2 * rs + j);
            load(r3, rows + 3 * rs + j);
            load(c0, cols);
            load(c1, cols + rs);
            load(c2, cols + 2 * rs);
            load(c3, cols + 3 * rs);
            note(e, r0);
            note(e, r1);
            note(e, r2);
            note(e, r3);
            transpose(r0, r1, r2, r3);
            differ |= ((r0 ^ c0) | (r1 ^ c1)) | ((r2 ^ c2) | (r3 ^ c3));
            if (j == i - kLanes) break;
        }
        tiled = i;
    }
    long long rest = 0;
    for (std::ptrdiff_t a = 0; a < 4; ++a) {
        const std::ptrdiff_t r = i + a;
        const double* row = s + r * rs;
        const auto pair = [&](std::ptrdiff_t j) {
            rest |= bits_of(row[j]) ^ bits_of(s[j * rs + r]);
            note(e, row[j]);
        };
        for (std::ptrdiff_t j = std::max<std::ptrdiff_t>(0, r - k_len + 1); j < shared; ++j) pair(j);
        for (std::ptrdiff_t j = tiled; j < r; ++j) pair(j);
        note(e, row[r]);
    }
    extent = e;
    return (rest | differ[0] | differ[1] | differ[2] | differ[3]) == 0;
}

// A lane chains at most about this many products before its sum is folded into the window's
// total, which keeps the rounding error far below 1e-12 of the sum of the |products|.
constexpr std::ptrdiff_t kChain = 1024;

// The products of one window with the kernel rows [r0, r1) and columns [0, len) (with Lower, the
// columns [0, r] of row r), added to *sum: the window's cell (0, 0) is at s (rows rs apart,
// columns contiguous), the kernel's at k (rows kld apart). For the windows the matrix edge cuts.
template <bool Lower>
UNIT7_INLINE void add_window_part(const double* s, std::ptrdiff_t rs, const double* k, std::ptrdiff_t kld,
                                  std::ptrdiff_t r0, std::ptrdiff_t r1, std::ptrdiff_t len, double* sum) {
    v4 acc[4] = {};
    double tail[3] = {};
    const auto mac = [](v4& a, const double* kp, const double* sp) {
        v4 kv, sv;
        load(kv, kp);
        load(sv, sp);
        a += kv * sv;
    };
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
        const double* kr = k + r * kld;
        const double* sr = s + r * rs;
        const std::ptrdiff_t cols = Lower ? r + 1 : len;
        const std::ptrdiff_t vec_end = cols - cols % kLanes;
        std::ptrdiff_t c = 0;
        for (; c + 4 * kLanes <= vec_end; c += 4 * kLanes)
            for (int a = 0; a < 4; ++a) mac(acc[a], kr + c + a * kLanes, sr + c + a * kLanes);
        const std::ptrdiff_t vectors = (vec_end - c) / kLanes;
        if (vectors > 0) mac(acc[0], kr + c, sr + c);
        if (vectors > 1) mac(acc[1], kr + c + kLanes, sr + c + kLanes);
        if (vectors > 2) mac(acc[2], kr + c + 2 * kLanes, sr + c + 2 * kLanes);
        const std::ptrdiff_t cells = cols - vec_end;
        if (cells > 0) tail[0] += kr[vec_end] * sr[vec_end];
        if (cells > 1) tail[1] += kr[vec_end + 1] * sr[vec_end + 1];
        if (cells > 2) tail[2] += kr[vec_end + 2] * sr[vec_end + 2];
    }
    *sum += ((lane_sum(acc[0]) + lane_sum(acc[1])) + (lane_sum(acc[2]) + lane_sum(acc[3]))) +
            ((tail[0] + tail[1]) + tail[2]);
}

// acc[m] += kernel vector at k times the matrix vector at s + m * wstep, for the M windows.
template <int M, bool Masked>
UNIT7_INLINE void mac_vector(v4* acc, const double* s, std::ptrdiff_t wstep, const double* k, const bits4& keep) {
    v4 kv;
    load(kv, k);
    for (int m = 0; m < M; ++m) {
        v4 sv;
        load(sv, s + m * wstep);
        if (Masked) sv = (v4)((bits4)sv & keep);
        acc[m] += kv * sv;
    }
}

// Band lines asked for per kernel row of a block of windows: a little more than the work needs.
constexpr int kLinesPerRow = 3;

// Asks the caches for the band of the matrix (the cells |i - j| < L of each row, row by row) a few
// lines at a time, so that the requests spread over the work instead of coming in bursts.
struct BandFetch {
    const double* s;
    std::ptrdiff_t rs, n_len, k_len;
    std::ptrdiff_t until = 0;  // rows before this one are wanted
    std::ptrdiff_t row = 0;    // the next row to ask for
    std::uintptr_t line = 0, end = 0;  // the next line of the row being asked for, and the end of its band

    UNIT7_INLINE void some(int lines) {
        for (; lines > 0; --lines) {
            if (line >= end) {
                if (row >= until) return;
                const BandRow b = band_row(n_len, k_len, row);
                const double* p = s + row * rs;
                line = reinterpret_cast<std::uintptr_t>(p + b.j0) & ~std::uintptr_t{63};
                end = reinterpret_cast<std::uintptr_t>(p + b.j1);
                ++row;
            }
            __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 2);
            line += 64;
        }
    }
};

// Lanes kept by the masks of a row's first and last vectors, by the lane of the first and last
// cell.
alignas(32) constexpr long long kFrom[4][4] = {{-1, -1, -1, -1}, {0, -1, -1, -1}, {0, 0, -1, -1}, {0, 0, 0, -1}};
alignas(32) constexpr long long kUpTo[4][4] = {{-1, 0, 0, 0}, {-1, -1, 0, 0}, {-1, -1, -1, 0}, {-1, -1, -1, -1}};

// The loops over whole windows: M windows, window m with its cell (0, 0) at s + m * wstep (rows rs
// apart, columns contiguous), the kernel at k (rows kld apart, with kKernelPad zero columns on
// either side). wstep is a multiple of four, so the M windows share the alignment of their rows
// and each kernel load serves all of them. A row is read in aligned vectors of four cells; the
// cells of a vector that lie outside the window (at most three on either side, still inside the
// matrix) are masked to +0.0, whatever they hold, and meet the kernel's zero columns. With Lower,
// row r stops at its diagonal cell (column r), and the cells right of it are masked too.

// The lane of p in the aligned vector that holds it.
UNIT7_INLINE std::ptrdiff_t lane_of(const double* p) {
    return static_cast<std::ptrdiff_t>(reinterpret_cast<std::uintptr_t>(p) / sizeof(double) % kLanes);
}

// Kernel row r of the M windows.
template <int M, bool Lower>
UNIT7_INLINE void mac_row(v4* acc, const double* s, std::ptrdiff_t rs, std::ptrdiff_t wstep, const double* k,
                          std::ptrdiff_t kld, std::ptrdiff_t r, std::ptrdiff_t len) {
    const std::ptrdiff_t cols = Lower ? r + 1 : len;
    const double* row = s + r * rs;
    const std::ptrdiff_t q = lane_of(row);
    const double* sv = row - q;
    const double* kv = k + r * kld - q;
    const std::ptrdiff_t last = (q + cols - 1) / kLanes;  // the row's last vector
    bits4 head, tail;
    std::memcpy(&head, kFrom[q], sizeof head);
    std::memcpy(&tail, kUpTo[(q + cols - 1) % kLanes], sizeof tail);
    if (last == 0) {
        mac_vector<M, true>(acc, sv, wstep, kv, head & tail);
        return;
    }
    mac_vector<M, true>(acc, sv, wstep, kv, head);
    for (std::ptrdiff_t v = 1; v < last; ++v) mac_vector<M, false>(acc, sv + v * kLanes, wstep, kv + v * kLanes, head);
    mac_vector<M, true>(acc, sv + last * kLanes, wstep, kv + last * kLanes, tail);
}

// For the matrix vectors X_u at s + u * wstep, u = 0 .. M: acc[u] += ka * X_u (u < M, with A) and
// acc[u - 1] += kb * X_u (u > 0, with B), each X_u masked by keep_a or keep_b where asked.
template <int M, bool A, bool MaskA, bool B, bool MaskB>
UNIT7_INLINE void mac_pair(v4* acc, const double* s, std::ptrdiff_t wstep, const double* ka, const double* kb,
                           const bits4& keep_a, const bits4& keep_b) {
    v4 kva = {}, kvb = {};
    if (A) load(kva, ka);
    if (B) load(kvb, kb);
    for (int u = A ? 0 : 1; u <= (B ? M : M - 1); ++u) {
        v4 x;
        load(x, s + u * wstep);
        asm("" : "+x"(x));  // one load for both products, which the compiler would otherwise fold into each
        if (A && u < M) acc[u] += kva * (MaskA ? (v4)((bits4)x & keep_a) : x);
        if (B && u > 0) acc[u - 1] += kvb * (MaskB ? (v4)((bits4)x & keep_b) : x);
    }
}

// Kernel rows r and r + 4 of the M windows. Window m + 1 lies four rows and four columns past
// window m, so its row r holds, one vector further on, the cells of window m's row r + 4 (with
// the same alignment): each matrix vector loaded for row r serves row r + 4 too, which saves
// loads, the bound of the single-row loop. The first vector of row r + 4 is taken on its own.
template <int M, bool Lower>
UNIT7_INLINE void mac_row_pair(v4* acc, const double* s, std::ptrdiff_t rs, std::ptrdiff_t wstep, const double* k,
                               std::ptrdiff_t kld, std::ptrdiff_t r, std::ptrdiff_t len) {
    const double* row = s + r * rs;
    const std::ptrdiff_t q = lane_of(row);
    const double* sv = row - q;
    const double* ka = k + r * kld - q;
    const double* kb = k + (r + 4) * kld - q;
    const std::ptrdiff_t cols = Lower ? r + 1 : len;  // row r + 4 has four more with Lower, as many without
    const std::ptrdiff_t last = (q + cols - 1) / kLanes;  // row r's last vector
    bits4 head, tail;
    std::memcpy(&head, kFrom[q], sizeof head);
    std::memcpy(&tail, kUpTo[(q + cols - 1) % kLanes], sizeof tail);  // the same lanes for both rows
    mac_vector<M, true>(acc, s + (r + 4) * rs - q, wstep, kb, head);
    if (Lower) {
        // Row r + 4 ends one vector after row r.
        if (last == 0) {
            mac_pair<M, true, true, true, true>(acc, sv, wstep, ka, kb + kLanes, head & tail, tail);
            return;
        }
        mac_pair<M, true, true, true, false>(acc, sv, wstep, ka, kb + kLanes, head, head);
        for (std::ptrdiff_t v = 1; v < last; ++v)
            mac_pair<M, true, false, true, false>(acc, sv + v * kLanes, wstep, ka + v * kLanes, kb + (v + 1) * kLanes,
                                                  head, head);
        mac_pair<M, true, true, true, true>(acc, sv + last * kLanes, wstep, ka + last * kLanes,
                                            kb + (last + 1) * kLanes, tail, tail);
        return;
    }
    // Both rows end on the same vector; the caller ensures last >= 2.
    mac_pair<M, true, true, true, false>(acc, sv, wstep, ka, kb + kLanes, head, head);
    for (std::ptrdiff_t v = 1; v < last - 1; ++v)
        mac_pair<M, true, false, true, false>(acc, sv + v * kLanes, wstep, ka + v * kLanes, kb + (v + 1) * kLanes,
                                              head, head);
    mac_pair<M, true, false, true, true>(acc, sv + (last - 1) * kLanes, wstep, ka + (last - 1) * kLanes,
                                         kb + last * kLanes, tail, tail);
    mac_vector<M, true>(acc, sv + last * kLanes, wstep, ka + last * kLanes, tail);
}

// The products of M whole windows of side len with the kernel rows [r0, r1), added to sums[0 .. M):
// with Wide (AVX registers), rows in pairs (r, r + 4) eight at a time, the rest one by one. Each
// row also passes a few band lines to `fetch`.
template <int M, bool Lower, bool Wide>
UNIT7_INLINE void add_aligned_parts(const double* s, std::ptrdiff_t rs, std::ptrdiff_t wstep, const double* k,
                                    std::ptrdiff_t kld, std::ptrdiff_t r0, std::ptrdiff_t r1, std::ptrdiff_t len,
                                    BandFetch& band, double* sums) {
    BandFetch fetch = band;
    v4 acc[M] = {};
    std::ptrdiff_t r = r0;
    if (Wide && (Lower || len >= 9))  // then every row spans at least three vectors
        for (; r + 8 <= r1; r += 8)
            for (std::ptrdiff_t a = 0; a < 4; ++a) {
                fetch.some(2 * kLinesPerRow);
                mac_row_pair<M, Lower>(acc, s, rs, wstep, k, kld, r + a, len);
            }
    for (; r < r1; ++r) {
        fetch.some(kLinesPerRow);
        mac_row<M, Lower>(acc, s, rs, wstep, k, kld, r, len);
    }
    for (int m = 0; m < M; ++m) sums[m] += lane_sum(acc[m]);
    band = fetch;
}

// Whole windows handled together: kBlock windows four frames apart, four such blocks side by side.
constexpr int kBlock = 8;
constexpr std::ptrdiff_t kGroup = 4 * kBlock;
// Matrix rows are asked for up to this many frames before the windows reach them, and scanned
// half way.
constexpr std::ptrdiff_t kAhead = 64;

// Kernel rows per partial sum: a lane then chains at most about kChain products.
UNIT7_INLINE std::ptrdiff_t rows_per_fold(std::ptrdiff_t cols) {
    return std::max<std::ptrdiff_t>(1, kChain / (cols / kLanes + 2));
}
// The same, a multiple of eight when it can be, for the rows taken in pairs.
UNIT7_INLINE std::ptrdiff_t pairs_per_fold(std::ptrdiff_t cols) {
    const std::ptrdiff_t rows = rows_per_fold(cols);
    return rows < 8 ? rows : rows - rows % 8;
}

// A slide over a matrix with contiguous columns: its inputs, and how far it has come. One loop
// may stop and hand it to another that goes on from there.
struct Slide {
    const double* s;
    std::ptrdiff_t rs, n_len;
    const double* k;  // the kernel, kKernelPad zero columns on either side of its rows, kld apart
    const double* t;  // the same for its folded lower triangle; null when the kernel is not symmetric
    std::ptrdiff_t kld, k_len;
    long long floor;  // |S| of at least this (as bits) times any nonzero kernel value cannot underflow
    double* out;
    std::ptrdiff_t os;

    std::ptrdiff_t n = 0;        // the windows before this one are done
    std::ptrdiff_t scanned = 0;  // the band rows before this one are scanned
    BandFetch fetch{s, rs, n_len, k_len};
    Extent extent{};               // of the band rows scanned
    bool mirrored = t != nullptr;  // a symmetric kernel, and the rows scanned mirror their columns
};

// The band turned out not to be symmetric in rows i0 .. i1 - 1: those rows are noted whole, and
// so are the cells right of the diagonal, in columns i0 on, of the rows before (the cells left of
// it, in columns below i0, were found to mirror cells already noted).
UNIT7_INLINE void unmirror(Slide& sl, std::ptrdiff_t i0, std::ptrdiff_t i1) {
    sl.mirrored = false;
    for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, i0 - sl.k_len + 1); i < i1; ++i) {
        const BandRow b = band_row(sl.n_len, sl.k_len, i);
        const std::ptrdiff_t j0 = i < i0 ? i0 : b.j0;
        note(sl.extent, sl.s + i * sl.rs + j0, b.j1 - j0);
    }
}

// The band rows the windows from frame n on (a group of them) will read soon are asked for, and
// those they read next are scanned: their magnitudes, and whether they mirror their columns.
UNIT7_INLINE void look_ahead(Slide& sl, std::ptrdiff_t n) {
    const std::ptrdiff_t reach = n - sl.k_len / 2 + sl.k_len + kGroup;
    sl.fetch.until = std::max(sl.fetch.until, std::min(sl.n_len, reach + kAhead));
    for (const std::ptrdiff_t want = std::min(sl.n_len, reach + kAhead / 2); sl.scanned < want;) {
        const std::ptrdiff_t i = sl.scanned;
        if (!sl.mirrored) {
            const BandRow b = band_row(sl.n_len, sl.k_len, i);
            note(sl.extent, sl.s + i * sl.rs + b.j0, b.j1 - b.j0);
            sl.scanned = i + 1;
            continue;
        }
        const std::ptrdiff_t rows = i + 4 <= sl.n_len ? 4 : 1;
        const bool same = rows == 4 ? scan_mirrored_rows4(sl.s, sl.rs, sl.k_len, i, sl.extent)
                                    : scan_mirrored_row(sl.s, sl.rs, sl.k_len, i, sl.extent);
        if (!same) unmirror(sl, i, i + rows);
        sl.scanned = i + rows;
    }
}

// No product of a nonzero kernel value with a cell scanned so far can underflow.
UNIT7_INLINE bool products_normal(const Slide& sl) {
    const long long key = std::min(lane_min(sl.extent.low), sl.extent.low1);
    return key == kMagnitude ||
           static_cast<unsigned long long>(key) - static_cast<unsigned long long>(kMagnitude) >=
               static_cast<unsigned long long>(sl.floor);
}

// The slide from window sl.n on. Fused stops (and leaves the rest to the loop of separate products)
// at the first window whose products could underflow; it is compiled for processors with FMA,
// where the compiler fuses each product with the sum it joins (as GCC and clang do by default for
// the GNU dialect this builds with). While no product can underflow, symmetric windows take the
// folded triangle.
template <bool Fused, bool Wide>
UNIT7_INLINE void slide_rows(Slide& sl) {
    const std::ptrdiff_t n_len = sl.n_len, k_len = sl.k_len, rs = sl.rs, kld = sl.kld;
    const std::ptrdiff_t h = k_len / 2;
    const std::ptrdiff_t step = rs + 1;
    // Windows first_whole .. last_whole lie inside the matrix with three columns to spare on either side.
    const std::ptrdiff_t first_whole = h + 3, last_whole = n_len - k_len + h - 3;
    const std::ptrdiff_t chunk = pairs_per_fold(k_len + 6);
    while (sl.n < n_len) {
        const std::ptrdiff_t n = sl.n;
        if (n >= first_whole && n <= last_whole && last_whole - first_whole + 1 >= kGroup) {
            // The last group is pulled back to end on last_whole: the windows it takes again get
            // their sums again (the same, but for rounding when the loop changed in between).
            const std::ptrdiff_t g = std::min(n, last_whole - kGroup + 1);
            look_ahead(sl, g);  // scans every row of the group
            const bool normal = products_normal(sl);
            if (Fused && !normal) return;
            const bool half = normal && sl.mirrored;
            for (std::ptrdiff_t j = 0; j < 4; ++j) {
                look_ahead(sl, g + j * kBlock);
                double sums[kBlock] = {};
                const double* w = sl.s + (g + j - h) * step;
                for (std::ptrdiff_t r0 = 0; r0 < k_len; r0 += chunk) {
                    const std::ptrdiff_t r1 = std::min(k_len, r0 + chunk);
                    if (half)
                        add_aligned_parts<kBlock, true, Wide>(w, rs, 4 * step, sl.t, kld, r0, r1, k_len, sl.fetch,
                                                              sums);
                    else
                        add_aligned_parts<kBlock, false, Wide>(w, rs, 4 * step, sl.k, kld, r0, r1, k_len, sl.fetch,
                                                               sums);
                }
                for (int m = 0; m < kBlock; ++m) sl.out[(g + j + 4 * m) * sl.os] = sums[m];
            }
            sl.n = g + kGroup;
            continue;
        }
        // A single window, cut by the matrix edge to the kernel rows and columns lo .. hi - 1.
        look_ahead(sl, n);
        const bool normal = products_normal(sl);
        if (Fused && !normal) return;
        const bool half = normal && sl.mirrored;
        sl.fetch.some(kLinesPerRow * kBlock * 4);
        const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, h - n);
        const std::ptrdiff_t hi = std::min(k_len, n_len - n + h);
        const std::ptrdiff_t side = hi - lo, cut_chunk = rows_per_fold(side);
        const double* w = sl.s + (n - h + lo) * step;
        const double* kw = (half ? sl.t : sl.k) + lo * (kld + 1);
        double sum = 0.0;
        for (std::ptrdiff_t r0 = 0; r0 < side; r0 += cut_chunk) {
            const std::ptrdiff_t r1 = std::min(side, r0 + cut_chunk);
            if (half)
                add_window_part<true>(w, rs, kw, kld, r0, r1, side, &sum);
            else
                add_window_part<false>(w, rs, kw, kld, r0, r1, side, &sum);
        }
        sl.out[n * sl.os] = sum;
        sl.n = n + 1;
    }
    look_ahead(sl, n_len);
}

__attribute__((target("avx2,fma"))) void slide_rows_fma(Slide& sl) { slide_rows<true, true>(sl); }
__attribute__((target("avx2"))) void slide_rows_avx2(Slide& sl) { slide_rows<false, true>(sl); }
void slide_rows_base(Slide& sl) { slide_rows<false, false>(sl); }

// The largest magnitude in the band, NaN aside, for the rare band that holds a NaN.
long long band_max_finite(const double* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t n_len,
                          std::ptrdiff_t k_len) {
    long long top = 0;
    for (std::ptrdiff_t i = 0; i < n_len; ++i) {
        const BandRow b = band_row(n_len, k_len, i);
        for (std::ptrdiff_t j = b.j0; j < b.j1; ++j) {
            const long long m = magnitude_bits(s[i * rs + j * cs]);
            if (m <= kInfinity) top = std::max(top, m);
        }
    }
    return top;
}

// Any strides: one window at a time, each kernel row summed on its own before it joins the total.
void slide_strided(const double* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t n_len, const double* k,
                   std::ptrdiff_t kld, std::ptrdiff_t k_len, double* out, std::ptrdiff_t os) {
    const std::ptrdiff_t h = k_len / 2;
    for (std::ptrdiff_t n = 0; n < n_len; ++n) {
        const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, h - n);
        const std::ptrdiff_t hi = std::min(k_len, n_len - n + h);
        double total = 0.0;
        for (std::ptrdiff_t r = lo; r < hi; ++r) {
            const double* kr = k + r * kld;
            const double* sr = s + (n - h + r) * rs + (n - h) * cs;
            double row = 0.0;
            for (std::ptrdiff_t c = lo; c < hi; ++c) row += kr[c] * sr[c * cs];
            total += row;
        }
        out[n * os] = total;
    }
}

}  // namespace

KernelFacts kernel_facts(const double* k, std::ptrdiff_t kld, std::ptrdiff_t k_len) {
    long long top = 0, low = kMagnitude;
    bool symmetric = true;
    for (std::ptrdiff_t r = 0; r < k_len; ++r) {
        for (std::ptrdiff_t c = 0; c < k_len; ++c) {
            const long long b = magnitude_bits(k[r * kld + c]);
            top = std::max(top, b);
            if (b != 0) low = std::min(low, b);
        }
        for (std::ptrdiff_t c = 0; c < r; ++c) symmetric &= bits_of(k[r * kld + c]) == bits_of(k[c * kld + r]);
    }
    return {from_bits(top), low, symmetric};
}

void copy_kernel(const double* k, std::ptrdiff_t ks0, std::ptrdiff_t ks1, std::ptrdiff_t k_len, double* dst) {
    const std::ptrdiff_t dld = k_len + 2 * kKernelPad;
    for (std::ptrdiff_t r = 0; r < k_len; ++r) {
        double* row = dst + r * dld;
        std::fill(row, row + kKernelPad, 0.0);
        for (std::ptrdiff_t c = 0; c < k_len; ++c) row[kKernelPad + c] = k[r * ks0 + c * ks1];
        std::fill(row + kKernelPad + k_len, row + dld, 0.0);
    }
}

// dst (laid out as the padded copy k) = the lower triangle of k with the cells below the diagonal
// doubled, zero above it.
void fold_triangle(const double* k, std::ptrdiff_t k_len, double* dst) {
    const std::ptrdiff_t dld = k_len + 2 * kKernelPad;
    for (std::ptrdiff_t r = 0; r < k_len; ++r) {
        const double* kr = k + r * dld + kKernelPad;
        double* row = dst + r * dld;
        std::fill(row, row + dld, 0.0);
        for (std::ptrdiff_t c = 0; c < r; ++c) row[kKernelPad + c] = 2.0 * kr[c];
        row[kKernelPad + r] = kr[r];
    }
}

// The smallest |S| (as bits) whose product with a kernel value of magnitude k_low or more is at
// least DBL_MIN, with a margin for the rounding of the division.
long long underflow_floor(long long k_low) {
    if (k_low > kInfinity) return 0;  // no nonzero kernel value
    return magnitude_bits(4 * DBL_MIN / from_bits(k_low));
}

double diagonal_slide(const double* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t n_len, const double* k,
                      const double* t, std::ptrdiff_t kld, std::ptrdiff_t k_len, long long floor, double* out,
                      std::ptrdiff_t os) {
    if (k_len == 0) return 0.0;  // every window is empty: out stays 0.0 and no cell is read
    long long top;
    if (cs != 1) {
        slide_strided(s, rs, cs, n_len, k, kld, k_len, out, os);
        top = band_max_finite(s, rs, cs, n_len, k_len);
    } else {
        Slide sl{.s = s, .rs = rs, .n_len = n_len, .k = k, .t = t, .kld = kld, .k_len = k_len, .floor = floor,
                 .out = out, .os = os};
        const bool avx2 = __builtin_cpu_supports("avx2");
        if (avx2 && __builtin_cpu_supports("fma")) slide_rows_fma(sl);
        if (sl.n < n_len) {
            if (avx2)
                slide_rows_avx2(sl);
            else
                slide_rows_base(sl);
        }
        top = largest(sl.extent);
        if (top > kInfinity) top = band_max_finite(s, rs, cs, n_len, k_len);
    }
    return from_bits(top);
}

}  // namespace detail

namespace {

struct RawFree {
    void operator()(double* p) const { PyMem_RawFree(p); }
};

// np.zeros(n), as the numpy path creates its result; null when that fails (error cleared).
Ref new_curve(Py_ssize_t n) {
    try {
        Ref np = global(N.np);
        Ref zeros = attr(np, N.zeros);
        Ref len = integer(n);
        return call(zeros, {len});
    } catch (const Raised&) {
        PyErr_Clear();
        return Ref();
    }
}

}  // namespace

bool try_diagonal_slide(PyObject* ssm, PyObject* kernel, Ref& result) {
    if (!numpy_untouched({N.zeros, N.sum})) return false;
    View s, k;
    if (!s.acquire(ssm, 2) || !k.acquire(kernel, 2)) return false;
    const Py_ssize_t n_len = s.shape(0), k_len = k.shape(0);
    if (s.shape(1) != n_len || k.shape(1) != k_len) return false;

    // A matrix whose rows are strided and columns contiguous is read as its transpose, with the
    // kernel transposed: the sum of each window is the same.
    Py_ssize_t rs = s.stride(0), cs = s.stride(1), ks0 = k.stride(0), ks1 = k.stride(1);
    if (cs != 1 && rs == 1) {
        std::swap(rs, cs);
        std::swap(ks0, ks1);
    }
    // The loop reads the kernel from a copy with zero columns on either side (L x (L + 8)), and
    // its folded lower triangle from a second one when the kernel is symmetric and doubling its
    // values cannot overflow.
    const Py_ssize_t kld = k_len + 2 * detail::kKernelPad, cells = std::max<Py_ssize_t>(1, k_len * kld);
    std::unique_ptr<double, RawFree> copy(
        static_cast<double*>(PyMem_RawMalloc(sizeof(double) * static_cast<size_t>(2 * cells))));
    if (!copy) return false;
    const double* kp = copy.get() + detail::kKernelPad;
    const double* tp = nullptr;
    detail::KernelFacts kf{};
    run_loop(k_len * k_len, [&] {
        detail::copy_kernel(k.data(), ks0, ks1, k_len, copy.get());
        kf = detail::kernel_facts(kp, kld, k_len);
        if (kf.symmetric && kf.max <= DBL_MAX / 2) {
            detail::fold_triangle(copy.get(), k_len, copy.get() + cells);
            tp = copy.get() + cells + detail::kKernelPad;
        }
    });
    const double k_max = kf.max;
    if (!(k_max <= DBL_MAX)) return false;  // inf * 0 on the numpy path's border raises, NaN spreads

    Ref out = new_curve(n_len);
    View o;
    if (!out || !o.acquire(out, 1, true)) return false;
    double s_max = 0.0;
    // Whatever flags the division in underflow_floor raises are cleared by the watch.
    const long long floor = detail::underflow_floor(kf.low);
    FpWatch w;
    run_loop(n_len * k_len * std::min(n_len, k_len), [&] {
        s_max = detail::diagonal_slide(s.data(), rs, cs, n_len, kp, tp, kld, k_len, floor, o.data(), o.stride(0));
    });
    if (!w.clean()) return false;
    // Below this bound no product and no partial sum of a window, in any order, can overflow (nor
    // with the folded triangle, whose doubled cells stand for two products each), so the order of
    // the sums decides nothing but rounding; an infinite cell could meet NaN or an infinity of the
    // other sign in an order the numpy path does not take.
    const double side = static_cast<double>(std::min(n_len, k_len));
    if (!(s_max <= DBL_MAX) || !(k_max * s_max * side * side <= DBL_MAX / 4)) return false;
    result = out;
    return true;
}

}  // namespace unit7::native
