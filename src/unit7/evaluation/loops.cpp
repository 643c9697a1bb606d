// loops.cpp: the kernels of find_region_peaks and of the matching of pos_neg_split: pointers,
// lengths and strides in, positions and flags out; nothing here knows of Python.
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
//
// Another thread may write the inputs while these loops run. The peaks' positions only ever grow,
// so there are never more of them than samples, and every write is checked against the room the
// caller gave. The matching reads the references once, into its own copy, and checks, searches and
// sorts only that copy, so its comparisons stay those of one set of finite values.
#include "evaluation/loops.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

namespace unit7::loops {

// ---- region peaks --------------------------------------------------------------------------

namespace {

// True when some x[i] is NaN (the scan is branch-free within blocks, so it vectorises).
bool has_nan(const double* x, ix s, ix len) {
    constexpr ix kBlock = 1024;
    for (ix i0 = 0; i0 < len; i0 += kBlock) {
        const ix i1 = std::min(len, i0 + kBlock);
        bool nan = false;
        if (s == 1)
            for (ix i = i0; i < i1; ++i) nan |= x[i] != x[i];
        else
            for (ix i = i0; i < i1; ++i) nan |= x[i * s] != x[i * s];
        if (nan) return true;
    }
    return false;
}

// The peaks of x (len >= 1) by the skipping scan, written to out in increasing order; returns
// their number, or -1 when there are more than `room`. n only grows, so no position is written
// twice, whatever the samples say when they change under the scan.
template <class T, bool Unit>
ix skipping_peaks(const T* x, ix s, ix len, ix region_len, int64_t* out, ix room) {
    auto at = [x, s](ix i) { return Unit ? x[i] : x[i * s]; };
    const ix before = region_len / 2;
    const ix after = region_len - 1 - before;
    ix count = 0;
    ix n = 0;
    while (n < len) {
        const T centre = at(n);
        const ix stop = std::min(n + after, len - 1);
        ix j = n + 1;
        while (j <= stop && at(j) < centre) ++j;
        if (j <= stop) {  // x[j] >= x[n]: n and the positions between are no peaks
            n = j;
            continue;
        }
        bool peak = !(n == 0 && before > 0) && !(n == len - 1 && after > 0);
        for (ix i = std::max<ix>(0, n - before); peak && i < n; ++i) peak = at(i) < centre;
        if (peak) {
            if (count == room) return -1;
            out[count++] = n;
        }
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
template <class T>
inline T larger(T p, T q) {
    return p < q ? q : p;
}

// The peaks of x (len >= 1, 2 <= region_len, before <= kShortBefore) into out; returns their
// number, or -1 when x holds a NaN or there are more than `room`. Each chunk is decided from its
// own copy of the samples, and writes only positions of its own.
template <class T>
inline __attribute__((always_inline)) ix sliding_peaks(const T* x, ix s, ix len, ix region_len, int64_t* out,
                                                       ix room, PeakScratch<T>& sc) {
    constexpr T kLowest = std::numeric_limits<T>::has_infinity ? -std::numeric_limits<T>::infinity()
                                                               : std::numeric_limits<T>::lowest();
    const ix before = region_len / 2, after = region_len - 1 - before;
    ix k = 1;
    while (2 * k <= after) k *= 2;
    T* y = sc.y.data();
    int64_t* hit = sc.hit.data();
    ix count = 0;
    for (ix c0 = 0; c0 < len; c0 += kPeakChunk) {
        const ix c_len = std::min(kPeakChunk, len - c0);
        const ix m = c_len + before + after;  // y[i] is sample c0 - before + i
        const ix first = c0 - before;
        const ix i0 = std::max<ix>(0, -first), i1 = std::min(m, len - first);
        for (ix i = 0; i < i0; ++i) y[i] = kLowest;
        if (s == 1)
            std::memcpy(y + i0, x + first + i0, (i1 - i0) * sizeof(T));
        else
            for (ix i = i0; i < i1; ++i) y[i] = x[(first + i) * s];
        for (ix i = i1; i < m; ++i) y[i] = kLowest;
        if constexpr (std::numeric_limits<T>::has_quiet_NaN) {
            int64_t nan = 0;
            for (ix i = i0; i < i1; ++i) nan += y[i] != y[i];
            if (nan) return -1;
        }

        const T* lv = y;  // level k: lv[i] = max(y[i .. i + k - 1]) for i <= m - k
        for (ix j = 1; j < k; j *= 2) {
            T* dst = sc.level.data();
            for (ix i = 0; i + 2 * j <= m; ++i) dst[i] = larger(lv[i], lv[i + j]);
            lv = dst;
        }

        const T* centre = y + before;
        const T* b0 = lv;  // ahead of position c0 + t: y[t .. t + before - 1]
        const T* b1 = lv + before - k;
        if (after == 0) {
            for (ix t = 0; t < c_len; ++t) hit[t] = centre[t] > larger(b0[t], b1[t]);
        } else {
            const T* a0 = lv + before + 1;  // behind it: y[t + before + 1 .. t + before + after]
            const T* a1 = lv + before + 1 + after - k;
            for (ix t = 0; t < c_len; ++t)
                hit[t] = (centre[t] > larger(b0[t], b1[t])) & (centre[t] > larger(a0[t], a1[t]));
        }
        for (ix t = c_len; t < c_len + 4; ++t) hit[t] = 0;
        for (ix t = 0; t < c_len; t += 4) {  // peaks are sparse: skip four at a time
            if ((hit[t] | hit[t + 1] | hit[t + 2] | hit[t + 3]) == 0) continue;
            for (ix u = t; u < t + 4; ++u)
                if (hit[u]) {
                    if (count == room) return -1;
                    out[count++] = c0 + u;
                }
        }
    }
    // The repeated end samples: position 0 meets copies of itself, and so does len - 1 when
    // the window reaches past it.
    ix lo = count > 0 && out[0] == 0 ? 1 : 0;
    if (count > lo && after > 0 && out[count - 1] == len - 1) --count;
    if (lo) {
        std::memmove(out, out + 1, (count - 1) * sizeof *out);
        --count;
    }
    return count;
}

#if defined(__x86_64__) || defined(__i386__)
#define UNIT7_PEAKS_X86 1
// The comparisons of the sliding maxima take four lanes at a time with AVX2.
template <class T>
__attribute__((target("avx2"))) ix sliding_peaks_avx2(const T* x, ix s, ix len, ix region_len, int64_t* out,
                                                      ix room, PeakScratch<T>& sc) {
    return sliding_peaks(x, s, len, region_len, out, room, sc);
}
#else
#define UNIT7_PEAKS_X86 0
#endif

template <class T>
ix sliding_peaks_base(const T* x, ix s, ix len, ix region_len, int64_t* out, ix room, PeakScratch<T>& sc) {
    return sliding_peaks(x, s, len, region_len, out, room, sc);
}

}  // namespace

template <class T>
ix region_peaks(const T* x, ix s, ix len, ix region_len, int64_t* out, ix room, PeakScratch<T>* sc) {
    if (sc) {
#if UNIT7_PEAKS_X86
        static const bool avx2 = __builtin_cpu_supports("avx2");
        if (avx2) return sliding_peaks_avx2(x, s, len, region_len, out, room, *sc);
#endif
        return sliding_peaks_base(x, s, len, region_len, out, room, *sc);
    }
    if constexpr (std::numeric_limits<T>::has_quiet_NaN) {
        if (has_nan(x, s, len)) return -1;
    }
    return s == 1 ? skipping_peaks<T, true>(x, 1, len, region_len, out, room)
                  : skipping_peaks<T, false>(x, s, len, region_len, out, room);
}

// ---- matching --------------------------------------------------------------------------------

namespace {

// Smallest p in [lo, hi] with pred(p), for pred false below some point and true from it on
// (pred(hi) itself is never asked; hi stands for "none").
template <class Pred>
ix bisect(ix lo, ix hi, Pred pred) {
    while (lo < hi) {
        const ix mid = lo + (hi - lo) / 2;
        if (pred(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// The same over [0, len], galloping out from `hint` (0 <= hint < len): cheap when the answer is near.
template <class Pred>
ix first_true(ix len, ix hint, Pred pred) {
    ix lo, hi, step = 1;
    if (pred(hint)) {
        hi = hint;
        for (;; step *= 2) {
            const ix p = hi - step;
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
            const ix p = hint + step;
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

// The lowest free reference index over runs of sorted positions; taken ones count as kTaken.
class FreeTree {
public:
    // `index[p]` is the reference at sorted position p; `tree` has room for 2 * width entries.
    FreeTree(const uint32_t* index, ix len, uint32_t* tree, ix width)
        : t_(tree), width_(width) {
        for (ix p = 0; p < width; ++p) t_[width + p] = p < len ? index[p] : kTaken;
        for (ix i = width - 1; i >= 1; --i) t_[i] = std::min(t_[2 * i], t_[2 * i + 1]);
    }

    // The lowest free reference index among sorted positions [lo, hi), or kTaken.
    uint32_t lowest(ix lo, ix hi) const {
        uint32_t best = kTaken;
        if (hi - lo <= kShortRun) {  // the leaves themselves
            for (ix p = lo; p < hi; ++p) best = std::min(best, t_[width_ + p]);
            return best;
        }
        for (ix a = lo + width_, b = hi + width_; a < b; a /= 2, b /= 2) {
            if (a & 1) best = std::min(best, t_[a++]);
            if (b & 1) best = std::min(best, t_[--b]);
        }
        return best;
    }

    // Marks position p taken; the ancestors change up to the first one whose minimum stays.
    void take(ix p) {
        ix i = p + width_;
        t_[i] = kTaken;
        for (i /= 2; i >= 1; i /= 2) {
            const uint32_t m = std::min(t_[2 * i], t_[2 * i + 1]);
            if (m == t_[i]) break;
            t_[i] = m;
        }
    }

private:
    static constexpr ix kShortRun = 16;

    uint32_t* t_;
    ix width_;
};

struct Extremes {
    bool finite = true;
    double lo = INFINITY, hi = -INFINITY;
};

template <class V>
Extremes extremes(const V& v, ix len) {
    Extremes e;
    for (ix i = 0; i < len; ++i) {
        const double x = v[i];
        e.finite &= std::isfinite(x);
        e.lo = std::min(e.lo, x);
        e.hi = std::max(e.hi, x);
    }
    return e;
}

bool is_sorted(const double* v, ix len) {
    for (ix i = 1; i < len; ++i)
        if (!(v[i - 1] <= v[i])) return false;
    return true;
}

// Smallest p in [0, len] with pred(p) (len >= 1), by halving without branches.
template <class Pred>
ix first_true_anywhere(ix len, Pred pred) {
    ix base = 0;
    for (ix n = len; n > 1; n -= n / 2) base = pred(base + n / 2) ? base : base + n / 2;
    return base + !pred(base);
}

}  // namespace

bool match(Strided est, ix est_len, Strided ref, ix ref_len, double tau, MatchScratch& m, uint8_t* est_label,
           ix els, uint8_t* ref_label, ix rls) {
    if (est_len == 0 || ref_len == 0) return true;
    if (static_cast<ix>(m.value.size()) < ref_len || m.width < ref_len) return false;
    // The references are read once: every check, search and comparison below is on this copy,
    // whatever happens to ref meanwhile.
    double* value = m.value.data();
    for (ix p = 0; p < ref_len; ++p) value[p] = ref[p];
    const Extremes ee = extremes(est, est_len), re = extremes(value, ref_len);
    if (!ee.finite || !re.finite) return false;
    if (!std::isfinite(ee.hi - re.lo) || !std::isfinite(re.hi - ee.lo)) return false;
    if (!(tau > 0)) return true;  // |e - r| < tau never holds

    if (is_sorted(value, ref_len)) {
        for (ix p = 0; p < ref_len; ++p) m.index[p] = static_cast<uint32_t>(p);
    } else {
        // Finite values, so Keyed orders them strictly and weakly.
        Keyed* keyed = m.keyed.get();
        for (ix p = 0; p < ref_len; ++p) keyed[p] = {value[p], static_cast<uint32_t>(p)};
        std::sort(keyed, keyed + ref_len);
        for (ix p = 0; p < ref_len; ++p) {
            value[p] = keyed[p].value;
            m.index[p] = keyed[p].index;
        }
    }
    for (ix p = 0; p < ref_len; ++p) m.position[m.index[p]] = static_cast<uint32_t>(p);
    FreeTree free(m.index.data(), ref_len, m.tree.data(), m.width);

    const double neg_tau = -tau;
    ix lo = 0, hi = 0;
    double last = -INFINITY;
    for (ix ei = 0; ei < est_len; ++ei) {
        const double e = est[ei];
        // |d| < tau <=> -tau < d < tau, with d = e - r falling as r grows. Estimates that come in
        // increasing order start from the run of the one before; the run is short.
        auto below_tau = [&](ix p) { return e - value[p] < tau; };
        lo = e >= last ? first_true(ref_len, std::min(lo, ref_len - 1), below_tau)
                       : first_true_anywhere(ref_len, below_tau);
        hi = first_true(ref_len, std::min(lo, ref_len - 1), [&](ix p) { return e - value[p] <= neg_tau; });
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


template ix region_peaks<double>(const double*, ix, ix, ix, int64_t*, ix, PeakScratch<double>*);
template ix region_peaks<int64_t>(const int64_t*, ix, ix, ix, int64_t*, ix, PeakScratch<int64_t>*);

}  // namespace unit7::loops
