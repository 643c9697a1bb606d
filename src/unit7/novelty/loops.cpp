// loops.cpp: the kernels of diagonal_slide and column_derivative: pointers, shapes and strides in,
// the curve out; nothing here knows of Python.
//
//   diagonal_slide      out[n] = np.sum(kernel * window n), bit for bit (below, with its own notes)
//   column_derivative   out[n] = || sum over j of kern[:, j] * m[:, n - h + j] ||, h = k_len // 2, the
//                       columns outside the matrix left out instead of padded with zeros: no padded copy.
// Every index comes from the shapes alone; a value that another thread changes between the range
// check of a row and its use can change the curve and raise a flag (which sends the call to the
// numpy path), never where anything is read or written.
#include "novelty/loops.hpp"
#include "vectors.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

constexpr ix kLanes = 4;  // doubles in a v4

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

// ---- diagonal_slide ------------------------------------------------------------------------------
//
// The numpy path sets out[n] = np.sum(kernel * pad_ssm[n:n + L, n:n + L]), the window a view of a
// zero-bordered copy of the matrix. The loop gives the same values, bit for bit, by doing the same
// arithmetic in the same order:
//
// - `kernel * window` rounds each product on its own: the loop never fuses a multiply with an add.
//   numpy lays the product out in C order whatever the kernel's layout (the window's strides are in
//   C order, and where operands disagree numpy's iterator keeps C order), so value i of the flattened
//   product is kernel[r, c] * window[r, c] with i = r * L + c.
// - Window cells outside the matrix are the copy's zeros. With a finite kernel their products are
//   zeros (the loop multiplies by +0.0 there, or writes +0.0): the sign of a zero changes no sum but
//   a sum of zeros, which np.sum's start from 0.0 turns into +0.0 whatever the signs. An infinite or
//   NaN kernel value makes NaN there, with a warning: such kernels take the numpy path.
// - np.sum of the product starts from 0.0 and adds numpy's pairwise sum of the L * L values, as
//   pairwise_sum in numpy's numpy/_core/src/umath/loops_utils.h.src computes it:
//       n < 8:     -0.0 + a[0] + a[1] + ... + a[n - 1], in sequence;
//       n <= 128:  eight accumulators r[j] = a[j] + a[j + 8] + a[j + 16] + ... over the first
//                  n - n % 8 values, then ((r0 + r1) + (r2 + r3)) + ((r4 + r5) + (r6 + r7)), then
//                  the rest added in sequence;
//       otherwise: pairwise(a, m) + pairwise(a + m, n - m), m = n / 2 rounded down to a multiple of 8.
//   numpy before 2.3 hands the reduction its operand in pieces of the buffer size (np.getbufsize(),
//   8192 values unless changed) and adds the pairwise sum of each piece to the total in turn; from
//   2.3 on a contiguous operand is one piece whatever the buffer size.
//
// The eight accumulators are eight vector lanes (one AVX-512 register, two AVX2 or four SSE2 ones):
// lane j sums values j, j + 8, ... of a block exactly as numpy's accumulator j does, whichever
// registers hold it. The products are loaded straight into the lanes, for several windows at once
// that share each kernel load; windows are read in place, or, where the matrix's columns are not
// contiguous or a window crosses its edge, from a small copy of the part they cover.
//
// With the same operations in the same order the floating-point flags are numpy's too; any flag
// that numpy would report still sends the call to the numpy path, which reports it in its own way.

