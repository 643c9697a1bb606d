// state.hpp: the process-wide module state: namespace, builtins, interned names and shared constants.
#pragma once

#include "frame/ref.hpp"

#include <atomic>
#include <cstdint>

namespace unit7 {

// Every attribute, keyword and global name the bodies use, interned once by the exec step.
#define UNIT7_NAMES(X)                                                                                   \
    X(np) X(numpy) X(make_chromagram) X(cens) X(make_checkerboard) X(make_2d_gaussian) X(diagonal_slide) \
    X(make_derivative_kernel) X(pos_neg_split) X(dot) X(T) X(shape) X(ones) X(zeros) X(empty)            \
    X(arange) X(linspace) X(array) X(atleast_2d) X(outer) X(exp) X(abs) X(sum) X(roll) X(pad)            \
    X(concatenate) X(convolve) X(linalg) X(norm) X(logical_and) X(nonzero) X(all) X(mode) X(edge)        \
    X(full) X(dtype) X(axis) X(keepdims) X(range) X(enumerate) X(unit4) X(order) X(F)

struct Names {
#define UNIT7_DECLARE_NAME(n) PyObject* n = nullptr;
    UNIT7_NAMES(UNIT7_DECLARE_NAME)
#undef UNIT7_DECLARE_NAME
};

// Shared constants of the bodies, made once at initialisation and never changed.
struct Constants {
    PyObject* f0_0 = nullptr;     // 0.0
    PyObject* f0_5 = nullptr;     // 0.5
    PyObject* f1_0 = nullptr;     // 1.0
    PyObject* f22050 = nullptr;   // 22050.0
    PyObject* fm1_5 = nullptr;    // -1.5
    PyObject* i0 = nullptr;       // 0
    PyObject* i1 = nullptr;       // 1
    PyObject* i2 = nullptr;       // 2
    PyObject* i4096 = nullptr;    // 4096
    PyObject* im1 = nullptr;      // -1
    PyObject* full_slice = nullptr;  // slice(None, None, None)
    PyObject* zeros3 = nullptr;      // (0.0, 0.0, 0.0)
};

struct State {
    // The interpreter that first ran the create step (-1 before): the only one the module serves.
    // Atomic, since interpreters with a GIL of their own (3.12) may ask at the same moment.
    std::atomic<int64_t> interp_id{-1};
    PyObject* module = nullptr;     // the process's module object (owned), once an exec step has started
    PyObject* dict = nullptr;       // its namespace (borrowed from the module)
    PyObject* builtins = nullptr;   // the builtins module
    PyObject* range = nullptr;      // builtins taken once at initialisation
    PyObject* enumerate = nullptr;
    Names names;
    Constants c;
};

extern State S;
extern const Names& N;

// Intern the names and create the numeric constants (idempotent: done once per process).
bool state_create_names_and_numbers();
// Create the full slice and the (0.0, 0.0, 0.0) tuple.
bool state_create_objects();

}  // namespace unit7
