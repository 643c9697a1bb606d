// ops.cpp: the Python operations of ops.hpp, with the interpreter's semantics and error texts.
#include "frame/ops.hpp"

#include <vector>

namespace unit7 {

namespace {

[[noreturn]] void raise() { throw Raised{}; }

// Calls the module makes itself, outside the vector call protocol, guard the recursion depth.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while calling a Python object")) raise();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

Ref checked_result(PyObject* r) {
    if (!r && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return Ref::steal(r);
}

// A built-in function taking one argument or none is called directly.
bool call_cfunction_directly(PyObject* f, PyObject* const* args, size_t nargs, Ref& result) {
    if (!PyCFunction_Check(f)) return false;
    int flags = PyCFunction_GET_FLAGS(f);
    PyCFunction meth = PyCFunction_GET_FUNCTION(f);
    PyObject* self = PyCFunction_GET_SELF(f);
    if ((flags & METH_O) && nargs == 1) {
        PyObject* r;
        {
            RecursionGuard guard;
            r = meth(self, args[0]);
        }
        result = checked_result(r);
        return true;
    }
    if ((flags & METH_NOARGS) && nargs == 0) {
        PyObject* r;
        {
            RecursionGuard guard;
            r = meth(self, nullptr);
        }
        result = checked_result(r);
        return true;
    }
    return false;
}

Ref call_through_type_slot(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    ternaryfunc slot = Py_TYPE(f)->tp_call;
    if (!slot) {
        // Let the interpreter report "'X' object is not callable".
        return Ref::steal(PyObject_Vectorcall(f, args, nargs, kwnames));
    }
    Ref targs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nargs)));
    for (size_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(targs.get(), i, args[i]);
    }
    Ref kwargs;
    if (kwnames) {
        kwargs = Ref::steal(PyDict_New());
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nk; ++i) {
            check(PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
        }
    }
    PyObject* r;
    {
        RecursionGuard guard;
        r = slot(f, targs, kwargs);
    }
    return checked_result(r);
}

Ref call_vector(PyObject* f, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    if (!kwnames) {
        Ref result;
        if (call_cfunction_directly(f, args, nargs, result)) return result;
    }
    if (PyVectorcall_Function(f)) return Ref::steal(PyObject_Vectorcall(f, args, nargs, kwnames));
    return call_through_type_slot(f, args, nargs, kwnames);
}

[[noreturn]] void raise_need_more(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, (got == 1) ? "" : "s");
    raise();
}

[[noreturn]] void raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    raise();
}

}  // namespace

Ref global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(S.dict, name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) raise();
    PyObject* b = PyObject_GetAttr(S.builtins, name);
    if (b) return Ref::steal(b);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    raise();
}

Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return call_vector(callable, args.begin(), args.size(), nullptr);
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
    if (kwargs.size() == 0) return call(callable, args);
    std::vector<PyObject*> stack(args.begin(), args.end());
    Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t i = 0;
    for (const Kw& kw : kwargs) {
        Py_INCREF(kw.name);
        PyTuple_SET_ITEM(kwnames.get(), i++, kw.name);
        stack.push_back(kw.value);
    }
    return call_vector(callable, stack.data(), args.size(), kwnames);
}

Ref item(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }

void set_item(PyObject* obj, PyObject* key, PyObject* value) { check(PyObject_SetItem(obj, key, value)); }

Ref get_slice(PyObject* obj, PyObject* start, PyObject* stop) {
    PyMappingMethods* mp = Py_TYPE(obj)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(obj)->tp_name);
        raise();
    }
    Ref key = slice(start, stop);
    return Ref::steal(mp->mp_subscript(obj, key));
}

Ref slice(PyObject* start, PyObject* stop) { return Ref::steal(PySlice_New(start, stop, nullptr)); }

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* o : items) {
        Py_INCREF(o);
        PyTuple_SET_ITEM(t.get(), i++, o);
    }
    return t;
}

Ref add(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Add(a, b)); }
Ref sub(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Subtract(a, b)); }
Ref mul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Multiply(a, b)); }
Ref truediv(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_TrueDivide(a, b)); }
Ref floordiv(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_FloorDivide(a, b)); }
Ref power(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_Power(a, b, Py_None)); }
Ref neg(PyObject* a) { return Ref::steal(PyNumber_Negative(a)); }
Ref inplace_mul(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_InPlaceMultiply(a, b)); }
Ref inplace_truediv(PyObject* a, PyObject* b) { return Ref::steal(PyNumber_InPlaceTrueDivide(a, b)); }
Ref compare(PyObject* a, PyObject* b, int op) { return Ref::steal(PyObject_RichCompare(a, b, op)); }

bool truth(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False || obj == Py_None) return false;
    return check(PyObject_IsTrue(obj)) != 0;
}

Py_ssize_t length(PyObject* obj) {
    Py_ssize_t n = PyObject_Length(obj);
    if (n < 0) raise();
    return n;
}

Ref integer(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }

Ref to_int(PyObject* obj) {
    if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
    return Ref::steal(PyNumber_Long(obj));
}

Ref new_list() { return Ref::steal(PyList_New(0)); }

void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

void unpack_into(PyObject* obj, Ref* out, Py_ssize_t k) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        Py_ssize_t size = Py_SIZE(obj);
        if (size != k) {
            if (size > k) raise_too_many(k);
            raise_need_more(size);
        }
        PyObject** items = PyTuple_CheckExact(obj) ? &PyTuple_GET_ITEM(obj, 0) : PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < k; ++i) out[i] = Ref::borrow(items[i]);
        return;
    }
    Iter it(obj);
    for (Py_ssize_t i = 0; i < k; ++i) {
        if (!it.next(out[i])) raise_need_more(i);
    }
    Ref extra;
    if (it.next(extra)) raise_too_many(k);
}

Iter::Iter(PyObject* iterable) : it_(Ref::steal(PyObject_GetIter(iterable))) {}

bool Iter::next(Ref& item) {
    PyObject* v = (*Py_TYPE(it_.get())->tp_iternext)(it_);
    if (v) {
        item = Ref::steal(v);
        return true;
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) raise();
        PyErr_Clear();
    }
    return false;
}

Ref range(PyObject* stop) { return call(S.range, {stop}); }

Ref enumerate(PyObject* iterable) { return call(S.enumerate, {iterable}); }

Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

}  // namespace unit7
