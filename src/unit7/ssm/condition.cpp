// condition.cpp: thresholding and scaling (thresh_and_scale) and the time-lag transform (make_lag_matrix).
#include "bodies.hpp"

namespace unit7::body {

Ref thresh_and_scale(Frame& fr, PyObject* const*) { not_implemented(fr); }

Ref make_lag_matrix(Frame& fr, PyObject* const*) { not_implemented(fr); }

}  // namespace unit7::body
