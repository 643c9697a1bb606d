// novelty.cpp: the native loop of diagonal_slide, which reads the matrix in place, without a padded copy.
//
// out[n] = sum over r, c < L of kernel[r, c] * S(n - h + r, n - h + c), h = L // 2, with S the matrix
// and 0 outside it. The loop visits only the cells of each window that lie inside the matrix: the
// numpy path multiplies the others by its zero border, which adds nothing and raises nothing as long
// as every kernel value is finite. The loop also finds the largest |S| it reads, so that the wrapper
// can tell whether reordering the sums could have changed anything but their rounding.
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

// Zero columns on either side of each kernel row in the loop's copy of the kernel.
constexpr std::ptrdiff_t kKernelPad = 4;

namespace {

#define UNIT7_INLINE inline __attribute__((always_inline))

// Four doubles, or the bits of four doubles: one AVX2 register, or a pair of SSE2 registers.
// Passed by reference only, so that no function signature depends on the instruction set.
typedef double v4 __attribute__((vector_size(32)));
typedef long long bits4 __attribute__((vector_size(32)));
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

UNIT7_INLINE long long magnitude_bits(double v) {
    long long b;
    std::memcpy(&b, &v, sizeof b);
    return b & kMagnitude;
}
UNIT7_INLINE double from_bits(long long b) {
    double v;
    std::memcpy(&v, &b, sizeof v);
    return v;
}
UNIT7_INLINE long long lane_max(const bits4& v) { return std::max(std::max(v[0], v[1]), std::max(v[2], v[3])); }

// top = max(top, |p[j]|) over j < len, as bits; with SkipNan a NaN counts as 0.
template <bool SkipNan>
UNIT7_INLINE void fold_magnitudes(bits4& top, const double* p, std::ptrdiff_t len) {
    std::ptrdiff_t j = 0;
    for (; j + kLanes <= len; j += kLanes) {
        bits4 b;
        load(b, p + j);
        b &= kMagnitude;
        if (SkipNan) b &= ~(b > kInfinity);
        top = b > top ? b : top;
    }
    for (; j < len; ++j) {
        long long b = magnitude_bits(p[j]);
        if (SkipNan && b > kInfinity) b = 0;
        top[0] = std::max(top[0], b);
    }
}

// The cells of row i that the windows read: columns j with |i - j| < L.
struct BandRow {
    std::ptrdiff_t j0, j1;
};
UNIT7_INLINE BandRow band_row(std::ptrdiff_t n_len, std::ptrdiff_t k_len, std::ptrdiff_t i) {
    return {std::max<std::ptrdiff_t>(0, i - k_len + 1), std::min(n_len, i + k_len)};
}

// A lane chains at most about this many products before its sum is folded into the window's
// total, which keeps the rounding error far below 1e-12 of the sum of the |products|.
constexpr std::ptrdiff_t kChain = 1024;

// The products of one window with the kernel rows [0, rows) and columns [0, cols), added to *sum:
// the window's cell (0, 0) is at s (rows rs apart, columns contiguous), the kernel's at k (rows
// kld apart). For the windows the matrix edge cuts.
UNIT7_INLINE void add_window_part(const double* s, std::ptrdiff_t rs, const double* k, std::ptrdiff_t kld,
                                  std::ptrdiff_t rows, std::ptrdiff_t cols, double* sum) {
    const std::ptrdiff_t vec_end = cols - cols % kLanes;
    v4 acc = {};
    double tail = 0.0;
    for (std::ptrdiff_t r = 0; r < rows; ++r) {
        const double* kr = k + r * kld;
        const double* sr = s + r * rs;
        for (std::ptrdiff_t c = 0; c < vec_end; c += kLanes) {
            v4 kv, sv;
            load(kv, kr + c);
            load(sv, sr + c);
            acc += kv * sv;
        }
        for (std::ptrdiff_t c = vec_end; c < cols; ++c) tail += kr[c] * sr[c];
    }
    *sum += lane_sum(acc) + tail;
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
    std::ptrdiff_t row = 0, col = -1;  // the next line to ask for

    UNIT7_INLINE void some(int lines) {
        for (; lines > 0 && row < until; --lines) {
            const BandRow b = band_row(n_len, k_len, row);
            col = std::max(col, b.j0);
            __builtin_prefetch(s + row * rs + col, 0, 2);
            col += 8;
            if (col >= b.j1) {
                __builtin_prefetch(s + row * rs + b.j1 - 1, 0, 2);
                ++row;
                col = -1;
            }
        }
    }
};

// The products of M whole windows of side len with the kernel rows [r0, r1), added to sums[0 .. M):
// window m has its cell (0, 0) at s + m * wstep (rows rs apart, columns contiguous), the kernel at
// k (rows kld apart, with kKernelPad zero columns on either side). wstep is a multiple of four, so
// the M windows share the alignment of their rows and each kernel load serves all of them. A row
// is read in aligned vectors of four cells; the cells of a vector that lie outside the window
// (at most three on either side, still inside the matrix) are masked to +0.0, whatever they hold,
// and meet the kernel's zero columns. Each row also passes a few band lines to `fetch`.
template <int M>
UNIT7_INLINE void add_aligned_parts(const double* s, std::ptrdiff_t rs, std::ptrdiff_t wstep, const double* k,
                                    std::ptrdiff_t kld, std::ptrdiff_t r0, std::ptrdiff_t r1, std::ptrdiff_t len,
                                    BandFetch& fetch, double* sums) {
    const bits4 lane = {0, 1, 2, 3};
    v4 acc[M] = {};
    for (std::ptrdiff_t r = r0; r < r1; ++r) {
        fetch.some(kLinesPerRow);
        const double* row = s + r * rs;
        const long long q = static_cast<long long>(reinterpret_cast<std::uintptr_t>(row) / sizeof(double) % kLanes);
        const double* sv = row - q;
        const double* kv = k + r * kld - q;
        const std::ptrdiff_t last = (q + len - 1) / kLanes;  // the row's last vector
        const bits4 head = lane >= q;
        const bits4 tail = lane <= (q + len - 1) % kLanes;
        if (last == 0) {
            mac_vector<M, true>(acc, sv, wstep, kv, head & tail);
            continue;
        }
        mac_vector<M, true>(acc, sv, wstep, kv, head);
        for (std::ptrdiff_t v = 1; v < last; ++v)
            mac_vector<M, false>(acc, sv + v * kLanes, wstep, kv + v * kLanes, head);
        mac_vector<M, true>(acc, sv + last * kLanes, wstep, kv + last * kLanes, tail);
    }
    for (int m = 0; m < M; ++m) sums[m] += lane_sum(acc[m]);
}

// Whole windows handled together: kBlock windows four frames apart, four such blocks side by side.
constexpr int kBlock = 8;
constexpr std::ptrdiff_t kGroup = 4 * kBlock;
// Matrix rows are asked for up to this many frames before the windows reach them, and scanned for
// their largest magnitude half way.
constexpr std::ptrdiff_t kAhead = 64;

// Kernel rows per partial sum: a lane then chains at most about kChain products.
UNIT7_INLINE std::ptrdiff_t rows_per_fold(std::ptrdiff_t cols) {
    return std::max<std::ptrdiff_t>(1, kChain / (cols / kLanes + 2));
}

// The slide over a matrix with contiguous columns, with the padded kernel copy. Returns the
// largest magnitude read, as bits (NaN aside).
UNIT7_INLINE long long slide_rows(const double* s, std::ptrdiff_t rs, std::ptrdiff_t n_len, const double* k,
                                  std::ptrdiff_t kld, std::ptrdiff_t k_len, double* out, std::ptrdiff_t os) {
    const std::ptrdiff_t h = k_len / 2;
    const std::ptrdiff_t step = rs + 1;
    // Windows first_whole .. last_whole lie inside the matrix with three columns to spare on either side.
    const std::ptrdiff_t first_whole = h + 3, last_whole = n_len - k_len + h - 3;
    const std::ptrdiff_t fold = rows_per_fold(k_len + 6);
    bits4 top = {};
    BandFetch fetch{s, rs, n_len, k_len};
    std::ptrdiff_t scanned = 0;  // rows before this one have been scanned
    auto look_ahead = [&](std::ptrdiff_t n) {
        const std::ptrdiff_t reach = n - h + k_len + kGroup;
        fetch.until = std::min(n_len, reach + kAhead);
        for (const std::ptrdiff_t want = std::min(n_len, reach + kAhead / 2); scanned < want; ++scanned) {
            const BandRow b = band_row(n_len, k_len, scanned);
            fold_magnitudes<true>(top, s + scanned * rs + b.j0, b.j1 - b.j0);
        }
    };
    for (std::ptrdiff_t n = 0; n < n_len;) {
        if (n >= first_whole && n <= last_whole && last_whole - first_whole + 1 >= kGroup) {
            // The last group is pulled back to end on last_whole: the windows it takes again get
            // the same sums again.
            const std::ptrdiff_t g = std::min(n, last_whole - kGroup + 1);
            for (std::ptrdiff_t j = 0; j < 4; ++j) {
                look_ahead(g + j * kBlock);
                double sums[kBlock] = {};
                const double* w = s + (g + j - h) * step;
                for (std::ptrdiff_t r0 = 0; r0 < k_len; r0 += fold)
                    add_aligned_parts<kBlock>(w, rs, 4 * step, k, kld, r0, std::min(k_len, r0 + fold), k_len, fetch,
                                              sums);
                for (int m = 0; m < kBlock; ++m) out[(g + j + 4 * m) * os] = sums[m];
            }
            n = g + kGroup;
            continue;
        }
        // A single window, cut by the matrix edge to the kernel rows and columns lo .. hi - 1.
        look_ahead(n);
        fetch.some(kLinesPerRow * kBlock * 4);
        const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, h - n);
        const std::ptrdiff_t hi = std::min(k_len, n_len - n + h);
        const std::ptrdiff_t side = hi - lo, cut_fold = rows_per_fold(side);
        const double* w = s + (n - h + lo) * step;
        const double* kw = k + lo * (kld + 1);
        double sum = 0.0;
        for (std::ptrdiff_t r0 = 0; r0 < side; r0 += cut_fold)
            add_window_part(w + r0 * rs, rs, kw + r0 * kld, kld, std::min(side - r0, cut_fold), side, &sum);
        out[n * os] = sum;
        ++n;
    }
    look_ahead(n_len);
    return lane_max(top);
}

