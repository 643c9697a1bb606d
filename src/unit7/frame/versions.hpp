// versions.hpp: where the CPython versions unit7 is built for (3.11, 3.12, 3.13) differ in the C API
// it uses: one named branch each, so the rest of the module reads the same on every version.
#pragma once

#include "frame/ref.hpp"

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "unit7 knows the code objects of CPython 3.11 to 3.13 alone: their instructions differ on every version"
#endif

namespace unit7::versions {

// ---- code objects -------------------------------------------------------------------------------
// A build may meet a later interpreter than the one it was built for: the exec step warns then
// (module.cpp) and goes on, so what differs in the code objects is chosen by the running version.

// The instructions a function's code object carries (function.cpp): RESUME 0; LOAD_ASSERTION_ERROR;
// RAISE_VARARGS 1. None of the three has inline cache entries on any of these versions; 3.13
// renumbered the opcodes.
struct Opcodes {
    unsigned char resume, load_assertion_error, raise_varargs;
};
inline Opcodes running_opcodes() {
    if (Py_Version >= 0x030D0000) return {149, 23, 101};
    return {151, 74, 130};
}

}  // namespace unit7::versions

// 3.12 moved the full code constructor to the unstable API and stopped exporting the old name
// (which warns from 3.12's headers on). A 3.11 build for an ELF system (where one build can be
// loaded by another version's interpreter) refers to both weakly and finds the one it has.
#if PY_VERSION_HEX < 0x030C0000 && defined(__ELF__)
#define UNIT7_WEAK_CODE_CONSTRUCTOR 1
extern "C" {
[[gnu::weak]] PyCodeObject* PyCode_NewWithPosOnlyArgs(int, int, int, int, int, int, PyObject*, PyObject*, PyObject*,
                                                      PyObject*, PyObject*, PyObject*, PyObject*, PyObject*,
                                                      PyObject*, int, PyObject*, PyObject*);
[[gnu::weak]] PyCodeObject* PyUnstable_Code_NewWithPosOnlyArgs(int, int, int, int, int, int, PyObject*, PyObject*,
                                                               PyObject*, PyObject*, PyObject*, PyObject*,
                                                               PyObject*, PyObject*, PyObject*, int, PyObject*,
                                                               PyObject*);
}
#endif

namespace unit7::versions {

// A code object with no constants, names, free or cell variables (`empty`), no positional-only or
// keyword-only parameters and no exception table.
inline PyCodeObject* code_new(int argcount, int nlocals, int stacksize, int flags, PyObject* code,
                              PyObject* varnames, PyObject* filename, PyObject* name, int firstlineno,
                              PyObject* linetable, PyObject* empty, PyObject* no_exceptions) {
#if PY_VERSION_HEX >= 0x030C0000
    auto* make = &PyUnstable_Code_NewWithPosOnlyArgs;
#elif defined(UNIT7_WEAK_CODE_CONSTRUCTOR)
    auto* make = PyCode_NewWithPosOnlyArgs ? &PyCode_NewWithPosOnlyArgs : &PyUnstable_Code_NewWithPosOnlyArgs;
    if (!make) {
        PyErr_SetString(PyExc_SystemError, "this interpreter has no code object constructor");
        return nullptr;
    }
#else
    auto* make = &PyCode_NewWithPosOnlyArgs;
#endif
    return make(argcount, 0, 0, nlocals, stacksize, flags, code, empty, empty, varnames, empty, empty, filename,
                name, name, firstlineno, linetable, no_exceptions);
}

// ---- type objects -------------------------------------------------------------------------------
// Room after a static type object for the fields later versions append to PyTypeObject (3.12's
// tp_watched, 3.13's tp_versions_used), which a later interpreter reads and writes.
struct StaticType {
    PyTypeObject type{};
    unsigned char later_fields[32]{};
};

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