namespace unit7::loops {

// numpy rounds each product on its own, so no product here may be fused with the sum it joins,
// which compilers do by default where the processor has fused multiply-adds.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")
#endif

namespace slide_impl {

#define UNIT7_INLINE inline __attribute__((always_inline))

// numpy's pairwise sum: blocks of up to kBlockMax values, each with eight accumulators.
constexpr std::ptrdiff_t kBlockMax = 128;
constexpr std::ptrdiff_t kLanes = 8;

// Windows inside the matrix are summed up to kMaxWindows at a time, in groups of as many as the
// registers hold (at most kMaxGroup).
constexpr int kMaxGroup = 8, kMaxWindows = 32;

constexpr std::size_t kLine = 64;  // bytes in a cache line

// Registers of B bytes: eight doubles in 64 (AVX-512), four in 32 (AVX2), two in 16 (SSE2 and
// others), with integers of the same width for masks.
template <int B>
struct Reg;
template <>
struct Reg<64> {
    typedef double f __attribute__((vector_size(64)));
    typedef long long i __attribute__((vector_size(64)));
};
template <>
struct Reg<32> {
    typedef double f __attribute__((vector_size(32)));
    typedef long long i __attribute__((vector_size(32)));
};
template <>
struct Reg<16> {
    typedef double f __attribute__((vector_size(16)));
    typedef long long i __attribute__((vector_size(16)));
};

// numpy's eight accumulators, lane j the j-th, held in registers of B bytes as the instruction
// set the code is compiled for has them. Each lane adds and multiplies on its own, so the results
// are the same whatever B. Passed by reference only, so that no function signature depends on
// the instruction set.
template <int B>
struct Lanes {
    using F = typename Reg<B>::f;
    using I = typename Reg<B>::i;
    static constexpr int kParts = 64 / B, kPer = B / 8;
    F part[kParts];

    UNIT7_INLINE void load(const double* a) {
        for (int i = 0; i < kParts; ++i) std::memcpy(&part[i], a + i * kPer, B);
    }
    UNIT7_INLINE void store(double* a) const {
        for (int i = 0; i < kParts; ++i) std::memcpy(a + i * kPer, &part[i], B);
    }
    UNIT7_INLINE void operator+=(const Lanes& o) {
        for (int i = 0; i < kParts; ++i) part[i] += o.part[i];
    }
    UNIT7_INLINE void product(const Lanes& a, const Lanes& b) {
        for (int i = 0; i < kParts; ++i) part[i] = a.part[i] * b.part[i];
    }
    UNIT7_INLINE void add_product(const Lanes& a, const Lanes& b) {
        for (int i = 0; i < kParts; ++i) part[i] += a.part[i] * b.part[i];
    }
    // Lanes below `keep` from a, the others from b.
    UNIT7_INLINE void blend(std::ptrdiff_t keep, const Lanes& a, const Lanes& b) {
        for (int i = 0; i < kParts; ++i) {
            I lane;
            for (int j = 0; j < kPer; ++j) lane[j] = i * kPer + j;
            part[i] = lane < keep ? a.part[i] : b.part[i];
        }
    }
    UNIT7_INLINE double lane(int j) const { return part[j / kPer][j % kPer]; }
    // How numpy combines its eight accumulators.
    UNIT7_INLINE double fold() const {
        return ((lane(0) + lane(1)) + (lane(2) + lane(3))) + ((lane(4) + lane(5)) + (lane(6) + lane(7)));
    }
};

// In one register, the same combination is done lane-wise: neighbours first, then pairs of
// neighbours, then the two halves.
template <>
UNIT7_INLINE double Lanes<64>::fold() const {
    const F r = part[0];
    const F pairs = r + __builtin_shuffle(r, I{1, 0, 3, 2, 5, 4, 7, 6});
    const F quads = pairs + __builtin_shuffle(pairs, I{2, 3, 0, 1, 6, 7, 4, 5});
    return quads[0] + quads[4];
}

// Lanes<64>::fold of the accumulators of eight windows at once, into out[0 .. 8): the same
// additions for all eight side by side, the lanes of two windows interleaved at each step.
UNIT7_INLINE void fold_windows(const Lanes<64>* acc, double* out) {
    using F = Lanes<64>::F;
    using I = Lanes<64>::I;
    F n[4], p[2];
    for (int i = 0; i < 4; ++i) {  // a0 + a1, b0 + b1, a2 + a3, b2 + b3, ... of windows 2i, 2i + 1
        const F& a = acc[2 * i].part[0];
        const F& b = acc[2 * i + 1].part[0];
        n[i] = __builtin_shuffle(a, b, I{0, 8, 2, 10, 4, 12, 6, 14}) +
               __builtin_shuffle(a, b, I{1, 9, 3, 11, 5, 13, 7, 15});
    }
    for (int i = 0; i < 2; ++i)  // (a0 + a1) + (a2 + a3), ..., (d4 + d5) + (d6 + d7) of windows 4i .. 4i + 3
        p[i] = __builtin_shuffle(n[2 * i], n[2 * i + 1], I{0, 1, 8, 9, 4, 5, 12, 13}) +
               __builtin_shuffle(n[2 * i], n[2 * i + 1], I{2, 3, 10, 11, 6, 7, 14, 15});
    const F all = __builtin_shuffle(p[0], p[1], I{0, 1, 2, 3, 8, 9, 10, 11}) +
                  __builtin_shuffle(p[0], p[1], I{4, 5, 6, 7, 12, 13, 14, 15});
    std::memcpy(out, &all, sizeof all);
}

// ---- The shape of np.sum over the L * L products ----
//
// The lengths of the blocks of its pairwise sums, in order, and the program that combines their
// sums into the total: kBlock takes the next block's sum, kJoin adds the last two values taken
// (the earlier one on the left), kPiece adds the last value taken to the total, which starts at 0.0.
enum Op : unsigned char { kBlock, kJoin, kPiece };

struct Plan {
    const unsigned char* lengths;  // one per block, 1 to kBlockMax
    const unsigned char* program;  // two ops per block
    std::ptrdiff_t blocks;
};

// numpy's split of a pairwise sum of n > kBlockMax values: the length of the first half.
UNIT7_INLINE std::ptrdiff_t first_half(std::ptrdiff_t n) {
    const std::ptrdiff_t half = n / 2;
    return half - half % kLanes;
}

std::ptrdiff_t count_blocks(std::ptrdiff_t n) {
    if (n <= kBlockMax) return 1;
    const std::ptrdiff_t m = first_half(n);
    return count_blocks(m) + count_blocks(n - m);
}

// The blocks of np.sum over `count` values in pieces of `piece` (0: one piece).
std::ptrdiff_t sum_blocks(std::ptrdiff_t count, std::ptrdiff_t piece) {
    if (count == 0) return 0;
    if (piece == 0 || piece >= count) return count_blocks(count);
    const std::ptrdiff_t rest = count % piece;
    return count / piece * count_blocks(piece) + (rest ? count_blocks(rest) : 0);
}

// Values a pairwise sum keeps waiting while it combines: one per level of its tree, whose depth
// stays below 20 for kMaxSide^2 values. make_plan checks it.
constexpr int kStack = 64;

struct PlanWriter {
    unsigned char* lengths;
    unsigned char* program;
    int depth = 0, deepest = 0;

