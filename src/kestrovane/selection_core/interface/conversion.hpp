// Part of the fixed calling contract (see README.md in this folder).
//
// Conversion of scalar arguments to machine types.  Integers go through the
// __int__ protocol (int_protocol.hpp); every failure raises with the
// interpreter's usual text.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/int_protocol.hpp"

namespace kestrovane::mc {

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
