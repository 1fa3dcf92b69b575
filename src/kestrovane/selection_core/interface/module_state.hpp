// Part of the fixed calling contract (see README.md in this folder).
//
// Process-wide state of _mc_rank: written once during start-up, read-only
// afterwards (also by kernels running without the interpreter lock).  It also
// holds the two services the kernels' glue uses from this layer: `np`, looked
// up in the module namespace at every use, and the traceback entries.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/_native/rating_abi.hpp"

namespace kestrovane::mc {

inline constexpr const char kModuleName[] = "kestrovane.selection_core._mc_rank";
inline constexpr const char kSourceFile[] = "src/kestrovane/selection_core/_mc_rank.cpp";

// Interned names and shared numbers.  Created once, never released: the
// process owns them until exit.
struct Constants {
    PyObject* s_np;
    PyObject* s_numpy;
    PyObject* s_asarray;
    PyObject* s_ascontiguousarray;
    PyObject* s_empty;
    PyObject* s_zeros;
    PyObject* s_ceil;
    PyObject* s_arange;
    PyObject* s_lexsort;
    PyObject* s_astype;
    PyObject* s_median;
    PyObject* s_quantile;
    PyObject* s_float64;
    PyObject* s_int64;
    PyObject* s_int32;
    PyObject* s_uint8;
    PyObject* kw_dtype;       // ("dtype",)
    PyObject* kw_copy;        // ("copy",)
    PyObject* kw_axis;        // ("axis",)
    PyObject* f_0_2;
    PyObject* f_1_0;
    PyObject* f_0_25;
    PyObject* f_0_75;
    PyObject* i_0;
    PyObject* i_1;
    PyObject* i_2;
    PyObject* i_2500000;
    PyObject* f_quality_sign;  // the computed default of quality_sign
};

struct Globals {
    PyObject* module = nullptr;  // strong reference while initialised
    bool interpreter_known = false;
    std::int64_t interpreter_id = 0;
    RateFn rate = nullptr;
    bool constants_ready = false;
    Constants c{};
};

inline Globals g;

// The module's `np` binding, looked up at every use (then the builtins).
inline PyRef get_np() {
    PyObject* dict = PyModule_GetDict(g.module);  // borrowed
    PyObject* np = PyDict_GetItemWithError(dict, g.c.s_np);
    if (np) return PyRef::borrow(np);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    np = builtins ? PyDict_GetItemWithError(builtins, g.c.s_np) : nullptr;
    if (np) return PyRef::borrow(np);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g.c.s_np);
    return {};
}

// np.<name>
inline PyRef np_attr(PyObject* name) {
    PyRef np = get_np();
    if (!np) return {};
    return PyRef::steal(PyObject_GetAttr(np.get(), name));
}

// Adds a traceback entry for `funcname` to the exception being raised.
inline void add_traceback(const char* funcname) {
    PyObject* exc = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, funcname, 1);
    PyObject* globals = g.module ? PyModule_GetDict(g.module) : nullptr;
    PyFrameObject* frame = nullptr;
    if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace kestrovane::mc
