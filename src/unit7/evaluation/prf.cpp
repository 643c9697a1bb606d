// prf.cpp: matching estimates with references, and precision, recall and F (pos_neg_split, calc_prf).
#include "bodies.hpp"

namespace unit7::body {

Ref pos_neg_split(Frame& fr, PyObject* const*) { not_implemented(fr); }

Ref calc_prf(Frame& fr, PyObject* const*) { not_implemented(fr); }

}  // namespace unit7::body
