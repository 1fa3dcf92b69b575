// Conversion of scalar arguments to machine types.  Integers go through the
// __int__ protocol (not __index__), so 2.9 binds as 2 and a NumPy integer
// scalar as its value; every failure raises with the interpreter's usual text.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/module_globals.hpp"

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

inline bool to_uint64(PyObject* o, std::uint64_t* out) {
    PyRef v = to_int_object(o);
    if (!v) return false;
    // The sign from the value itself: an int subclass's own __lt__ is not asked.
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (small == -1 && overflow == 0 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        PyErr_SetString(PyExc_OverflowError,
                        "can't convert negative value to unsigned PY_LONG_LONG");
        return false;
    }
    const unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    *out = x;
    return true;
}

inline bool to_int64(PyObject* o, std::int64_t* out) {
    PyRef v = to_int_object(o);
    if (!v) return false;
    const long long x = PyLong_AsLongLong(v.get());
    if (x == -1 && PyErr_Occurred()) return false;
    *out = x;
    return true;
}

inline bool to_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double x = PyFloat_AsDouble(o);
    if (x == -1.0 && PyErr_Occurred()) return false;
    *out = x;
    return true;
}

}  // namespace kestrovane::mc
