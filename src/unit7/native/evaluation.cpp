// evaluation.cpp: the native loops of find_region_peaks and pos_neg_split.
//
// Peaks. Position n is a peak when x[n] is strictly greater than every other sample of its
// window, the extended indices n .. n + region_len - 1, which hold `before` = region_len // 2
// samples ahead of the centre and `after` = region_len - 1 - before behind it, ends repeated.
// A repeated end sample only matters to the end position itself (every other position has the
// real end sample in its window anyway), so with the windows cut at the ends:
//     peak(n) <=> x[j] < x[n] for all j != n in [n - before, n + after] within the signal,
//                 and not (n == 0 and before > 0), and not (n == len - 1 and after > 0).
// Windows of up to 2 * kShortBefore + 1 samples go by sliding maxima (below), branch-free and
// four lanes at a time. Longer ones go by a skipping scan that never looks at a sample twice for
// long: from a candidate n it walks right while the samples stay below x[n]. A sample j that does
// not (j within `after` of n) rules out n and every position between them, whose windows all
// hold j; the next candidate is j. When the whole right part stays below x[n], each of those
// samples has n in its window (after <= before) and is ruled out, so the next candidate is
// n + after + 1, and n itself is a peak when its left part is below x[n] too. About three
// comparisons per sample, whatever region_len is. Either way the result comes out in increasing
// order. Signals holding a NaN stay with the numpy path.
//
// Matching. Each estimate, in input order, takes the free reference of lowest index whose
// distance |fl(e - r)| is below tau. fl(e - r) falls as r grows, so in the references sorted by
// value the admissible ones form one run, found by two searches (galloping from the previous
// estimate's run while the estimates increase, halving otherwise); a tree over the sorted
// positions holds the lowest free index of each stretch.
// O((len(est) + len(ref)) log len(ref)), against len(est) * len(ref) differences on the numpy
// path, whose only floating-point report on finite inputs is an overflow of some e - r, which
// happens exactly when one of the two extreme differences overflows (rounding is monotonic).
#include "native/paths.hpp"

#include "frame/ops.hpp"
#include "native/guard.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace unit7::native {

namespace detail {

// ---- region peaks --------------------------------------------------------------------------

// True when some x[i] is NaN (the scan is branch-free within blocks, so it vectorises).
bool has_nan(const double* x, std::ptrdiff_t s, std::ptrdiff_t len) {
    constexpr std::ptrdiff_t kBlock = 1024;
    for (std::ptrdiff_t i0 = 0; i0 < len; i0 += kBlock) {
        const std::ptrdiff_t i1 = std::min(len, i0 + kBlock);
        bool nan = false;
        if (s == 1)
            for (std::ptrdiff_t i = i0; i < i1; ++i) nan |= x[i] != x[i];
        else
            for (std::ptrdiff_t i = i0; i < i1; ++i) nan |= x[i * s] != x[i * s];
        if (nan) return true;
    }
    return false;
}

// Room for the peaks of a signal of length len: two peaks lie more than `after` apart.
std::ptrdiff_t peaks_bound(std::ptrdiff_t len, std::ptrdiff_t region_len) {
    return len / (region_len - region_len / 2) + 1;
}

// The peaks of x (len >= 1, no NaN) by the skipping scan, written to out in increasing order;
// returns their number.
template <class T, bool Unit>
std::ptrdiff_t skipping_peaks(const T* x, std::ptrdiff_t s, std::ptrdiff_t len, std::ptrdiff_t region_len,
                              int64_t* out) {
    auto at = [x, s](std::ptrdiff_t i) { return Unit ? x[i] : x[i * s]; };
    const std::ptrdiff_t before = region_len / 2;
    const std::ptrdiff_t after = region_len - 1 - before;
    std::ptrdiff_t count = 0;
    std::ptrdiff_t n = 0;
    while (n < len) {
        const T centre = at(n);
        const std::ptrdiff_t stop = std::min(n + after, len - 1);
        std::ptrdiff_t j = n + 1;
        while (j <= stop && at(j) < centre) ++j;
        if (j <= stop) {  // x[j] >= x[n]: n and the positions between are no peaks
            n = j;
            continue;
        }
        bool peak = !(n == 0 && before > 0) && !(n == len - 1 && after > 0);
        for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, n - before); peak && i < n; ++i) peak = at(i) < centre;
        if (peak) out[count++] = n;
        n += after + 1;
    }
    return count;
}

