// function.cpp: the function type shared by all fourteen functions, its table-driven binder and the
// traceback entries a failing function adds.
#include "frame/function.hpp"

#include "frame/state.hpp"
#include "frame/versions.hpp"

#include <frameobject.h>
#include <structmember.h>

#include <cstring>
#include <new>

namespace unit7 {

namespace {

constexpr const char* kFileName = "package/velmor/unit7";

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* dict;
    PyObject* globals;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* weakreflist;
};

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---- the binder -------------------------------------------------------------------------------

bool name_equals(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}

[[gnu::cold]] void raise_arg_count(const FuncDef& d, bool too_many, Py_ssize_t given) {
    bool exact = d.nrequired == d.nparams;
    const char* word = exact ? "exactly" : (too_many ? "at most" : "at least");
    Py_ssize_t count = too_many ? d.nparams : d.nrequired;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", d.name, word,
                 count, (count == 1) ? "" : "s", given);
}

// Index of the keyword pair named `name`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, Py_ssize_t nk, PyObject* name) {
    for (Py_ssize_t j = 0; j < nk; ++j) {
        if (name_equals(PyTuple_GET_ITEM(kwnames, j), name)) return j;
    }
    return -1;
}

// Map positional arguments args[0..n) and keyword pairs (kwnames, args[n..]) onto the parameters.
// Fills values[0..nparams) with borrowed references, or raises TypeError and returns false.
bool bind(const FuncDef& d, PyObject* const* args, Py_ssize_t n, PyObject* kwnames, PyObject** values) {
    const Py_ssize_t np = d.nparams, nr = d.nrequired;
    if (n > np) {
        raise_arg_count(d, true, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < np; ++i) values[i] = i < n ? args[i] : nullptr;
    const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* const* kwvalues = args + n;
    if (nk == 0) {
        if (n < nr) {
            raise_arg_count(d, false, n);
            return false;
        }
    } else {
        Py_ssize_t left = nk;
        for (Py_ssize_t i = n; i < nr; ++i) {
            Py_ssize_t j = find_keyword(kwnames, nk, d.param_strs[i]);
            if (j < 0) {
                raise_arg_count(d, false, i);
                return false;
            }
            values[i] = kwvalues[j];
            --left;
        }
        for (Py_ssize_t i = n > nr ? n : nr; i < np && left > 0; ++i) {
            Py_ssize_t j = find_keyword(kwnames, nk, d.param_strs[i]);
            if (j >= 0) {
                values[i] = kwvalues[j];
                --left;
            }
        }
        if (left > 0) {
            for (Py_ssize_t j = 0; j < nk; ++j) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, j);
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", d.name);
                    return false;
                }
                Py_ssize_t p = 0;
                while (p < np && !name_equals(key, d.param_strs[p])) ++p;
                if (p < np && p >= n) {
                    values[p] = kwvalues[j];
                } else if (p < np) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", d.name, key);
                    return false;
                } else {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", d.name, key);
                    return false;
                }
            }
        }
    }
    for (Py_ssize_t i = nr; i < np; ++i) {
        if (!values[i]) values[i] = d.defaults[i];
    }
    return true;
}

// ---- calls --------------------------------------------------------------------------------------

PyObject* func_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FuncDef& d = *as_function(self)->def;
    PyObject* values[kMaxParams];
    if (!bind(d, args, PyVectorcall_NARGS(nargsf), kwnames, values)) {
        add_traceback(d.tb_name, d.first_line);
        return nullptr;
    }
    Frame fr{d, d.first_line};
    try {
        Ref result = d.body(fr, values);
        return result.release();
    } catch (const Raised&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    add_traceback(d.tb_name, fr.line);
    return nullptr;
}

// ---- attributes ---------------------------------------------------------------------------------

PyObject* none_if_null(PyObject* o) {
    PyObject* r = o ? o : Py_None;
    Py_INCREF(r);
    return r;
}

PyObject* func_get_name(PyObject* self, void*) { return none_if_null(as_function(self)->name); }
PyObject* func_get_qualname(PyObject* self, void*) { return none_if_null(as_function(self)->qualname); }

