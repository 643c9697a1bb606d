// guard.cpp: the numpy snapshot taken at import and the checks that admit a native loop.
#include "native/guard.hpp"

#include "frame/state.hpp"
#include "frame/versions.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace unit7::native {

namespace {

// Every object is a strong reference, released when a later exec step captures afresh.
struct Snapshot {
    PyObject* np = nullptr;
    PyObject* ndarray = nullptr;
    std::vector<std::pair<PyObject*, PyObject*>> attrs;  // (interned name, object)
    PyObject* linalg_norm = nullptr;
    // np.getbufsize where np.sum cuts its operand into pieces of the buffer size (numpy before
    // 2.3); null where it does not. pieces_known is false when numpy's version could not be read.
    PyObject* getbufsize = nullptr;
    bool pieces_known = false;
};

void release(Snapshot& s) {
    Py_CLEAR(s.np);
    Py_CLEAR(s.ndarray);
    for (auto& [name, obj] : s.attrs) Py_CLEAR(obj);
    s.attrs.clear();
    Py_CLEAR(s.linalg_norm);
    Py_CLEAR(s.getbufsize);
    s.pieces_known = false;
}

Snapshot snap;

// The module's own functions that native paths rely on: (interned name, weak reference), so that
// holding them keeps neither the functions nor their namespace alive.
std::vector<std::pair<PyObject*, PyObject*>> own_functions;

void capture_own_functions() {
    for (auto& [name, ref] : own_functions) Py_CLEAR(ref);
    own_functions.clear();
    for (PyObject* name : {N.make_derivative_kernel}) {
        PyObject* f = PyDict_GetItemWithError(S.dict, name);
        PyObject* ref = f ? PyWeakref_NewRef(f, nullptr) : nullptr;
        if (!ref) {
            PyErr_Clear();
            continue;
        }
        own_functions.emplace_back(name, ref);
    }
}

PyObject* captured(PyObject* name) {
    for (auto& [n, obj] : snap.attrs)
        if (n == name) return obj;
    return nullptr;
}

// obj.<name> is `expected` (identity); lookup failures count as a change.
bool attr_is(PyObject* obj, PyObject* name, PyObject* expected) {
    PyObject* now = PyObject_GetAttr(obj, name);
    if (!now) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(now);
    return now == expected;
}

// Whether np.sum cuts a contiguous operand into pieces of the buffer size: numpy before 2.3 does
// (its iterator never grew a reduction's inner loop past the buffer); later versions do not.
// Reads np.__version__; false with an error cleared when it cannot be read.
bool sums_in_pieces(PyObject* np, bool& pieces) {
    PyObject* version = PyObject_GetAttrString(np, "__version__");
    const char* text = version && PyUnicode_Check(version) ? PyUnicode_AsUTF8(version) : nullptr;
    int major = 0, minor = 0;
    const bool read = text && std::sscanf(text, "%d.%d", &major, &minor) == 2;
    Py_XDECREF(version);
    PyErr_Clear();
    pieces = major < 2 || (major == 2 && minor < 3);
    return read;
}

}  // namespace

void capture_numpy() {
    release(snap);
    capture_own_functions();
    PyObject* np = PyDict_GetItemWithError(S.dict, N.np);
    if (!np) {
        PyErr_Clear();
        return;
    }
    Snapshot s;
    s.np = Py_NewRef(np);
    PyObject* names[] = {N.zeros, N.ones,   N.empty,       N.arange, N.array,  N.sum,
                         N.abs,   N.pad,    N.roll,        N.dot,    N.outer,  N.exp,
                         N.linspace, N.convolve, N.concatenate, N.logical_and, N.nonzero, N.atleast_2d,
                         N.linalg};
    for (PyObject* name : names) {
        PyObject* obj = PyObject_GetAttr(np, name);
        if (!obj) {
            PyErr_Clear();
            release(s);
            return;
        }
        s.attrs.emplace_back(name, obj);
    }
    PyObject* ndarray = PyObject_GetAttrString(np, "ndarray");
    if (!ndarray || !PyType_Check(ndarray)) {
        Py_XDECREF(ndarray);
        PyErr_Clear();
        release(s);
        return;
    }
    s.ndarray = ndarray;
    s.linalg_norm = PyObject_GetAttr(s.attrs.back().second, N.norm);
    if (!s.linalg_norm) {
        PyErr_Clear();
        release(s);
        return;
    }
    bool pieces = false;
    if (sums_in_pieces(np, pieces)) {
        s.pieces_known = true;
        if (pieces) {
            s.getbufsize = PyObject_GetAttrString(np, "getbufsize");
            if (!s.getbufsize) {
                PyErr_Clear();
                s.pieces_known = false;
            }
        }
    }
    snap = std::move(s);
}

Py_ssize_t sum_piece_length() {
    if (!snap.pieces_known) return -1;
    if (!snap.getbufsize) return 0;
    PyObject* size = PyObject_CallNoArgs(snap.getbufsize);
    const Py_ssize_t piece = size && PyLong_CheckExact(size) ? PyLong_AsSsize_t(size) : -1;
    Py_XDECREF(size);
    PyErr_Clear();
    return piece > 0 ? piece : -1;
}

bool is_own_function(PyObject* obj, PyObject* name) {
    for (auto& [n, ref] : own_functions)
        if (n == name) return versions::weakref_points_at(ref, obj);
    return false;
}

bool namespace_has_own_function(PyObject* name) {
    if (!S.dict) return false;
    PyObject* f = PyDict_GetItemWithError(S.dict, name);
    if (!f) {
        PyErr_Clear();
        return false;
    }
    return is_own_function(f, name);
}

bool numpy_untouched(std::initializer_list<PyObject*> names) {
    if (!snap.np) return false;
    PyObject* np = PyDict_GetItemWithError(S.dict, N.np);
    if (np != snap.np) {
        PyErr_Clear();
        return false;
    }
    for (PyObject* name : names) {
        if (name == N.norm) {
            PyObject* linalg = captured(N.linalg);
            if (!attr_is(np, N.linalg, linalg) || !attr_is(linalg, N.norm, snap.linalg_norm)) return false;
            continue;
        }
        PyObject* expected = captured(name);
        if (!expected || !attr_is(np, name, expected)) return false;
    }
    return true;
}

bool is_exact_ndarray(PyObject* obj) {
    return snap.ndarray && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == snap.ndarray;
}

View::~View() {
    if (held_) PyBuffer_Release(&buf_);
}

bool View::acquire(PyObject* obj, int ndim, bool writable) {
    if (!is_exact_ndarray(obj)) return false;
    int flags = PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &buf_, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    held_ = true;
    const char* f = buf_.format;
    bool f64 = buf_.itemsize == 8 && f &&
               (std::strcmp(f, "d") == 0 || std::strcmp(f, "=d") == 0 || std::strcmp(f, "<d") == 0);
    bool aligned = reinterpret_cast<uintptr_t>(buf_.buf) % alignof(double) == 0;
    if (!f64 || !aligned || buf_.ndim != ndim) return false;
    for (int d = 0; d < ndim; ++d)
        if (buf_.strides[d] % static_cast<Py_ssize_t>(sizeof(double)) != 0) return false;
    return true;
}

}  // namespace unit7::native