// Short windows go by sliding maxima instead, which keep the loops free of branches: level 2k of
// a stretch y, max(y[i .. i + 2k - 1]), is the larger of level k at i and at i + k, and a run of
// w samples is covered by two overlapping runs of k samples whenever w / 2 <= k <= w. With k the
// largest power of two <= after (1 when after is 0), one level serves both parts of every
// window, the `before` samples ahead of the centre and the `after` behind it (after <= before
// <= after + 1). The signal goes in chunks, each copied with `before` samples ahead and `after`
// behind; samples beyond the ends read as the lowest value (-inf for doubles), which beats no
// sample that could be a peak: with region_len >= 2 a window always holds some other sample,
// which the lowest value cannot exceed. The repeated end samples then matter only to positions
// 0 and len - 1.
constexpr std::ptrdiff_t kShortBefore = 64;  // the longest `before` that goes by sliding maxima
constexpr std::ptrdiff_t kChunk = 1024;

template <class T>
struct ShortScratch {
    std::vector<T> y, level;
    std::vector<int64_t> hit;  // as wide as T, so that the loop that fills it vectorises
    ShortScratch(std::ptrdiff_t len, std::ptrdiff_t region_len)
        : y(std::min(kChunk, len) + region_len), level(y.size()), hit(std::min(kChunk, len) + 4) {}
};

template <class T>
inline T larger(T p, T q) {
    return p < q ? q : p;
}

// The peaks of x (len >= 1, 2 <= region_len, before <= kShortBefore) into out; returns their
// number, or -1 when x holds a NaN.
template <class T>
inline __attribute__((always_inline)) std::ptrdiff_t sliding_peaks(const T* x, std::ptrdiff_t s, std::ptrdiff_t len,
                                                                  std::ptrdiff_t region_len, int64_t* out,
                                                                  ShortScratch<T>& sc) {
    constexpr T kLowest = std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                                               : std::numeric_limits<T>::lowest();
    const std::ptrdiff_t before = region_len / 2, after = region_len - 1 - before;
    std::ptrdiff_t k = 1;
    while (2 * k <= after) k *= 2;
    T* y = sc.y.data();
    int64_t* hit = sc.hit.data();
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t c0 = 0; c0 < len; c0 += kChunk) {
        const std::ptrdiff_t c_len = std::min(kChunk, len - c0);
        const std::ptrdiff_t m = c_len + before + after;  // y[i] is sample c0 - before + i
        const std::ptrdiff_t first = c0 - before;
        const std::ptrdiff_t i0 = std::max<std::ptrdiff_t>(0, -first), i1 = std::min(m, len - first);
        for (std::ptrdiff_t i = 0; i < i0; ++i) y[i] = kLowest;
        if (s == 1)
            std::memcpy(y + i0, x + first + i0, (i1 - i0) * sizeof(T));
        else
            for (std::ptrdiff_t i = i0; i < i1; ++i) y[i] = x[(first + i) * s];
        for (std::ptrdiff_t i = i1; i < m; ++i) y[i] = kLowest;
        if constexpr (std::numeric_limits<T>::has_quiet_NaN) {
            int64_t nan = 0;
            for (std::ptrdiff_t i = i0; i < i1; ++i) nan += y[i] != y[i];
            if (nan) return -1;
        }

        const T* lv = y;  // level k: lv[i] = max(y[i .. i + k - 1]) for i <= m - k
        for (std::ptrdiff_t j = 1; j < k; j *= 2) {
            T* dst = sc.level.data();
            for (std::ptrdiff_t i = 0; i + 2 * j <= m; ++i) dst[i] = larger(lv[i], lv[i + j]);
            lv = dst;
        }

        const T* centre = y + before;
        const T* b0 = lv;  // ahead of position c0 + t: y[t .. t + before - 1]
        const T* b1 = lv + before - k;
        if (after == 0) {
            for (std::ptrdiff_t t = 0; t < c_len; ++t) hit[t] = centre[t] > larger(b0[t], b1[t]);
        } else {
            const T* a0 = lv + before + 1;  // behind it: y[t + before + 1 .. t + before + after]
            const T* a1 = lv + before + 1 + after - k;
            for (std::ptrdiff_t t = 0; t < c_len; ++t)
                hit[t] = (centre[t] > larger(b0[t], b1[t])) & (centre[t] > larger(a0[t], a1[t]));
        }
        for (std::ptrdiff_t t = c_len; t < c_len + 4; ++t) hit[t] = 0;
        for (std::ptrdiff_t t = 0; t < c_len; t += 4) {  // peaks are sparse: skip four at a time
            if ((hit[t] | hit[t + 1] | hit[t + 2] | hit[t + 3]) == 0) continue;
            for (std::ptrdiff_t u = t; u < t + 4; ++u)
                if (hit[u]) out[count++] = c0 + u;
        }
    }
    // The repeated end samples: position 0 meets copies of itself, and so does len - 1 when
    // the window reaches past it.
    std::ptrdiff_t lo = count > 0 && out[0] == 0 ? 1 : 0;
    if (count > lo && after > 0 && out[count - 1] == len - 1) --count;
    if (lo) {
        std::memmove(out, out + 1, (count - 1) * sizeof *out);
        --count;
    }
    return count;
}

