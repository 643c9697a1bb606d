// guard.hpp: what admits a call to a native loop, and the tools the native paths share.
//
// The numpy path is the definition of every function. A native loop may stand in for it only
// when nothing a caller can observe would differ: numpy and the functions the numpy path looks
// up are still the objects captured at import, the inputs are exact float64 ndarrays of the
// expected dimension, and the loop raised no floating-point flag that numpy would report.
//
// The rule every native path follows, because Python code can run at more places than it seems:
// a namespace lookup (a key whose hash collides with the name compares itself by its own __eq__),
// an attribute of numpy (its module class can be swapped for one with __getattribute__), a call,
// a conversion, and any allocation of an object the cyclic GC tracks (a collection runs finalizers).
//   1. Nothing read before Python code may run is trusted after it. Shapes, strides and data
//      pointers come from Views acquired after the last such point, right before the loop, and
//      the sizes the loop uses are checked there against the allocations actually made (the
//      result's own View); on any mismatch the call takes the numpy path from where the values
//      it read are still the ones Python would use.
//   2. Every write is bounded by what was allocated for it, whatever the data says: counts that
//      depend on values (peaks) have room for the most the shapes allow, and the loops check it.
//   3. Array data can change while a loop runs (another thread writes the caller's array, with
//      or without the interpreter lock). That may give inconsistent values, a flag (and so the
//      numpy path), never an out-of-bounds access: no index is derived from a value read from an
//      input, and what must stay consistent (a sort's comparisons) works on a private copy that
//      is read once and then checked.
// A View holds the buffer, so the memory it reads stays allocated until it is released: numpy
// refuses to resize an array with a buffer exported (short of resize(refcheck=False), which
// frees memory under any consumer).
#pragma once

#include "frame/ref.hpp"

#include <cfenv>
#include <initializer_list>

namespace unit7::native {

// Capture numpy and the functions the native paths stand in for, and the module's own functions
// whose calls a native path relies on (end of the exec step). When the capture fails, native paths
// stay disabled and every call takes the numpy path. A later exec step captures afresh.
void capture_numpy();

// True when `obj` is the module's own function of that name as the exec step bound it (identity;
// runs no Python code). The function is held weakly: one that is gone matches nothing.
bool is_own_function(PyObject* obj, PyObject* name);
// True when the module namespace binds `name` to the module's own function.
bool namespace_has_own_function(PyObject* name);

// True when `np` in the namespace is numpy as captured and each `np.<name>` is unchanged (these
// lookups may run Python code: see the rule above).
// `names` may include N.linalg together with N.norm, meaning np.linalg.norm.
bool numpy_untouched(std::initializer_list<PyObject*> names);

// The length of the pieces in which np.sum hands a contiguous float64 operand to numpy's pairwise
// summation, which adds each piece's sum to the total in turn: numpy before 2.3 cuts the operand
// by the calling thread's buffer size (np.getbufsize(), which this calls, so Python code may run);
// later versions pass it whole (0). -1, with no exception set, when that is not known.
Py_ssize_t sum_piece_length();

// A strided view of an exact float64 numpy.ndarray, read through the buffer protocol.
class View {
public:
    View() = default;
    ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    // Acquire `obj` when it is an exact numpy.ndarray of float64 with `ndim` dimensions.
    // Returns false (with no exception set) otherwise.
    bool acquire(PyObject* obj, int ndim, bool writable = false);

    double* data() const { return static_cast<double*>(buf_.buf); }
    Py_ssize_t shape(int d) const { return buf_.shape[d]; }
    // Stride in elements (the buffer's byte strides are multiples of 8 for float64).
    Py_ssize_t stride(int d) const { return buf_.strides[d] / static_cast<Py_ssize_t>(sizeof(double)); }
    double at(Py_ssize_t i) const { return data()[i * stride(0)]; }
    double at(Py_ssize_t i, Py_ssize_t j) const { return data()[i * stride(0) + j * stride(1)]; }

private:
    Py_buffer buf_{};
    bool held_ = false;
};

// True for an exact numpy.ndarray (not a subclass).
bool is_exact_ndarray(PyObject* obj);

// Floating-point flags that numpy turns into warnings or errors: a native loop that raises one
// gives way to the numpy path, which then reports it exactly as it always does.
constexpr int kReportedFlags = FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;

class FpWatch {
public:
    FpWatch() { std::feclearexcept(FE_ALL_EXCEPT); }
    bool clean() const { return std::fetestexcept(kReportedFlags) == 0; }
};

// Inputs at least this large run their loop without the interpreter lock.
constexpr Py_ssize_t kReleaseGilWork = 1 << 14;

template <class F>
void run_loop(Py_ssize_t work, F&& loop) {
    if (work >= kReleaseGilWork) {
        Py_BEGIN_ALLOW_THREADS
        loop();
        Py_END_ALLOW_THREADS
    } else {
        loop();
    }
}

}  // namespace unit7::native
