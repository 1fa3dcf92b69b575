// Part of the fixed calling contract (see README.md in this folder).
//
// Binding of positional and keyword arguments to a fixed parameter list.
// Every parameter may be given by position or by keyword; those without a
// default are required.  The messages are CPython's own for these situations.
#pragma once

#include <Python.h>

#include "kestrovane/selection_core/interface/module_state.hpp"

namespace kestrovane::mc {

inline constexpr int kMaxParams = 13;

// One entry point's parameter names, filled at start-up from its table; the
// first `required` parameters have no default.
struct ParamTable {
    const char* function_name;
    int count;
    int required;
    PyObject* interned[kMaxParams];
};

// Index of the parameter called `key` (a str), or -1.
inline int find_param(const ParamTable& t, PyObject* key) {
    for (int i = 0; i < t.count; ++i)
        if (t.interned[i] == key) return i;
    for (int i = 0; i < t.count; ++i)
        if (PyUnicode_Compare(t.interned[i], key) == 0) return i;
    return -1;
}

// Fills out[0..count) with borrowed references (null where absent).
inline bool bind_arguments(const ParamTable& t, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** out) {
    if (nargs > t.count) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     t.function_name, "at most", static_cast<Py_ssize_t>(t.count), "s", nargs);
        return false;
    }
    for (int i = 0; i < t.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", t.function_name);
            return false;
        }
        const int i = find_param(t, key);
        if (i < 0) {
            if (PyErr_Occurred()) return false;
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         t.function_name, key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         t.function_name, key);
            return false;
        }
        out[i] = args[nargs + j];
    }
    for (Py_ssize_t i = 0; i < t.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError,
                         "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                         t.function_name, "at least", static_cast<Py_ssize_t>(t.required),
                         "s", i);
            return false;
        }
    }
    return true;
}

}  // namespace kestrovane::mc