    void op(Op o) {
        *program++ = o;
        depth += o == kBlock ? 1 : -1;
        deepest = std::max(deepest, depth);
    }
    void pairwise(std::ptrdiff_t n) {
        if (n <= kBlockMax) {
            *lengths++ = static_cast<unsigned char>(n);
            op(kBlock);
            return;
        }
        const std::ptrdiff_t m = first_half(n);
        pairwise(m);
        pairwise(n - m);
        op(kJoin);
    }
};

// Writes the plan of np.sum over `count` values into lengths and program (sum_blocks(count, piece)
// and twice as many entries); false when combining it would need more than kStack values.
bool make_plan(std::ptrdiff_t count, std::ptrdiff_t piece, unsigned char* lengths, unsigned char* program) {
    PlanWriter w{lengths, program};
    if (piece == 0) piece = count;
    for (std::ptrdiff_t at = 0; at < count; at += piece) {
        w.pairwise(std::min(piece, count - at));
        w.op(kPiece);
    }
    return w.deepest <= kStack;
}

// The totals of W windows side by side: each block's W sums are at sums, `stride` apart.
template <int W>
UNIT7_INLINE void combine(const Plan& plan, const double* sums, std::ptrdiff_t stride, double* total) {
    double stack[kStack][W];
    double t[W];
    for (int i = 0; i < W; ++i) t[i] = 0.0;
    int top = 0;
    for (std::ptrdiff_t j = 0; j < 2 * plan.blocks; ++j) {
        switch (plan.program[j]) {
        case kBlock:
            for (int i = 0; i < W; ++i) stack[top][i] = sums[i];
            sums += stride;
            ++top;
            break;
        case kJoin:
            --top;
            for (int i = 0; i < W; ++i) stack[top - 1][i] = stack[top - 1][i] + stack[top][i];
            break;
        default:
            --top;
            for (int i = 0; i < W; ++i) t[i] += stack[top][i];
            break;
        }
    }
    for (int i = 0; i < W; ++i) total[i] = t[i];
}

struct Work {
    Matrix m;
    const double* k;  // the kernel in C order
    std::ptrdiff_t len;
    Plan plan;
    std::ptrdiff_t margin;  // see slide_windows
    double* products;       // len * len, for kernels of fewer than kLanes columns
    double* tile;           // tile_side(...)^2
    double* sums;           // kMaxWindows * plan.blocks
    double* out;
    std::ptrdiff_t os;
};

// ---- Kernels of fewer than eight columns: the products of a window into a buffer, cells outside
// ---- the matrix as +0.0, then their sums.

// The pairwise sums of W blocks of n <= kBlockMax values each, one after the other from a, side
// by side so that their chains of additions overlap.
template <int B, int W>
UNIT7_INLINE void block_sums(const double* a, std::ptrdiff_t n, double* sums) {
    double res[W];
    const std::ptrdiff_t whole = n < kLanes ? 0 : n - n % kLanes;
    if (whole > 0) {
        Lanes<B> r[W];
        for (int b = 0; b < W; ++b) r[b].load(a + b * n);
        for (std::ptrdiff_t i = kLanes; i < whole; i += kLanes)
            for (int b = 0; b < W; ++b) {
                Lanes<B> x;
                x.load(a + b * n + i);
                r[b] += x;
            }
        for (int b = 0; b < W; ++b) res[b] = r[b].fold();
    } else {
        for (int b = 0; b < W; ++b) res[b] = -0.0;
    }
    for (std::ptrdiff_t i = whole; i < n; ++i)
        for (int b = 0; b < W; ++b) res[b] += a[b * n + i];
    for (int b = 0; b < W; ++b) sums[b] = res[b];
}

// p[c] = k[c] * s[c] for c < len.
template <int B>
UNIT7_INLINE void row_products(double* __restrict p, const double* __restrict k, const double* __restrict s,
                               std::ptrdiff_t len) {
    std::ptrdiff_t c = 0;
    for (; c + kLanes <= len; c += kLanes) {
        Lanes<B> kv, sv, pv;
        kv.load(k + c);
        sv.load(s + c);
        pv.product(kv, sv);
        pv.store(p + c);
    }
    for (; c < len; ++c) p[c] = k[c] * s[c];
}

// The products of window n, flattened in C order, with +0.0 for the cells outside the matrix.
// Window cell (r, c) is matrix cell (a + r, a + c), a = n - L // 2; rows and columns lo .. hi - 1
// of the window lie inside the matrix.
template <int B>
UNIT7_INLINE void window_products(const Work& w, std::ptrdiff_t n) {
    const Matrix& m = w.m;
    const std::ptrdiff_t len = w.len, a = n - len / 2;
    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -a), hi = std::min(len, m.n_len - a);
    const auto cell = [&](std::ptrdiff_t r, std::ptrdiff_t c) { return m.s + (a + r) * m.rs + (a + c) * m.cs; };
    double* p = w.products;
    const double* k = w.k;
    if (lo > 0 || hi < len) {
        std::fill(p, p + lo * len, 0.0);
        for (std::ptrdiff_t r = lo; r < hi; ++r) {
            std::fill(p + r * len, p + r * len + lo, 0.0);
            std::fill(p + r * len + hi, p + (r + 1) * len, 0.0);
        }
        std::fill(p + hi * len, p + len * len, 0.0);
    }
    if (m.cs == 1) {
        for (std::ptrdiff_t r = lo; r < hi; ++r)
            row_products<B>(p + r * len + lo, k + r * len + lo, cell(r, lo), hi - lo);
    } else if (m.rs == 1) {  // columns contiguous instead: filled column by column
        for (std::ptrdiff_t c = lo; c < hi; ++c) {
            const double* col = cell(lo, c);
            for (std::ptrdiff_t r = lo; r < hi; ++r) p[r * len + c] = k[r * len + c] * col[r - lo];
        }
    } else {
        for (std::ptrdiff_t r = lo; r < hi; ++r) {
            const double* row = cell(r, lo);
            for (std::ptrdiff_t c = lo; c < hi; ++c) p[r * len + c] = k[r * len + c] * row[(c - lo) * m.cs];
        }
    }
}

template <int B>
UNIT7_INLINE double buffered_window(const Work& w, std::ptrdiff_t n) {
    window_products<B>(w, n);
    const double* p = w.products;
    const unsigned char* len = w.plan.lengths;
    std::ptrdiff_t b = 0;
    while (b < w.plan.blocks) {
        const std::ptrdiff_t m = len[b];
        if (b + 4 <= w.plan.blocks && len[b + 1] == m && len[b + 2] == m && len[b + 3] == m) {
            block_sums<B, 4>(p, m, w.sums + b);
            p += 4 * m;
            b += 4;
        } else {
            block_sums<B, 1>(p, m, w.sums + b);
            p += m;
            b += 1;
        }
    }
    double total;
    combine<1>(w.plan, w.sums, 1, &total);
    return total;
}

// ---- Kernels of eight columns or more: the products go straight into numpy's eight lanes, for W
// ---- windows side by side that share each kernel load. The windows' cells are read from rows of
// ---- contiguous columns: the matrix's own, or a copy of the part the windows read, with zeros
// ---- for the cells outside the matrix.

// Where W windows read their cells: window i's cell (0, 0) at q[i], rows rs apart.
template <int W>
struct Cells {
    const double* q[W];
    std::ptrdiff_t rs;
};

// Adds (or, First, sets) kv times the next eight values of each of W windows' flattened cells,
// from window row r, column c on (at = r * rs + c), to acc. Where the window row ends inside the
// eight, the rest come from the start of the next row.
template <bool First, int B, int W>
UNIT7_INLINE void add_vectors(Lanes<B>* acc, const Lanes<B>& kv, const Cells<W>& cells, std::ptrdiff_t at,
                              std::ptrdiff_t c, std::ptrdiff_t len) {
    const auto add = [&](Lanes<B>& a, const Lanes<B>& x) {
        if constexpr (First)
            a.product(kv, x);
        else
            a.add_product(kv, x);
    };
    if (c + kLanes <= len) {
#pragma GCC unroll 8
        for (int i = 0; i < W; ++i) {
            Lanes<B> x;
            x.load(cells.q[i] + at);
            add(acc[i], x);
        }
        return;
    }
#pragma GCC unroll 8
    for (int i = 0; i < W; ++i) {
        Lanes<B> end, next, x;
        end.load(cells.q[i] + at);
        next.load(cells.q[i] + at + cells.rs - len);
        x.blend(len - c, end, next);
        add(acc[i], x);
    }
}

// The sum of block [at, at + m) of the flattened products of W windows side by side, into sums[0 .. W).
template <int B, int W>
UNIT7_INLINE void fused_block(const Work& w, const Cells<W>& cells, std::ptrdiff_t at, std::ptrdiff_t m,
                              double* sums) {
    const std::ptrdiff_t len = w.len, rs = cells.rs;
    const double* k = w.k + at;
    const std::ptrdiff_t whole = m < kLanes ? 0 : m - m % kLanes;
    std::ptrdiff_t c = at % len, cell = at / len * rs + c;  // the next value's window column, and its offset
    const auto advance = [&](std::ptrdiff_t by) {
        c += by;
        cell += by;
        if (c >= len) {
            c -= len;
            cell += rs - len;
        }
    };
    double res[W];
    if (whole > 0) {
        Lanes<B> acc[W], kv;
        kv.load(k);
        add_vectors<true>(acc, kv, cells, cell, c, len);
        advance(kLanes);
        for (std::ptrdiff_t j = kLanes; j < whole; j += kLanes) {
            kv.load(k + j);
            add_vectors<false>(acc, kv, cells, cell, c, len);
            advance(kLanes);
        }
        if constexpr (B == 64 && W == 8) {
            fold_windows(acc, res);
        } else {
#pragma GCC unroll 8
            for (int i = 0; i < W; ++i) res[i] = acc[i].fold();
        }
    } else {
        for (int i = 0; i < W; ++i) res[i] = -0.0;
    }
    for (std::ptrdiff_t j = whole; j < m; ++j) {
        for (int i = 0; i < W; ++i) res[i] += k[j] * cells.q[i][cell];
        advance(1);
    }
    for (int i = 0; i < W; ++i) sums[i] = res[i];
}

// Asks the caches for the matrix rows that the windows will read, a few lines at a time so that
// the requests spread over the work: of row i, the cells within L + 8 of the diagonal. For a
// matrix with contiguous columns.
struct RowFetch {
    const Matrix& m;
    std::ptrdiff_t reach;
    std::ptrdiff_t row = 0;    // the next row to ask for
    std::ptrdiff_t until = 0;  // and the row to stop before
    std::uintptr_t line = 0, end = 0;  // the next line of the row being asked for, and its end

