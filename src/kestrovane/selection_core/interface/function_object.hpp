// Part of the fixed calling contract (see README.md in this folder).
//
// The callable type of the entry points: a vectorcall function object that
// introspects like a Python function (name, defaults, a real code object), so
// inspect.signature() shows the parameter list.
#pragma once

#include <Python.h>

#include <memory>
#include <new>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/binding.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"

namespace kestrovane::mc {

// What an entry point runs once its arguments are bound (borrowed, null where
// absent); returns a new reference or null with an exception set.
using EntryImpl = PyObject* (*)(PyObject* const* bound);
// Fills the parameter names at start-up; returns the __defaults__ tuple.
using EntryPrepare = PyObject* (*)(ParamTable* params);

struct EntryPoint {
    ParamTable params;
    const char* traceback_name;
    const char* doc;
    EntryImpl impl;
    EntryPrepare prepare;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    EntryPoint* entry;
    // Owned references.
    PyObject* name;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* code;
    PyObject* annotations;
    PyObject* dict;
};

inline PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
    EntryPoint* entry = reinterpret_cast<FunctionObject*>(self)->entry;
    PyObject* bound[kMaxParams];
    PyObject* result = nullptr;
    if (bind_arguments(entry->params, args, PyVectorcall_NARGS(nargsf), kwnames, bound))
        result = entry->impl(bound);
    if (!result) add_traceback(entry->traceback_name);
    return result;
}

// The classic call (f.__call__(*args, **kwargs)) reaches this slot with the
// keyword dict unchecked; it is unpacked here, not by PyVectorcall_Call, so a
// non-string key gets the function's own message, in the order of binding.
inline PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    // Own references to the keywords and values: binding may run Python code.
    PyRef names = PyRef::steal(PyTuple_New(nkw)), values = PyRef::steal(PyTuple_New(nkw));
    std::unique_ptr<PyObject*[]> stack(new (std::nothrow) PyObject*[nargs + nkw + 1]);
    if (!names || !values) return nullptr;
    if (!stack) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0, j = 0;
    PyObject *key, *value;
    while (j < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), j, Py_NewRef(key));
        PyTuple_SET_ITEM(values.get(), j, Py_NewRef(value));
        stack[nargs + j++] = value;
    }
    return function_vectorcall(self, stack.get(), static_cast<size_t>(nargs),
                               nkw ? names.get() : nullptr);
}

inline void function_dealloc(PyObject* self) {
    FunctionObject* f = reinterpret_cast<FunctionObject*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->code);
    Py_XDECREF(f->annotations);
    Py_XDECREF(f->dict);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->name,
                                self);
}

inline PyObject* function_get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference, as built-in functions are: the name within __module__.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->name);
}

inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

inline PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(FunctionObject, defaults), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef function_getset[] = {
    {"__kwdefaults__", function_get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyTypeObject FunctionType = [] {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "kestrovane_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

// A code object describing the parameters, for signature introspection.
inline PyRef make_code(const EntryPoint& e) {
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(kSourceFile, e.params.function_name, 1)));
    if (!code) return {};
    PyRef varnames = PyRef::steal(PyTuple_New(e.params.count));
    if (!varnames) return {};
    for (int i = 0; i < e.params.count; ++i)
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(e.params.interned[i]));
    PyRef replace = PyRef::steal(PyObject_GetAttrString(code.get(), "replace"));
    PyRef kwargs = PyRef::steal(Py_BuildValue("{s:i,s:i,s:i,s:i,s:O}", "co_argcount",
                                              e.params.count, "co_posonlyargcount", 0,
                                              "co_kwonlyargcount", 0, "co_nlocals",
                                              e.params.count, "co_varnames", varnames.get()));
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!replace || !kwargs || !empty) return {};
    return PyRef::steal(PyObject_Call(replace.get(), empty.get(), kwargs.get()));
}

// A new function object for `e`.
inline PyRef make_function(EntryPoint* e) {
    PyRef defaults = PyRef::steal(e->prepare(&e->params));
    if (!defaults) return {};
    PyRef code = make_code(*e);
    PyRef name = PyRef::steal(PyUnicode_InternFromString(e->params.function_name));
    PyRef module = PyRef::steal(PyUnicode_InternFromString(kModuleName));
    PyRef doc = PyRef::steal(PyUnicode_FromString(e->doc));
    PyRef annotations = PyRef::steal(PyDict_New());
    if (!code || !name || !module || !doc || !annotations) return {};
    FunctionObject* f = PyObject_New(FunctionObject, &FunctionType);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->entry = e;
    f->name = name.release();
    f->module = module.release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->code = code.release();
    f->annotations = annotations.release();
    f->dict = nullptr;
    return PyRef::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace kestrovane::mc
