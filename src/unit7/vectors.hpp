// vectors.hpp: the vector types the native loops share, and their loads and stores at any alignment.
// Python-free, like the loops themselves.
#pragma once

namespace unit7::loops {

// Four doubles; with AVX2 one register, otherwise a pair of SSE2 registers. Never passed or
// returned by value, so that no function signature depends on the instruction set.
typedef double v4 __attribute__((vector_size(32)));
typedef long long bits4 __attribute__((vector_size(32)));

typedef double v4_unaligned __attribute__((vector_size(32), aligned(8), may_alias));  // for loads and stores

inline __attribute__((always_inline)) void load(v4& v, const double* p) {
    v = *reinterpret_cast<const v4_unaligned*>(p);
}
inline __attribute__((always_inline)) void store(double* p, const v4& v) {
    *reinterpret_cast<v4_unaligned*>(p) = v;
}

}  // namespace unit7::loops
