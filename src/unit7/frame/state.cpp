// state.cpp: the one set of module state of the process, and the creation of its names and constants.
#include "frame/state.hpp"

namespace unit7 {

State S;
const Names& N = S.names;

namespace {

bool intern(PyObject*& slot, const char* text) {
    if (slot) return true;
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

bool make(PyObject*& slot, PyObject* value) {
    if (slot) {
        Py_XDECREF(value);
        return true;
    }
    slot = value;
    return slot != nullptr;
}

}  // namespace

bool state_create_names_and_numbers() {
#define UNIT7_INTERN_NAME(n) \
    if (!intern(S.names.n, #n)) return false;
    UNIT7_NAMES(UNIT7_INTERN_NAME)
#undef UNIT7_INTERN_NAME
    Constants& c = S.c;
    return make(c.f0_0, PyFloat_FromDouble(0.0)) && make(c.f0_5, PyFloat_FromDouble(0.5)) &&
           make(c.f1_0, PyFloat_FromDouble(1.0)) && make(c.f22050, PyFloat_FromDouble(22050.0)) &&
           make(c.fm1_5, PyFloat_FromDouble(-1.5)) && make(c.i0, PyLong_FromLong(0)) &&
           make(c.i1, PyLong_FromLong(1)) && make(c.i2, PyLong_FromLong(2)) &&
           make(c.i4096, PyLong_FromLong(4096)) && make(c.im1, PyLong_FromLong(-1));
}

bool state_create_objects() {
    Constants& c = S.c;
    if (!make(c.full_slice, PySlice_New(Py_None, Py_None, Py_None))) return false;
    if (c.zeros3) return true;
    PyObject* t = PyTuple_Pack(3, c.f0_0, c.f0_0, c.f0_0);
    return make(c.zeros3, t);
}

}  // namespace unit7