__attribute__((target("avx2"))) long long slide_rows_avx2(const double* s, std::ptrdiff_t rs, std::ptrdiff_t n_len,
                                                          const double* k, std::ptrdiff_t kld, std::ptrdiff_t k_len,
                                                          double* out, std::ptrdiff_t os) {
    return slide_rows(s, rs, n_len, k, kld, k_len, out, os);
}

long long slide_rows_base(const double* s, std::ptrdiff_t rs, std::ptrdiff_t n_len, const double* k,
                          std::ptrdiff_t kld, std::ptrdiff_t k_len, double* out, std::ptrdiff_t os) {
    return slide_rows(s, rs, n_len, k, kld, k_len, out, os);
}

// Any strides: one window at a time, each kernel row summed on its own before it joins the total.
long long slide_strided(const double* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t n_len,
                        const double* k, std::ptrdiff_t kld, std::ptrdiff_t k_len, double* out, std::ptrdiff_t os) {
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

}  // namespace

double kernel_max(const double* k, std::ptrdiff_t kld, std::ptrdiff_t k_len) {
    bits4 top = {};
    for (std::ptrdiff_t r = 0; r < k_len; ++r) fold_magnitudes<false>(top, k + r * kld, k_len);
    return from_bits(lane_max(top));
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

double diagonal_slide(const double* s, std::ptrdiff_t rs, std::ptrdiff_t cs, std::ptrdiff_t n_len, const double* k,
                      std::ptrdiff_t kld, std::ptrdiff_t k_len, double* out, std::ptrdiff_t os) {
    if (k_len == 0) return 0.0;  // every window is empty: out stays 0.0 and no cell is read
    long long top;
    if (cs != 1)
        top = slide_strided(s, rs, cs, n_len, k, kld, k_len, out, os);
    else if (__builtin_cpu_supports("avx2"))
        top = slide_rows_avx2(s, rs, n_len, k, kld, k_len, out, os);
    else
        top = slide_rows_base(s, rs, n_len, k, kld, k_len, out, os);
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
    // The loop reads the kernel from a copy with zero columns on either side (L x (L + 8)).
    const Py_ssize_t kld = k_len + 2 * detail::kKernelPad;
    std::unique_ptr<double, RawFree> copy(
        static_cast<double*>(PyMem_RawMalloc(sizeof(double) * static_cast<size_t>(std::max<Py_ssize_t>(1, k_len * kld)))));
    if (!copy) return false;
    const double* kp = copy.get() + detail::kKernelPad;
    double k_max = 0.0;
    run_loop(k_len * k_len, [&] {
        detail::copy_kernel(k.data(), ks0, ks1, k_len, copy.get());
        k_max = detail::kernel_max(kp, kld, k_len);
    });
    if (!(k_max <= DBL_MAX)) return false;  // inf * 0 on the numpy path's border raises, NaN spreads

    Ref out = new_curve(n_len);
    View o;
    if (!out || !o.acquire(out, 1, true)) return false;
    double s_max = 0.0;
    FpWatch w;
    run_loop(n_len * k_len * std::min(n_len, k_len), [&] {
        s_max = detail::diagonal_slide(s.data(), rs, cs, n_len, kp, kld, k_len, o.data(), o.stride(0));
    });
    if (!w.clean()) return false;
    // Below this bound no product and no partial sum of a window, in any order, can overflow, so
    // the order of the sums decides nothing but rounding; an infinite cell could meet NaN or an
    // infinity of the other sign in an order the numpy path does not take.
    const double side = static_cast<double>(std::min(n_len, k_len));
    if (!(s_max <= DBL_MAX) || !(k_max * s_max * side * side <= DBL_MAX / 4)) return false;
    result = out;
    return true;
}

}  // namespace unit7::native