// The comparisons of the sliding maxima take four lanes at a time with AVX2.
template <class T>
__attribute__((target("avx2"))) std::ptrdiff_t sliding_peaks_avx2(const T* x, std::ptrdiff_t s, std::ptrdiff_t len,
                                                                  std::ptrdiff_t region_len, int64_t* out,
                                                                  ShortScratch<T>& sc) {
    return sliding_peaks(x, s, len, region_len, out, sc);
}

template <class T>
std::ptrdiff_t sliding_peaks_base(const T* x, std::ptrdiff_t s, std::ptrdiff_t len, std::ptrdiff_t region_len,
                                  int64_t* out, ShortScratch<T>& sc) {
    return sliding_peaks(x, s, len, region_len, out, sc);
}

// The peaks of x (len >= 1) into out, in increasing order; returns their number, or -1 when x
// holds a NaN (those signals stay with the numpy path).
template <class T>
std::ptrdiff_t region_peaks(const T* x, std::ptrdiff_t s, std::ptrdiff_t len, std::ptrdiff_t region_len,
                            int64_t* out, ShortScratch<T>* sc) {
    if (sc) {
        static const bool avx2 = __builtin_cpu_supports("avx2");
        return avx2 ? sliding_peaks_avx2(x, s, len, region_len, out, *sc)
                    : sliding_peaks_base(x, s, len, region_len, out, *sc);
    }
    if constexpr (std::numeric_limits<T>::has_quiet_NaN) {
        if (has_nan(x, s, len)) return -1;
    }
    return s == 1 ? skipping_peaks<T, true>(x, 1, len, region_len, out)
                  : skipping_peaks<T, false>(x, s, len, region_len, out);
}

// ---- matching --------------------------------------------------------------------------------

