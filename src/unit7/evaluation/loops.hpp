// loops.hpp: the Python-free kernels of the evaluation family (find_region_peaks, the matching of
// pos_neg_split). Each takes raw pointers, lengths and strides counted in elements, and never writes
// past the room its caller names, whatever the inputs hold.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace unit7::loops {

using ix = std::ptrdiff_t;

// ---- region peaks

// Windows whose `before` part (region_len // 2) is at most this go by sliding maxima over chunks of
// kPeakChunk samples, which take the scratch below; longer ones by a skipping scan.
constexpr ix kShortBefore = 64;
constexpr ix kPeakChunk = 1024;

inline bool short_window(ix region_len) { return region_len >= 2 && region_len / 2 <= kShortBefore; }

template <class T>
struct PeakScratch {
    std::vector<T> y, level;
    std::vector<int64_t> hit;  // as wide as T, so that the loop that fills it vectorises
    PeakScratch(ix len, ix region_len)
        : y(std::min(kPeakChunk, len) + region_len), level(y.size()), hit(std::min(kPeakChunk, len) + 4) {}
};

// The peaks of x (len >= 1, stride s, 1 <= region_len) into out, in increasing order, at most
// `room` of them; returns their number, or -1 when x holds a NaN (those signals stay with the numpy
// path) or there would be more than `room`. Positions only grow, so room = len always suffices.
// sc: scratch made for (len, region_len) when short_window(region_len), else null.
template <class T>
ix region_peaks(const T* x, ix s, ix len, ix region_len, int64_t* out, ix room, PeakScratch<T>* sc);

extern template ix region_peaks<double>(const double*, ix, ix, ix, int64_t*, ix, PeakScratch<double>*);
extern template ix region_peaks<int64_t>(const int64_t*, ix, ix, ix, int64_t*, ix, PeakScratch<int64_t>*);

// ---- matching

// Reference counts from this on do not fit the matching's indices.
constexpr uint32_t kTaken = UINT32_MAX;

struct Strided {
    const double* p;
    ix s;
    double operator[](ix i) const { return p[i * s]; }
};

// A reference by value, then index: finite values make this a strict weak order.
struct Keyed {
    double value;
    uint32_t index;
    bool operator<(const Keyed& o) const { return value < o.value || (value == o.value && index < o.index); }
};

// The scratch of a matching of ref_len references: their copy, sorted by value, their indices and
// the sorted position of each index, and the tree.
struct MatchScratch {
    std::vector<double> value;
    std::vector<uint32_t> index, position;
    std::vector<uint32_t> tree;
    std::unique_ptr<Keyed[]> keyed;  // for sorting references that come unsorted; written only then
    ix width = 1;

    explicit MatchScratch(ix ref_len)
        : value(ref_len), index(ref_len), position(ref_len), keyed(new Keyed[std::max<ix>(1, ref_len)]) {
        while (width < ref_len) width *= 2;
        tree.resize(2 * width);
    }
};

// The greedy matching of pos_neg_split: each estimate, in input order, takes the free reference of
// lowest index within tau; flags set in est_label / ref_label (stride els / rls, all false on entry,
// est_len and ref_len of them). Returns false, with the flags untouched, when some value is not
// finite, some e - r overflows (those inputs stay with the numpy path) or m was made for fewer
// references.
bool match(Strided est, ix est_len, Strided ref, ix ref_len, double tau, MatchScratch& m, uint8_t* est_label,
           ix els, uint8_t* ref_label, ix rls);

}  // namespace unit7::loops