int set_string(PyObject*& slot, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(slot, value);
    return 0;
}

int func_set_name(PyObject* self, PyObject* value, void*) {
    return set_string(as_function(self)->name, value, "__name__ must be set to a string object");
}
int func_set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(as_function(self)->qualname, value, "__qualname__ must be set to a string object");
}

PyObject* func_get_doc(PyObject* self, void*) { return none_if_null(as_function(self)->doc); }
int func_set_doc(PyObject* self, PyObject* value, void*) {
    PyObject* v = value ? value : Py_None;
    Py_INCREF(v);
    Py_XSETREF(as_function(self)->doc, v);
    return 0;
}

PyObject* func_get_code(PyObject* self, void*) { return none_if_null(as_function(self)->def->code); }
PyObject* func_get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* func_get_defaults(PyObject* self, void*) { return none_if_null(as_function(self)->defaults); }
int func_set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->defaults, value);
    return 0;
}

PyObject* func_get_kwdefaults(PyObject* self, void*) { return none_if_null(as_function(self)->kwdefaults); }
int func_set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->kwdefaults, value);
    return 0;
}

PyObject* func_get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    Py_INCREF(f->annotations);
    return f->annotations;
}
int func_set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

PyGetSetDef func_getset[] = {
    {"__name__", func_get_name, func_set_name, nullptr, nullptr},
    {"__qualname__", func_get_qualname, func_set_qualname, nullptr, nullptr},
    {"__doc__", func_get_doc, func_set_doc, nullptr, nullptr},
    {"__code__", func_get_code, nullptr, nullptr, nullptr},
    {"__closure__", func_get_closure, nullptr, nullptr, nullptr},
    {"__defaults__", func_get_defaults, func_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", func_get_kwdefaults, func_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", func_get_annotations, func_set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef func_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Functions pickle by reference: the reduction is the qualified name.
PyObject* func_reduce(PyObject* self, PyObject*) { return none_if_null(as_function(self)->qualname); }

PyMethodDef func_methods[] = {
    {"__reduce__", func_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the type slots -----------------------------------------------------------------------------

PyObject* func_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* func_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->qualname, self);
}

int func_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    return 0;
}

int func_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    return 0;
}

void func_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
    func_clear(self);
    PyObject_GC_Del(self);
}

versions::StaticType function_type;
PyTypeObject& FunctionType = function_type.type;


int count_lines(const char* text) {
    int n = 1;
    for (const char* p = text; *p; ++p) n += (*p == '\n');
    return n;
}

// Lines of the module's source before the first function: the two imports and two blank lines.
constexpr int kFirstHeaderLine = 5;

bool create_code(FuncDef& d) {
    Py_ssize_t nlocals = 0;
    while (d.locals[nlocals]) ++nlocals;
    Ref varnames = Ref::steal_or_null(PyTuple_New(d.nparams + nlocals));
    if (!varnames) return false;
    for (int i = 0; i < d.nparams; ++i) {
        Py_INCREF(d.param_strs[i]);
        PyTuple_SET_ITEM(varnames.get(), i, d.param_strs[i]);
    }
    for (Py_ssize_t i = 0; i < nlocals; ++i) {
        PyObject* s = PyUnicode_InternFromString(d.locals[i]);
        if (!s) return false;
        PyTuple_SET_ITEM(varnames.get(), d.nparams + i, s);
    }
    // The bodies run in C++, never as bytecode; but a code object can be run on its own
    // (types.FunctionType(f.__code__, {}), exec), and the interpreter would then read past an empty
    // instruction stream. The instructions raise AssertionError at the function's header line:
    //     RESUME 0; LOAD_ASSERTION_ERROR; RAISE_VARARGS 1
    // They need no constants and no names, so those stay empty. One location entry covers all three
    // code units: "line only" (13), length 3, line delta 0.
    const versions::Opcodes op = versions::running_opcodes();
    const char kRaise[] = {char(op.resume), 0, char(op.load_assertion_error), 0, char(op.raise_varargs), 1};
    static const char kLines[] = {char(0x80 | (13 << 3) | (3 - 1)), 0};
    Ref raise_code = Ref::steal_or_null(PyBytes_FromStringAndSize(kRaise, sizeof kRaise));
    Ref line_table = Ref::steal_or_null(PyBytes_FromStringAndSize(kLines, sizeof kLines));
    Ref empty_bytes = Ref::steal_or_null(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::steal_or_null(PyTuple_New(0));
    Ref filename = Ref::steal_or_null(PyUnicode_FromString(kFileName));
    if (!raise_code || !line_table || !empty_bytes || !empty_tuple || !filename) return false;
    PyCodeObject* code = versions::code_new(d.nparams, static_cast<int>(PyTuple_GET_SIZE(varnames.get())), 1,
                                            CO_OPTIMIZED | CO_NEWLOCALS, raise_code, varnames, filename,
                                            d.name_str, d.first_line, line_table, empty_tuple, empty_bytes);
    d.code = reinterpret_cast<PyObject*>(code);
    return code != nullptr;
}

}  // namespace

