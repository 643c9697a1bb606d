// diagonal.cpp: novelty along the main diagonal (diagonal_slide, diagonal_novelty).
#include "bodies.hpp"

namespace unit7::body {

Ref diagonal_slide(Frame& fr, PyObject* const*) { not_implemented(fr); }

Ref diagonal_novelty(Frame& fr, PyObject* const*) { not_implemented(fr); }

}  // namespace unit7::body
