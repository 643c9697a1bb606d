// ref.hpp: owned references to Python objects, and the C++ signal for "a Python exception is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace unit7 {

// Thrown by the operations layer when a Python API call failed; the Python error indicator is set.
// Function trampolines catch it, add their traceback entry and return NULL to the interpreter.
struct Raised {};

// One owned reference (or none). Bodies never touch reference counts by hand.
class Ref {
public:
    Ref() = default;
    Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Take ownership of a new reference; a NULL result of the API means an exception is set.
    static Ref steal(PyObject* p) {
        if (!p) throw Raised{};
        Ref r;
        r.p_ = p;
        return r;
    }
    // Take ownership of a new reference that may legitimately be NULL (no exception implied).
    static Ref steal_or_null(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        Py_XINCREF(p);
        return r;
    }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Hand the reference over to the caller (for returning to the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }

private:
    PyObject* p_ = nullptr;
};

// Check the return code of an API call that returns -1 on failure.
inline int check(int rc) {
    if (rc < 0) throw Raised{};
    return rc;
}

}  // namespace unit7
