// bodies.hpp: the bodies of the fourteen functions; each reads like the algorithm it implements.
#pragma once

#include "frame/function.hpp"
#include "frame/ops.hpp"

namespace unit7::body {

// ssm/
Ref make_ssm(Frame& fr, PyObject* const* args);
Ref audio_to_ssm(Frame& fr, PyObject* const* args);
Ref make_lag_matrix(Frame& fr, PyObject* const* args);
Ref thresh_and_scale(Frame& fr, PyObject* const* args);
Ref diagonal_smoothing(Frame& fr, PyObject* const* args);

// novelty/
Ref make_checkerboard(Frame& fr, PyObject* const* args);
Ref make_2d_gaussian(Frame& fr, PyObject* const* args);
Ref diagonal_novelty(Frame& fr, PyObject* const* args);
Ref diagonal_slide(Frame& fr, PyObject* const* args);
Ref make_derivative_kernel(Frame& fr, PyObject* const* args);
Ref column_derivative(Frame& fr, PyObject* const* args);

// evaluation/
Ref find_region_peaks(Frame& fr, PyObject* const* args);
Ref pos_neg_split(Frame& fr, PyObject* const* args);
Ref calc_prf(Frame& fr, PyObject* const* args);

}  // namespace unit7::body

namespace unit7 {

// The body of a function whose algorithm has not landed yet.
[[noreturn]] inline void not_implemented(const Frame& fr) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", fr.def.name);
    throw Raised{};
}

}  // namespace unit7