    // Rows from .. to - 1 are wanted next (rows before `from` are at hand or on their way).
    UNIT7_INLINE void want(std::ptrdiff_t from, std::ptrdiff_t to) {
        if (from > row) {
            row = from;
            line = end;
        }
        until = std::min(m.n_len, to);
    }
    UNIT7_INLINE void some(std::ptrdiff_t lines) {
        for (; lines > 0; --lines) {
            if (line >= end) {
                if (row >= until) return;
                const std::ptrdiff_t j0 = std::max<std::ptrdiff_t>(0, row - reach);
                const std::ptrdiff_t j1 = std::min(m.n_len, row + reach);
                const double* cells = m.s + row * m.rs;
                line = reinterpret_cast<std::uintptr_t>(cells + j0) & ~std::uintptr_t{kLine - 1};
                end = reinterpret_cast<std::uintptr_t>(cells + j1);
                ++row;
            }
            __builtin_prefetch(reinterpret_cast<const void*>(line), 0, 1);  // into the second-level cache
            line += kLine;
        }
    }
};

// Windows n .. n + G * W - 1, their cell (0, 0) at w0 + i * (rs + 1), block by block (the blocks'
// sums combine the same whatever order they are computed in), so that each block's kernel values
// and matrix rows serve all G * W windows while they are at hand. Meanwhile `fetch`, if any, asks
// for the rows of the windows after them.
template <int B, int W, int G>
UNIT7_INLINE void fused_slide(const Work& w, const double* w0, std::ptrdiff_t rs, std::ptrdiff_t n, RowFetch* fetch) {
    constexpr int kWindows = G * W;
    const std::ptrdiff_t wstep = rs + 1;
    std::ptrdiff_t lines = 0;
    if (fetch) {
        // The rows that the next kWindows windows read and these do not.
        const std::ptrdiff_t next = n - w.len / 2 + kWindows + w.len - 1;
        fetch->want(next, next + kWindows);
        const std::ptrdiff_t row_lines = 2 * fetch->reach / static_cast<std::ptrdiff_t>(kLine / sizeof(double)) + 2;
        lines = kWindows * row_lines / std::max<std::ptrdiff_t>(1, w.plan.blocks) + 1;
    }
    std::ptrdiff_t at = 0;
    for (std::ptrdiff_t b = 0; b < w.plan.blocks; ++b) {
        const std::ptrdiff_t m = w.plan.lengths[b];
        for (int g = 0; g < G; ++g) {
            Cells<W> cells;
            for (int i = 0; i < W; ++i) cells.q[i] = w0 + (g * W + i) * wstep;
            cells.rs = rs;
            fused_block<B, W>(w, cells, at, m, w.sums + b * kWindows + g * W);
        }
        if (fetch) fetch->some(lines);
        at += m;
    }
    for (int g = 0; g < G; ++g) {
        double total[W];
        combine<W>(w.plan, w.sums + g * W, kWindows, total);
        for (int i = 0; i < W; ++i) w.out[(n + g * W + i) * w.os] = total[i];
    }
}

// Matrix cells (a + i, a - margin + j), i < rows, j < cols, into t, rows cols apart, with +0.0 for
// the cells outside the matrix: the part of the matrix that `rows - L + 1` windows from a on read,
// with contiguous columns. Read along the matrix's shorter stride.
void copy_tile(const Matrix& m, std::ptrdiff_t a, std::ptrdiff_t margin, std::ptrdiff_t rows, std::ptrdiff_t cols,
               double* t) {
    // rows i0 .. i1 - 1 and columns j0 .. j1 - 1 of the tile lie inside the matrix
    const std::ptrdiff_t i0 = std::clamp<std::ptrdiff_t>(-a, 0, rows), i1 = std::clamp(m.n_len - a, i0, rows);
    const std::ptrdiff_t j0 = std::clamp<std::ptrdiff_t>(margin - a, 0, cols);
    const std::ptrdiff_t j1 = std::clamp(m.n_len - a + margin, j0, cols);
    std::fill(t, t + i0 * cols, 0.0);
    for (std::ptrdiff_t i = i0; i < i1; ++i) {
        std::fill(t + i * cols, t + i * cols + j0, 0.0);
        std::fill(t + i * cols + j1, t + (i + 1) * cols, 0.0);
    }
    std::fill(t + i1 * cols, t + rows * cols, 0.0);
    if (i0 == i1 || j0 == j1) return;
    const double* origin = m.s + (a + i0) * m.rs + (a - margin + j0) * m.cs;  // cell (i0, j0) of the tile
    if (std::abs(m.cs) <= std::abs(m.rs)) {
        for (std::ptrdiff_t i = i0; i < i1; ++i)
            for (std::ptrdiff_t j = j0; j < j1; ++j) t[i * cols + j] = origin[(i - i0) * m.rs + (j - j0) * m.cs];
    } else {
        for (std::ptrdiff_t j = j0; j < j1; ++j)
            for (std::ptrdiff_t i = i0; i < i1; ++i) t[i * cols + j] = origin[(i - i0) * m.rs + (j - j0) * m.cs];
    }
}

// Window n reads cells n - h .. n - h + L - 1 (h = L // 2) of rows and columns. Its eight-value
// loads stay inside them but for `margin` cells on either side: none when no eight values span
// two window rows (L and the piece length multiples of eight), else seven, since a load that a
// row end cuts reads up to seven cells past it or before the next row's start. Windows that far
// inside a matrix with contiguous columns are read in place, kMaxWindows at a time where they can;
// the others through a tile, kMaxWindows at a time, or W at a time at the edges of a matrix read
// in place.
template <int B, int W>
UNIT7_INLINE void slide_windows(const Work& w) {
    static_assert(W <= kMaxGroup);
    const std::ptrdiff_t n_len = w.m.n_len, len = w.len, h = len / 2;
    if (len < kLanes) {
        for (std::ptrdiff_t n = 0; n < n_len; ++n) w.out[n * w.os] = buffered_window<B>(w, n);
        return;
    }
    const bool direct = w.m.cs == 1;
    const std::ptrdiff_t first = h + w.margin, last = n_len - len - w.margin + h;  // windows read in place
    RowFetch fetch{w.m, len + kLanes};
    std::ptrdiff_t n = 0;
    while (n < n_len) {
        const bool in_place = direct && n >= first && n <= last;
        // windows n .. n + avail - 1 go the same way
        const std::ptrdiff_t avail = in_place ? last - n + 1
                                     : direct && n < first ? std::min(first, n_len) - n
                                                           : n_len - n;
        const std::ptrdiff_t most = direct && !in_place ? W : kMaxWindows;
        const std::ptrdiff_t count = std::min(avail, most) >= kMaxWindows ? kMaxWindows : avail >= W ? W : 1;
        const double* w0;  // cell (0, 0) of window n
        std::ptrdiff_t rs;
        if (in_place) {
            w0 = w.m.s + (n - h) * (w.m.rs + 1);
            rs = w.m.rs;
        } else {
            rs = count + len - 1 + 2 * w.margin;
            copy_tile(w.m, n - h, w.margin, count + len - 1, rs, w.tile);
            w0 = w.tile + w.margin;
        }
        RowFetch* ahead = in_place ? &fetch : nullptr;
        if (count == kMaxWindows)
            fused_slide<B, W, kMaxWindows / W>(w, w0, rs, n, ahead);
        else if (count == W)
            fused_slide<B, W, 1>(w, w0, rs, n, ahead);
        else
            fused_slide<B, 1, 1>(w, w0, rs, n, ahead);
        n += count;
    }
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx512f"))) void slide_avx512(const Work& w) { slide_windows<64, 8>(w); }
__attribute__((target("avx2"))) void slide_avx2(const Work& w) { slide_windows<32, 4>(w); }
#endif
void slide_portable(const Work& w) { slide_windows<16, 2>(w); }

// Whether every kernel value is finite, the kernel read in C order from k (a copy, or the caller's).
bool finite_kernel(const double* k, std::ptrdiff_t k_len) {
    constexpr std::uint64_t kExponent = 0x7ff0000000000000ull;
    std::uint64_t nonfinite = 0;
    for (std::ptrdiff_t i = 0; i < k_len * k_len; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, k + i, sizeof bits);
        nonfinite |= (bits & kExponent) == kExponent;
    }
    return nonfinite == 0;
}

UNIT7_INLINE bool c_ordered(const Kernel& k) { return k.ks1 == 1 && k.ks0 == k.k_len; }

// See slide_windows.
UNIT7_INLINE std::ptrdiff_t margin_of(std::ptrdiff_t k_len, std::ptrdiff_t piece) {
    return k_len % kLanes == 0 && piece % kLanes == 0 ? 0 : kLanes - 1;
}

// Matrices with contiguous columns take tiles at their edges only, W <= kMaxGroup windows at a time.
UNIT7_INLINE std::ptrdiff_t tile_side(std::ptrdiff_t k_len, std::ptrdiff_t piece, bool contiguous_columns) {
    return (contiguous_columns ? kMaxGroup : kMaxWindows) + k_len - 1 + 2 * margin_of(k_len, piece);
}

// Where a slide keeps what in its scratch: from its first cache-line boundary on, each part from
// a boundary of its own.
struct Layout {
    std::size_t kernel, products, tile, sums, lengths, program, bytes;
};

UNIT7_INLINE std::size_t line_up(std::size_t n) { return (n + kLine - 1) / kLine * kLine; }

Layout layout(const Kernel& k, std::ptrdiff_t piece, bool contiguous_columns) {
    const auto cells = static_cast<std::size_t>(k.k_len * k.k_len);
    const auto blocks = static_cast<std::size_t>(sum_blocks(k.k_len * k.k_len, piece));
    const auto side = static_cast<std::size_t>(k.k_len < kLanes ? 0 : tile_side(k.k_len, piece, contiguous_columns));
    Layout l{};
    l.kernel = 0;
    l.products = line_up(l.kernel + (c_ordered(k) ? 0 : cells * sizeof(double)));
    l.tile = line_up(l.products + (k.k_len < kLanes ? cells * sizeof(double) : 0));
    l.sums = line_up(l.tile + side * side * sizeof(double));
    l.lengths = line_up(l.sums + kMaxWindows * blocks * sizeof(double));
    l.program = line_up(l.lengths + blocks);
    l.bytes = l.program + 2 * blocks + kLine;  // and room to reach the first boundary
    return l;
}

}  // namespace slide_impl

