// Part of the fixed calling contract (see README.md in this folder).
//
// The integer-conversion protocol: __int__, not __index__, so 2.9 converts as
// 2 and a NumPy integer scalar as its value.  The arguments use it, and so
// does the kernels' k (the ceiling NumPy returns), which is why it stands
// apart from the argument conversions.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"

namespace kestrovane::mc {

// An exact or subclassed int for `o`, through __int__ when `o` is no int.
inline PyRef to_int_object(PyObject* o) {
    if (PyLong_Check(o)) return PyRef::borrow(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    PyRef r = PyRef::steal(nb->nb_int(o));
    if (!r || PyLong_CheckExact(r.get())) return r;
    if (!PyLong_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(r.get())->tp_name);
        return {};
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         Py_TYPE(r.get())->tp_name) < 0)
        return {};
    return r;
}

inline bool to_int32(PyObject* o, std::int32_t* out) {
    PyRef v = to_int_object(o);
    if (!v) return false;
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || x < INT32_MIN || x > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<std::int32_t>(x);
    return true;
}

}  // namespace kestrovane::mc