bool function_type_ready() {
    PyTypeObject& t = FunctionType;
    if (t.tp_flags & Py_TPFLAGS_READY) return true;
    t.tp_name = "velmor.unit7.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = func_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = func_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = func_traverse;
    t.tp_clear = func_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = func_methods;
    t.tp_members = func_members;
    t.tp_getset = func_getset;
    t.tp_descr_get = func_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return PyType_Ready(&t) == 0;
}

bool function_defs_create() {
    function_table_defaults();
    int line = kFirstHeaderLine;
    for (int k = 0; k < kFunctionCount; ++k) {
        FuncDef& d = *kFunctions[k];
        d.doc_lines = count_lines(d.doc);
        d.first_line = line;
        line += 1 + d.doc_lines + d.statements + 2;
        if (d.code) continue;  // made by an earlier exec step that failed later on
        if (!(d.name_str = PyUnicode_InternFromString(d.name))) return false;
        for (int i = 0; i < d.nparams; ++i) {
            if (!(d.param_strs[i] = PyUnicode_InternFromString(d.params[i]))) return false;
        }
        if (!(d.doc_str = PyUnicode_FromString(d.doc))) return false;
        if (!(d.tb_name = PyUnicode_FromFormat("velmor.unit7.%s", d.name))) return false;
        if (d.nparams > d.nrequired) {
            d.defaults_tuple = PyTuple_New(d.nparams - d.nrequired);
            if (!d.defaults_tuple) return false;
            for (int i = d.nrequired; i < d.nparams; ++i) {
                Py_INCREF(d.defaults[i]);
                PyTuple_SET_ITEM(d.defaults_tuple, i - d.nrequired, d.defaults[i]);
            }
        }
        if (!create_code(d)) return false;
    }
    return true;
}

PyObject* function_new(FuncDef* def, PyObject* globals) {
    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return nullptr;
    f->vectorcall = func_vectorcall;
    f->def = def;
    f->name = Py_NewRef(def->name_str);
    f->qualname = Py_NewRef(def->name_str);
    f->module = PyUnicode_FromString("velmor.unit7");
    f->doc = Py_NewRef(def->doc_str);
    f->dict = nullptr;
    f->globals = Py_NewRef(globals);
    f->defaults = def->defaults_tuple ? Py_NewRef(def->defaults_tuple) : nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    if (!f->module) {
        Py_DECREF(f);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(f);
}

void add_traceback(PyObject* funcname, int line) {
    PyFrameObject* frame = nullptr;
    {
        // The entry's code object and frame are made with the exception set aside; a failure to make
        // them leaves the exception as it was, without the entry.
        versions::PendingError pending;
        const char* name = PyUnicode_AsUTF8(funcname);
        PyCodeObject* code = name ? PyCode_NewEmpty(kFileName, name, line) : nullptr;
        frame = code ? PyFrame_New(PyThreadState_Get(), code, S.dict, nullptr) : nullptr;
        Py_XDECREF(code);
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
}

}  // namespace unit7