std::size_t slide_scratch_bytes(const Matrix& m, const Kernel& k, std::ptrdiff_t piece) {
    using namespace slide_impl;
    if (k.k_len < 0 || k.k_len > kMaxSide || piece < 0) return 0;
    return layout(k, piece, m.cs == 1).bytes;
}

bool diagonal_slide(const Matrix& m, const Kernel& k, std::ptrdiff_t piece, void* scratch, double* out,
                    std::ptrdiff_t os) {
    using namespace slide_impl;
    const Layout l = layout(k, piece, m.cs == 1);
    const auto at = reinterpret_cast<std::uintptr_t>(scratch);
    auto* base = static_cast<unsigned char*>(scratch) + (line_up(at) - at);
    const auto part = [&](std::size_t offset) { return reinterpret_cast<double*>(base + offset); };
    // A kernel in C order is read in place, any other from a copy in C order.
    const double* kernel = k.k;
    if (!c_ordered(k)) {
        double* copy = part(l.kernel);
        for (std::ptrdiff_t r = 0; r < k.k_len; ++r)
            for (std::ptrdiff_t c = 0; c < k.k_len; ++c) copy[r * k.k_len + c] = k.k[r * k.ks0 + c * k.ks1];
        kernel = copy;
    }
    if (!finite_kernel(kernel, k.k_len)) return false;
    const std::ptrdiff_t count = k.k_len * k.k_len;
    if (!make_plan(count, piece, base + l.lengths, base + l.program)) return false;
    const Work w{m,
                 kernel,
                 k.k_len,
                 {base + l.lengths, base + l.program, sum_blocks(count, piece)},
                 margin_of(k.k_len, piece),
                 part(l.products),
                 part(l.tile),
                 part(l.sums),
                 out,
                 os};
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("avx512f")) {
        slide_avx512(w);
        return true;
    }
    if (__builtin_cpu_supports("avx2")) {
        slide_avx2(w);
        return true;
    }
#endif
    slide_portable(w);
    return true;
}

#if defined(__clang__)
#pragma clang fp contract(on)
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif

}  // namespace unit7::loops
