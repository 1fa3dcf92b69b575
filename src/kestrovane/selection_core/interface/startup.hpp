// Part of the fixed calling contract (see README.md in this folder).
//
// The steps of start-up that callers can observe: the one-interpreter guard of
// the create slot, the version warning, the module constants, the checks of
// builtins.type and of NumPy's types, the native import of the rating function
// with its three messages, and the binding of `np`.  _mc_rank.cpp runs them in
// their fixed order.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"

namespace kestrovane::mc {

// Copies spec.<attr> to module.<name>; a missing attribute is skipped, and
// with `skip_none` so is None.
inline bool copy_spec_attr(PyObject* spec, PyObject* module, const char* attr,
                           const char* name, bool skip_none) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (skip_none && value.get() == Py_None) return true;
    return PyObject_SetAttrString(module, name, value.get()) == 0;
}

inline PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (!g.interpreter_known) {
        g.interpreter_known = true;
        g.interpreter_id = id;
    } else if (g.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g.module) return Py_NewRef(g.module);
    PyRef name = PyRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module = PyRef::steal(PyModule_NewObject(name.get()));
    if (!module || !copy_spec_attr(spec, module.get(), "loader", "__loader__", false) ||
        !copy_spec_attr(spec, module.get(), "origin", "__file__", false) ||
        !copy_spec_attr(spec, module.get(), "parent", "__package__", false) ||
        !copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

inline PyObject* intern(const char* s) { return PyUnicode_InternFromString(s); }

inline bool create_constants() {
    if (g.constants_ready) return true;
    auto& c = g.c;
    c.s_np = intern("np");
    c.s_numpy = intern("numpy");
    c.s_asarray = intern("asarray");
    c.s_ascontiguousarray = intern("ascontiguousarray");
    c.s_empty = intern("empty");
    c.s_zeros = intern("zeros");
    c.s_ceil = intern("ceil");
    c.s_arange = intern("arange");
    c.s_lexsort = intern("lexsort");
    c.s_astype = intern("astype");
    c.s_median = intern("median");
    c.s_quantile = intern("quantile");
    c.s_float64 = intern("float64");
    c.s_int64 = intern("int64");
    c.s_int32 = intern("int32");
    c.s_uint8 = intern("uint8");
    c.kw_dtype = Py_BuildValue("(s)", "dtype");
    c.kw_copy = Py_BuildValue("(s)", "copy");
    c.kw_axis = Py_BuildValue("(s)", "axis");
    c.f_0_2 = PyFloat_FromDouble(0.2);
    c.f_1_0 = PyFloat_FromDouble(1.0);
    c.f_0_25 = PyFloat_FromDouble(0.25);
    c.f_0_75 = PyFloat_FromDouble(0.75);
    c.i_0 = PyLong_FromLong(0);
    c.i_1 = PyLong_FromLong(1);
    c.i_2 = PyLong_FromLong(2);
    c.i_2500000 = PyLong_FromLong(2500000);
    PyObject* const all[] = {c.s_np,     c.s_numpy,   c.s_asarray, c.s_ascontiguousarray,
                             c.s_empty,  c.s_zeros,   c.s_ceil,    c.s_arange,
                             c.s_lexsort, c.s_astype, c.s_median,  c.s_quantile,
                             c.s_float64, c.s_int64,  c.s_int32,   c.s_uint8,
                             c.kw_dtype, c.kw_copy,   c.kw_axis,   c.f_0_2,
                             c.f_1_0,    c.f_0_25,    c.f_0_75,    c.i_0,
                             c.i_1,      c.i_2,       c.i_2500000};
    for (PyObject* o : all)
        if (!o) return false;
    g.constants_ready = true;
    return true;
}

inline bool version_guard() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName,
                            "does not match", major, minor) == 0;
}

inline bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyRef key = PyRef::steal(PyUnicode_FromString(kModuleName));
    if (!key) return false;
    const int present = PyDict_Contains(modules, key.get());
    if (present != 0) return present > 0;
    return PyDict_SetItem(modules, key.get(), module) == 0;
}

inline bool check_builtin_type(PyObject* builtins) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(builtins, "type"));
    if (!type) return false;
    if (!PyType_Check(type.get()) ||
        reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize <
            static_cast<Py_ssize_t>(sizeof(PyHeapTypeObject))) {
        PyErr_SetString(PyExc_TypeError, "builtins.type has an unexpected layout");
        return false;
    }
    return true;
}

inline bool resolve_numpy_types() {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    static const char* const names[] = {
        "dtype",    "flatiter", "broadcast",     "ndarray",         "generic",
        "number",   "integer",  "signedinteger", "unsignedinteger", "inexact",
        "floating", "complexfloating", "flexible", "character",     "ufunc"};
    for (const char* name : names) {
        PyRef t = PyRef::steal(PyObject_GetAttrString(numpy.get(), name));
        if (!t) return false;
        if (!PyType_Check(t.get())) {
            PyErr_Format(PyExc_TypeError, "numpy.%s is not a type object", name);
            return false;
        }
    }
    return true;
}

// Reads rate_population_inplace from the rating module's __pyx_capi__.
inline bool import_rating_function() {
        PyRef sibling = PyRef::steal(PyImport_ImportModule(kRatingModule));
    if (!sibling) return false;
    PyRef capi = PyRef::steal(PyObject_GetAttrString(sibling.get(), "__pyx_capi__"));
    if (!capi) return false;
    PyObject* capsule =
        PyDict_Check(capi.get()) ? PyDict_GetItemString(capi.get(), kRatingFunction) : nullptr;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s",
                     kRatingModule, "function", kRatingFunction);
        return false;
    }
    const char* name = PyCapsule_IsValid(capsule, PyCapsule_GetName(capsule))
                           ? PyCapsule_GetName(capsule)
                           : nullptr;
    if (!name || std::strcmp(name, kRatingSignature) != 0) {
        PyErr_Format(PyExc_TypeError,
                     "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", kRatingModule, kRatingFunction, kRatingSignature,
                     name ? name : "(null)");
        return false;
    }
    g.rate = reinterpret_cast<RateFn>(PyCapsule_GetPointer(capsule, name));
    return g.rate != nullptr;
}

// `import numpy as np`: what builtins.__import__ returns is bound, also when an
// import hook hands back something other than sys.modules['numpy'].
inline PyRef import_as_np(PyObject* globals, PyObject* builtins) {
    PyRef import = PyRef::steal(PyObject_GetAttrString(builtins, "__import__"));
    if (!import) return {};
    // As the statement at module level: locals are the globals, no fromlist.
    return PyRef::steal(PyObject_CallFunction(import.get(), "OOOOi", g.c.s_numpy, globals,
                                              globals, Py_None, 0));
}

}  // namespace kestrovane::mc
