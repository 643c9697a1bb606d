// module.cpp: the module definition, its entry PyInit_unit7, and the create and exec steps.
#include "frame/function.hpp"
#include "frame/state.hpp"
#include "native/guard.hpp"

#include <cstdio>

namespace unit7 {

namespace {

// A host that runs the module as its main program sets this before the exec step.
int is_main_program = 0;

// ---- create step --------------------------------------------------------------------------------

int check_single_interpreter() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred()) return -1;
    int64_t first = -1;
    if (S.interp_id.compare_exchange_strong(first, id) || first == id) return 0;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
}

// Copy spec.<from_name> into the module namespace as <to_name>; a missing attribute is skipped.
int copy_spec_attr(PyObject* spec, PyObject* moddict, const char* from_name, const char* to_name, bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from_name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    int rc = 0;
    if (!(skip_none && value == Py_None)) rc = PyDict_SetItemString(moddict, to_name, value);
    Py_DECREF(value);
    return rc;
}

PyObject* unit7_create(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (S.module) return Py_NewRef(S.module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* moddict = PyModule_GetDict(module);
    if (!moddict || copy_spec_attr(spec, moddict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, moddict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, moddict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, moddict, "submodule_search_locations", "__path__", true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// ---- exec step ----------------------------------------------------------------------------------

int warn_on_version_mismatch() {
    const int compiled_major = PY_MAJOR_VERSION, compiled_minor = PY_MINOR_VERSION;
    const int run_major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int run_minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (run_major == compiled_major && run_minor == compiled_minor) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  compiled_major, compiled_minor, "velmor.unit7", "does not match", run_major, run_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// numpy, taken from sys.modules when it is there and fully initialised, imported otherwise.
PyObject* import_numpy() {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = PyDict_GetItemWithError(modules, N.numpy);
    if (!found && PyErr_Occurred()) return nullptr;
    if (found) {
        bool initializing = false;
        PyObject* spec = PyObject_GetAttrString(found, "__spec__");
        if (spec) {
            PyObject* flag = PyObject_GetAttrString(spec, "_initializing");
            if (flag) {
                int t = PyObject_IsTrue(flag);
                initializing = t > 0;
                Py_DECREF(flag);
            }
            Py_DECREF(spec);
        }
        PyErr_Clear();
        if (!initializing) return Py_NewRef(found);
    }
    PyObject* locals = PyDict_New();
    if (!locals) return nullptr;
    PyObject* np = PyImport_ImportModuleLevelObject(N.numpy, S.dict, locals, nullptr, 0);
    Py_DECREF(locals);
    return np;
}

// `from .unit4 import make_chromagram, cens`
int import_unit4_names() {
    PyObject* locals = PyDict_New();
    if (!locals) return -1;
    PyObject* fromlist = PyList_New(2);
    if (!fromlist) {
        Py_DECREF(locals);
        return -1;
    }
    PyObject* names[2] = {N.make_chromagram, N.cens};
    for (int i = 0; i < 2; ++i) PyList_SET_ITEM(fromlist, i, Py_NewRef(names[i]));
    PyObject* unit4 = PyImport_ImportModuleLevelObject(N.unit4, S.dict, locals, fromlist, 1);
    Py_DECREF(locals);
    Py_DECREF(fromlist);
    if (!unit4) return -1;
    int rc = 0;
    for (int i = 0; i < 2 && rc == 0; ++i) {
        PyObject* value = PyObject_GetAttr(unit4, names[i]);
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyObject* modname = PyObject_GetAttrString(unit4, "__name__");
            if (modname) {
                PyObject* full = PyUnicode_FromFormat("%U.%U", modname, names[i]);
                Py_DECREF(modname);
                if (full) {
                    value = PyDict_GetItemWithError(PyImport_GetModuleDict(), full);
                    Py_XINCREF(value);
                    Py_DECREF(full);
                }
            }
        }
        if (!value) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", names[i]);
            rc = -1;
            break;
        }
        rc = PyDict_SetItem(S.dict, names[i], value);
        Py_DECREF(value);
    }
    Py_DECREF(unit4);
    return rc;
}

int bind_function(FuncDef* def) {
    PyObject* f = function_new(def, S.dict);
    if (!f) return -1;
    int rc = PyDict_SetItem(S.dict, def->name_str, f);
    Py_DECREF(f);
    return rc;
}

// The line a failing initialisation statement reports: the imports stand on lines 1 and 2, each
// function on its header line, and `__test__` after the last function.
int last_line() {
    const FuncDef& d = *kFunctions[kFunctionCount - 1];
    return d.first_line + 1 + d.doc_lines + d.statements + 2;
}

int exec_failed(int line) {
    if (line > 0) {
        PyObject* name = PyUnicode_FromString("init velmor.unit7");
        if (name) {
            add_traceback(name, line);
            Py_DECREF(name);
        }
    }
    S.dict = nullptr;
    Py_CLEAR(S.module);
    return -1;
}

int unit7_exec(PyObject* module) {
    if (S.module) {
        if (S.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'unit7' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    // The process keeps its module for good: a later create step hands this object out again,
    // even after every other reference to it (sys.modules, the package attribute) is gone.
    S.module = Py_NewRef(module);
    S.dict = PyModule_GetDict(module);
    if (!S.dict) return exec_failed(0);
    if (!S.builtins) {
        S.builtins = PyImport_AddModule("builtins");  // borrowed from sys.modules
        if (!S.builtins) return exec_failed(0);
        Py_INCREF(S.builtins);
    }
    if (PyObject_SetAttrString(module, "__builtins__", S.builtins) < 0) return exec_failed(0);
    if (warn_on_version_mismatch() < 0) return exec_failed(0);
    if (!state_create_names_and_numbers()) return exec_failed(0);

    int line = 1;
    if (is_main_program) {
        PyObject* main_name = PyUnicode_InternFromString("__main__");
        int rc = main_name ? PyDict_SetItemString(S.dict, "__name__", main_name) : -1;
        Py_XDECREF(main_name);
        if (rc < 0) return exec_failed(line);
    }
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, "velmor.unit7");
    if (!existing && PyDict_SetItemString(modules, "velmor.unit7", module) < 0) return exec_failed(line);

    PyObject* builtin_names[2] = {N.range, N.enumerate};
    PyObject** builtin_slots[2] = {&S.range, &S.enumerate};
    for (int i = 0; i < 2; ++i) {
        if (*builtin_slots[i]) continue;
        PyObject* b = PyObject_GetAttr(S.builtins, builtin_names[i]);
        if (!b) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", builtin_names[i]);
            }
            return exec_failed(line);
        }
        *builtin_slots[i] = b;
    }
    if (!state_create_objects() || !function_type_ready() || !function_defs_create()) return exec_failed(line);

    PyObject* np = import_numpy();
    if (!np) return exec_failed(line);
    int rc = PyDict_SetItem(S.dict, N.np, np);
    Py_DECREF(np);
    if (rc < 0) return exec_failed(line);

    line = 2;
    if (import_unit4_names() < 0) return exec_failed(line);

    for (int k = 0; k < kFunctionCount; ++k) {
        if (bind_function(kFunctions[k]) < 0) return exec_failed(kFunctions[k]->first_line);
    }
    PyObject* test = PyDict_New();
    if (!test) return exec_failed(last_line());
    rc = PyDict_SetItemString(S.dict, "__test__", test);
    Py_DECREF(test);
    if (rc < 0) return exec_failed(last_line());
    native::capture_numpy();
    return 0;
}

PyModuleDef_Slot unit7_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(unit7_create)},
    {Py_mod_exec, reinterpret_cast<void*>(unit7_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // 3.12 refuses a module that does not say so to an interpreter with a GIL of its own, before the
    // create step runs. This one may be asked there: its create step then refuses that interpreter
    // (it touches no other state first), with the same error as under 3.11.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef unit7_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "unit7",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = unit7_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace unit7

PyMODINIT_FUNC PyInit_unit7() {
    return PyModuleDef_Init(&unit7::unit7_module);
}
