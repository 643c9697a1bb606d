// column.cpp: the derivative kernel and column novelty (make_derivative_kernel, column_derivative).
#include "bodies.hpp"

namespace unit7::body {

Ref make_derivative_kernel(Frame& fr, PyObject* const*) { not_implemented(fr); }

Ref column_derivative(Frame& fr, PyObject* const*) { not_implemented(fr); }

}  // namespace unit7::body
