// kernels.cpp: the checkerboard and Gaussian kernels (make_checkerboard, make_2d_gaussian).
#include "bodies.hpp"

namespace unit7::body {

Ref make_checkerboard(Frame& fr, PyObject* const*) { not_implemented(fr); }

Ref make_2d_gaussian(Frame& fr, PyObject* const*) { not_implemented(fr); }

}  // namespace unit7::body
