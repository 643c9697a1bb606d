// peaks.cpp: region peak picking (find_region_peaks).
#include "bodies.hpp"

namespace unit7::body {

Ref find_region_peaks(Frame& fr, PyObject* const*) { not_implemented(fr); }

}  // namespace unit7::body
