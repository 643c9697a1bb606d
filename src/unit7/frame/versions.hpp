// versions.hpp: where the CPython versions unit7 is built for (3.11, 3.12, 3.13) differ in the C API
// it uses: one named branch each, so the rest of the module reads the same on every version.
#pragma once

#include "frame/ref.hpp"

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "unit7 is written for CPython 3.11 to 3.13: a code object's instructions differ on every version"
#endif

namespace unit7::versions {

// ---- code objects -------------------------------------------------------------------------------
// The instructions a function's code object carries (function.cpp): RESUME 0; LOAD_ASSERTION_ERROR;
// RAISE_VARARGS 1. None of the three has inline cache entries on any of these versions; 3.13
// renumbered the opcodes.
struct Opcodes {
    unsigned char resume, load_assertion_error, raise_varargs;
};
#if PY_VERSION_HEX >= 0x030D0000
inline constexpr Opcodes kOpcodes{149, 23, 101};
#else
inline constexpr Opcodes kOpcodes{151, 74, 130};
#endif

// A code object with no constants, names, free or cell variables (`empty`), no positional-only or
// keyword-only parameters and no exception table. 3.12 moved this constructor to the unstable API
// (the old name warns).
inline PyCodeObject* code_new(int argcount, int nlocals, int stacksize, int flags, PyObject* code,
                              PyObject* varnames, PyObject* filename, PyObject* name, int firstlineno,
                              PyObject* linetable, PyObject* empty, PyObject* no_exceptions) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, stacksize, flags, code, empty, empty,
                                              varnames, empty, empty, filename, name, name, firstlineno,
                                              linetable, no_exceptions);
#else
    return PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, stacksize, flags, code, empty, empty, varnames,
                                     empty, empty, filename, name, name, firstlineno, linetable, no_exceptions);
#endif
}

// ---- exception state ----------------------------------------------------------------------------
// The exception being raised, taken out of the thread state while a traceback entry is made and put
// back when this goes out of scope. 3.12 keeps it as one object (type and traceback live on it).
class PendingError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    PendingError() : exc_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(exc_); }
#else
    PendingError() { PyErr_Fetch(&type_, &exc_, &tb_); }
    ~PendingError() { PyErr_Restore(type_, exc_, tb_); }
#endif
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// ---- weak references ----------------------------------------------------------------------------
// Whether a weak reference still points at obj. 3.13 deprecates the borrowed read.
inline bool weakref_points_at(PyObject* ref, PyObject* obj) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool same = target == obj;
    Py_XDECREF(target);
    return same;
#else
    return PyWeakref_GetObject(ref) == obj;
#endif
}

}  // namespace unit7::versions