// Smallest p in [lo, hi] with pred(p), for pred false below some point and true from it on
// (pred(hi) itself is never asked; hi stands for "none").
template <class Pred>
std::ptrdiff_t bisect(std::ptrdiff_t lo, std::ptrdiff_t hi, Pred pred) {
    while (lo < hi) {
        const std::ptrdiff_t mid = lo + (hi - lo) / 2;
        if (pred(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// The same over [0, len], galloping out from `hint` (0 <= hint < len): cheap when the answer is near.
template <class Pred>
std::ptrdiff_t first_true(std::ptrdiff_t len, std::ptrdiff_t hint, Pred pred) {
    std::ptrdiff_t lo, hi, step = 1;
    if (pred(hint)) {
        hi = hint;
        for (;; step *= 2) {
            const std::ptrdiff_t p = hi - step;
            if (p < 0) {
                lo = 0;
                break;
            }
            if (!pred(p)) {
                lo = p + 1;
                break;
            }
            hi = p;
        }
    } else {
        lo = hint + 1;
        for (;; step *= 2) {
            const std::ptrdiff_t p = hint + step;
            if (p >= len) {
                hi = len;
                break;
            }
            if (pred(p)) {
                hi = p;
                break;
            }
            lo = p + 1;
        }
    }
    return bisect(lo, hi, pred);
}

constexpr uint32_t kTaken = UINT32_MAX;

// The lowest free reference index over runs of sorted positions; taken ones count as kTaken.
class FreeTree {
public:
    // `index[p]` is the reference at sorted position p; `tree` has room for 2 * width entries.
    FreeTree(const uint32_t* index, std::ptrdiff_t len, uint32_t* tree, std::ptrdiff_t width)
        : t_(tree), width_(width) {
        for (std::ptrdiff_t p = 0; p < width; ++p) t_[width + p] = p < len ? index[p] : kTaken;
        for (std::ptrdiff_t i = width - 1; i >= 1; --i) t_[i] = std::min(t_[2 * i], t_[2 * i + 1]);
    }

    // The lowest free reference index among sorted positions [lo, hi), or kTaken.
    uint32_t lowest(std::ptrdiff_t lo, std::ptrdiff_t hi) const {
        uint32_t best = kTaken;
        if (hi - lo <= kShortRun) {  // the leaves themselves
            for (std::ptrdiff_t p = lo; p < hi; ++p) best = std::min(best, t_[width_ + p]);
            return best;
        }
        for (std::ptrdiff_t a = lo + width_, b = hi + width_; a < b; a /= 2, b /= 2) {
            if (a & 1) best = std::min(best, t_[a++]);
            if (b & 1) best = std::min(best, t_[--b]);
        }
        return best;
    }

    // Marks position p taken; the ancestors change up to the first one whose minimum stays.
    void take(std::ptrdiff_t p) {
        std::ptrdiff_t i = p + width_;
        t_[i] = kTaken;
        for (i /= 2; i >= 1; i /= 2) {
            const uint32_t m = std::min(t_[2 * i], t_[2 * i + 1]);
            if (m == t_[i]) break;
            t_[i] = m;
        }
    }

private:
    static constexpr std::ptrdiff_t kShortRun = 16;

    uint32_t* t_;
    std::ptrdiff_t width_;
};

struct Strided {
    const double* p;
    std::ptrdiff_t s;
    double operator[](std::ptrdiff_t i) const { return p[i * s]; }
};

struct Extremes {
    bool finite = true;
    double lo = INFINITY, hi = -INFINITY;
};

Extremes extremes(Strided v, std::ptrdiff_t len) {
    Extremes e;
    for (std::ptrdiff_t i = 0; i < len; ++i) {
        const double x = v[i];
        e.finite &= std::isfinite(x);
        e.lo = std::min(e.lo, x);
        e.hi = std::max(e.hi, x);
    }
    return e;
}

// The scratch of a matching: the references sorted by value, their indices and the sorted
// position of each index, and the tree.
struct MatchScratch {
    std::vector<double> value;
    std::vector<uint32_t> index, position;
    std::vector<uint32_t> tree;
    std::vector<std::pair<double, uint32_t>> pairs;  // for sorting references that come unsorted
    std::ptrdiff_t width = 1;

    MatchScratch(std::ptrdiff_t ref_len, bool sorted)
        : value(ref_len), index(ref_len), position(ref_len), pairs(sorted ? 0 : ref_len) {
        while (width < ref_len) width *= 2;
        tree.resize(2 * width);
    }
};

bool is_sorted(Strided v, std::ptrdiff_t len) {
    for (std::ptrdiff_t i = 1; i < len; ++i)
        if (!(v[i - 1] <= v[i])) return false;
    return true;
}

// Smallest p in [0, len] with pred(p) (len >= 1), by halving without branches.
template <class Pred>
std::ptrdiff_t first_true_anywhere(std::ptrdiff_t len, Pred pred) {
    std::ptrdiff_t base = 0;
    for (std::ptrdiff_t n = len; n > 1; n -= n / 2) base = pred(base + n / 2) ? base : base + n / 2;
    return base + !pred(base);
}

// The result of the greedy matching, as flags set in est_label / ref_label (all false on entry).
// Returns false, with the flags untouched, when some value is not finite or some e - r overflows:
// those inputs stay with the numpy path.
bool match(Strided est, std::ptrdiff_t est_len, Strided ref, std::ptrdiff_t ref_len, double tau, MatchScratch& m,
           uint8_t* est_label, std::ptrdiff_t els, uint8_t* ref_label, std::ptrdiff_t rls) {
    if (est_len == 0 || ref_len == 0) return true;
    const Extremes ee = extremes(est, est_len), re = extremes(ref, ref_len);
    if (!ee.finite || !re.finite) return false;
    if (!std::isfinite(ee.hi - re.lo) || !std::isfinite(re.hi - ee.lo)) return false;
    if (!(tau > 0)) return true;  // |e - r| < tau never holds

    if (m.pairs.empty()) {
        for (std::ptrdiff_t p = 0; p < ref_len; ++p) {
            m.value[p] = ref[p];
            m.index[p] = static_cast<uint32_t>(p);
        }
    } else {
        for (std::ptrdiff_t p = 0; p < ref_len; ++p) m.pairs[p] = {ref[p], static_cast<uint32_t>(p)};
        std::sort(m.pairs.begin(), m.pairs.end());
        for (std::ptrdiff_t p = 0; p < ref_len; ++p) {
            m.value[p] = m.pairs[p].first;
            m.index[p] = m.pairs[p].second;
        }
    }
    for (std::ptrdiff_t p = 0; p < ref_len; ++p) m.position[m.index[p]] = static_cast<uint32_t>(p);
    FreeTree free(m.index.data(), ref_len, m.tree.data(), m.width);

    const double* value = m.value.data();
    const double neg_tau = -tau;
    std::ptrdiff_t lo = 0, hi = 0;
    double last = -INFINITY;
    for (std::ptrdiff_t ei = 0; ei < est_len; ++ei) {
        const double e = est[ei];
        // |d| < tau <=> -tau < d < tau, with d = e - r falling as r grows. Estimates that come in
        // increasing order start from the run of the one before; the run is short.
        auto below_tau = [&](std::ptrdiff_t p) { return e - value[p] < tau; };
        lo = e >= last ? first_true(ref_len, std::min(lo, ref_len - 1), below_tau)
                       : first_true_anywhere(ref_len, below_tau);
        hi = first_true(ref_len, std::min(lo, ref_len - 1), [&](std::ptrdiff_t p) { return e - value[p] <= neg_tau; });
        last = e;
        if (lo >= hi) continue;
        const uint32_t ri = free.lowest(lo, hi);
        if (ri == kTaken) continue;
        est_label[ei * els] = 1;
        ref_label[ri * rls] = 1;
        free.take(m.position[ri]);
    }
    return true;
}

}  // namespace detail

namespace {

// A one-dimensional buffer of an exact ndarray holding 8-byte native integers or booleans.
class Items {
public:
    enum Kind { int64, boolean };

    Items() = default;
    ~Items() {
        if (held_) PyBuffer_Release(&buf_);
    }
    Items(const Items&) = delete;
    Items& operator=(const Items&) = delete;

    bool acquire(PyObject* obj, Kind kind, bool writable) {
        if (!is_exact_ndarray(obj)) return false;
        if (PyObject_GetBuffer(obj, &buf_, PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0)) < 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        const char* f = buf_.format;
        if (!f || buf_.ndim != 1) return false;
        if (*f == '@' || *f == '=' || (*f == '<' && little_endian())) ++f;
        const bool ok = kind == int64 ? buf_.itemsize == 8 && (std::strcmp(f, "l") == 0 || std::strcmp(f, "q") == 0)
                                      : buf_.itemsize == 1 && std::strcmp(f, "?") == 0;
        const bool aligned = reinterpret_cast<uintptr_t>(buf_.buf) % buf_.itemsize == 0;
        return ok && aligned && buf_.strides[0] % buf_.itemsize == 0;
    }

    template <class T>
    T* data() const {
        return static_cast<T*>(buf_.buf);
    }
    Py_ssize_t size() const { return buf_.shape[0]; }
    Py_ssize_t stride() const { return buf_.strides[0] / buf_.itemsize; }

private:
    static bool little_endian() {
        const uint16_t one = 1;
        unsigned char low;
        std::memcpy(&low, &one, 1);
        return low == 1;
    }

    Py_buffer buf_{};
    bool held_ = false;
};

// An exact Python int (not bool) that fits a long long.
bool exact_int(PyObject* obj, long long& v) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return overflow == 0;
}

// The result of find_region_peaks from the positions found: np.array([]) for none, as the numpy
// path makes it; otherwise an array of np.arange's dtype, which is the dtype np.array gives the
// numpy integers np.arange yields, made by np.arange and overwritten with the positions.
bool peaks_result(const int64_t* peaks, std::ptrdiff_t count, Ref& result) {
    Ref np = global(N.np);
    if (count == 0) {
        Ref array = attr(np, N.array);
        Ref empty = new_list();
        result = call(array, {empty});
        return true;
    }
    Ref arange = attr(np, N.arange);
    Ref len = integer(count);
    Ref out = call(arange, {len});
    Items items;
    if (!items.acquire(out, Items::int64, true) || items.size() != count) return false;
    int64_t* dst = items.data<int64_t>();
    const Py_ssize_t s = items.stride();
    for (std::ptrdiff_t i = 0; i < count; ++i) dst[i * s] = peaks[i];
    result = std::move(out);
    return true;
}

}  // namespace

bool try_find_region_peaks(PyObject* x, PyObject* region_len, Ref& result) {
    long long r;
    if (!exact_int(region_len, r) || r < 1) return false;
    if (!numpy_untouched({N.pad, N.arange, N.array})) return false;
    View fv;
    Items iv;
    const bool is_float = fv.acquire(x, 1);
    if (!is_float && !iv.acquire(x, Items::int64, false)) return false;
    const std::ptrdiff_t len = is_float ? fv.shape(0) : iv.size();
    const std::ptrdiff_t s = is_float ? fv.stride(0) : iv.stride();
    // Empty signals, and windows so long that the padded copy of the numpy path could fail, stay there.
    if (len < 1 || r > 2 * static_cast<long long>(len) + 2) return false;
    const std::ptrdiff_t region = static_cast<std::ptrdiff_t>(r);
    const bool short_window = region >= 2 && region / 2 <= detail::kShortBefore;

    std::unique_ptr<int64_t[]> peaks;
    std::unique_ptr<detail::ShortScratch<double>> fs;
    std::unique_ptr<detail::ShortScratch<int64_t>> is;
    try {
        peaks.reset(new int64_t[detail::peaks_bound(len, region)]);
        if (short_window && is_float) fs = std::make_unique<detail::ShortScratch<double>>(len, region);
        if (short_window && !is_float) is = std::make_unique<detail::ShortScratch<int64_t>>(len, region);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::ptrdiff_t count = 0;
    FpWatch watch;
    run_loop(len, [&] {
        count = is_float ? detail::region_peaks(fv.data(), s, len, region, peaks.get(), fs.get())
                         : detail::region_peaks(iv.data<int64_t>(), s, len, region, peaks.get(), is.get());
    });
    if (count < 0) return false;
    if (!watch.clean()) return false;
    try {
        return peaks_result(peaks.get(), count, result);
    } catch (const Raised&) {
        PyErr_Clear();
        result = Ref();
        return false;
    }
}

bool try_match_estimates(PyObject* est, PyObject* ref, PyObject* tau, PyObject* est_label, PyObject* ref_label) {
    double t;
    long long ti;
    if (PyFloat_CheckExact(tau)) {
        t = PyFloat_AS_DOUBLE(tau);
        if (std::isnan(t)) return false;
    } else if (exact_int(tau, ti) && ti >= -(1ll << 53) && ti <= (1ll << 53)) {
        t = static_cast<double>(ti);  // exact
    } else {
        return false;
    }
    if (!numpy_untouched({N.zeros, N.logical_and, N.abs, N.nonzero})) return false;
    View ev, rv;
    Items el, rl;
    if (!ev.acquire(est, 1) || !rv.acquire(ref, 1)) return false;
    if (!el.acquire(est_label, Items::boolean, true) || !rl.acquire(ref_label, Items::boolean, true)) return false;
    const std::ptrdiff_t est_len = ev.shape(0), ref_len = rv.shape(0);
    if (el.size() != est_len || rl.size() != ref_len || ref_len >= static_cast<std::ptrdiff_t>(detail::kTaken))
        return false;

    std::unique_ptr<detail::MatchScratch> scratch;
    try {
        const bool sorted = detail::is_sorted({rv.data(), rv.stride(0)}, ref_len);
        scratch = std::make_unique<detail::MatchScratch>(est_len > 0 && t > 0 ? ref_len : 0, sorted);
    } catch (const std::bad_alloc&) {
        return false;
    }
    bool done = false;
    FpWatch watch;
    run_loop(est_len + ref_len, [&] {
        done = detail::match({ev.data(), ev.stride(0)}, est_len, {rv.data(), rv.stride(0)}, ref_len, t, *scratch,
                             el.data<uint8_t>(), el.stride(), rl.data<uint8_t>(), rl.stride());
    });
    if (done && watch.clean()) return true;
    // The labels go back to all false for the numpy path.
    for (std::ptrdiff_t i = 0; i < est_len; ++i) el.data<uint8_t>()[i * el.stride()] = 0;
    for (std::ptrdiff_t i = 0; i < ref_len; ++i) rl.data<uint8_t>()[i * rl.stride()] = 0;
    return false;
}

}  // namespace unit7::native
