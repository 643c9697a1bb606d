// smoothing.cpp: averaging along the diagonals of a matrix (diagonal_smoothing).
#include "bodies.hpp"

namespace unit7::body {

Ref diagonal_smoothing(Frame& fr, PyObject* const*) { not_implemented(fr); }

}  // namespace unit7::body
