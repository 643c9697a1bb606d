// ops.hpp: the Python operations the bodies are written with. Each behaves as the Python operation
// it stands for and throws Raised (with the Python exception set) when that operation fails.
//
// C++ leaves the evaluation order of function arguments open, so a body evaluates each
// subexpression into a named local, in Python's left-to-right order, before combining them.
#pragma once

#include "frame/ref.hpp"
#include "frame/state.hpp"

#include <array>
#include <initializer_list>

namespace unit7 {

// A keyword argument of a call.
struct Kw {
    PyObject* name;
    PyObject* value;
};

// Module-global name: the namespace first, then the builtins module; NameError otherwise.
Ref global(PyObject* name);

Ref attr(PyObject* obj, PyObject* name);

// callable(*args, **kwargs), with the arguments in the order given.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs);

// obj[key], obj[key] = value, obj[start:stop].
Ref item(PyObject* obj, PyObject* key);
void set_item(PyObject* obj, PyObject* key, PyObject* value);
Ref get_slice(PyObject* obj, PyObject* start, PyObject* stop);

// slice(start, stop) objects and tuples, for multi-dimensional keys and arguments.
Ref slice(PyObject* start, PyObject* stop);
Ref tuple(std::initializer_list<PyObject*> items);

// Arithmetic and comparison, as the Python operators.
Ref add(PyObject* a, PyObject* b);
Ref sub(PyObject* a, PyObject* b);
Ref mul(PyObject* a, PyObject* b);
Ref truediv(PyObject* a, PyObject* b);
Ref floordiv(PyObject* a, PyObject* b);
Ref power(PyObject* a, PyObject* b);
Ref neg(PyObject* a);
Ref inplace_mul(PyObject* a, PyObject* b);
Ref inplace_truediv(PyObject* a, PyObject* b);
Ref compare(PyObject* a, PyObject* b, int op);  // op: Py_LT, Py_EQ, ...

bool truth(PyObject* obj);
Py_ssize_t length(PyObject* obj);  // len(obj)
Ref integer(Py_ssize_t v);         // a new Python int
Ref to_int(PyObject* obj);         // int(obj)

Ref new_list();
void append(PyObject* list, PyObject* item);

// a, b, ... = obj, for exactly k names; fills out[0..k-1].
void unpack_into(PyObject* obj, Ref* out, Py_ssize_t k);
template <size_t K>
std::array<Ref, K> unpack(PyObject* obj) {
    std::array<Ref, K> out;
    unpack_into(obj, out.data(), static_cast<Py_ssize_t>(K));
    return out;
}

// for item in iterable: ...  -- `while (it.next(item)) { ... }`.
class Iter {
public:
    explicit Iter(PyObject* iterable);
    bool next(Ref& item);

private:
    Ref it_;
};

// range(...) and enumerate(...) as the builtins taken at initialisation.
Ref range(PyObject* stop);
Ref enumerate(PyObject* iterable);

Ref real(double v);  // a new Python float

}  // namespace unit7
