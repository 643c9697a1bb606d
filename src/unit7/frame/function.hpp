// function.hpp: the rows of the function table, the frame a body runs in, and the function type.
#pragma once

#include "frame/ref.hpp"

namespace unit7 {

struct FuncDef;

// What a running body knows about itself: its table row and the line of the statement it is on,
// which is the line its traceback entry reports if the statement fails.
struct Frame {
    const FuncDef& def;
    int line;
    // Move to the k-th statement of the body (1 is the first statement after the docstring).
    void at(int k);
};

// A body receives the bound parameter values (borrowed, in declaration order) and returns a new
// reference, or throws Raised with a Python exception set.
using Body = Ref (*)(Frame& fr, PyObject* const* args);

constexpr int kMaxParams = 4;

// One row of the function table. The first block is written in table.cpp; the rest is filled in
// once by the exec step.
struct FuncDef {
    const char* name;
    const char* params[kMaxParams];
    int nparams;
    int nrequired;
    const char* const* locals;  // local names after the parameters, nullptr-terminated
    const char* doc;
    int statements;  // number of statement lines of the body, for the line layout
    Body body;

    int first_line = 0;  // line of the header in package/velmor/unit7
    int doc_lines = 0;
    PyObject* name_str = nullptr;
    PyObject* param_strs[kMaxParams] = {};
    PyObject* defaults[kMaxParams] = {};  // the fixed default objects that calls receive
    PyObject* defaults_tuple = nullptr;   // what __defaults__ shows at first
    PyObject* code = nullptr;
    PyObject* doc_str = nullptr;
    PyObject* tb_name = nullptr;  // "velmor.unit7.<name>"
};

extern FuncDef* const kFunctions[];
extern const int kFunctionCount;

inline void Frame::at(int k) { line = def.first_line + def.doc_lines + k; }

// Prepare the function type (once per process).
bool function_type_ready();
// Point the rows with defaults at the fixed default objects (table.cpp).
void function_table_defaults();
// Fill the table rows' per-process objects: names, code objects, default tuples.
bool function_defs_create();
// A new function object for the row, bound to the module namespace.
PyObject* function_new(FuncDef* def, PyObject* globals);

// Add one traceback entry to the current exception.
void add_traceback(PyObject* funcname, int line);

}  // namespace unit7
