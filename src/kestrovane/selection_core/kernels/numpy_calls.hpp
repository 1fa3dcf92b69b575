// Calls into NumPy through the module's `np` binding, and the checks that
// make raw access to the resulting arrays safe.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "kestrovane/_native/numpy_api.hpp"
#include "kestrovane/_native/numpy_view.hpp"
#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"

namespace kestrovane::mc {

// np.<func>(arg, dtype=np.<dtype>)
inline PyRef np_call_with_dtype(PyObject* func, PyObject* arg, PyObject* dtype) {
    PyRef fn = np_attr(func);
    if (!fn) return {};
    PyRef type = np_attr(dtype);
    if (!type) return {};
    PyObject* argv[] = {arg, type.get()};
    return PyRef::steal(PyObject_Vectorcall(fn.get(), argv, 1, g.c.kw_dtype));
}

// True when `obj` is an ndarray the kernels may read (and, if `writable`,
// write) through a raw pointer: C-contiguous, aligned, native byte order,
// exactly the element type and shape given (d1 < 0: one-dimensional).
inline bool is_plain_array(PyObject* obj, int type_num, npy_intp d0, npy_intp d1, bool writable) {
    if (!PyArray_Check(obj)) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
    const int nd = d1 < 0 ? 1 : 2;
    if (PyArray_NDIM(a) != nd || PyArray_DIM(a, 0) != d0 || (nd == 2 && PyArray_DIM(a, 1) != d1))
        return false;
    if (PyArray_TYPE(a) != type_num || !PyArray_ISNOTSWAPPED(a)) return false;
    if (!PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a)) return false;
    return !writable || PyArray_ISWRITEABLE(a);
}

// An array from np.empty / np.zeros with the request it answered.  It is
// checked when made and again, with the interpreter lock held, right before
// anything is written into it: the caller's code (a replaced np) may change
// it in between.
struct NpArray {
    PyRef obj;
    PyObject* func = nullptr;   // interned name, kept by the module
    PyObject* dtype = nullptr;  // likewise
    int type_num = 0;
    npy_intp d0 = 0, d1 = -1;

    explicit operator bool() const { return static_cast<bool>(obj); }
    PyObject* get() const { return obj.get(); }

    // False, with TypeError raised, when the array is not (or no longer) a
    // writable C-contiguous array of the requested type and shape.
    bool usable() const {
        if (is_plain_array(obj.get(), type_num, d0, d1, true)) return true;
        PyErr_Format(PyExc_TypeError,
                     "np.%U returned an object that is not a writable C-contiguous %U array of "
                     "the requested shape",
                     func, dtype);
        return false;
    }

    // The data to write, checked (null with the error raised).
    template <class T>
    T* writable() const {
        return usable() ? static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(get())))
                        : nullptr;
    }

    // Copies the array's size in values from `from`, checked; false with
    // the error raised.
    template <class T>
    bool fill(const T* from) const {
        T* to = writable<T>();
        if (to) std::copy(from, from + d0 * (d1 < 0 ? 1 : d1), to);
        return to != nullptr;
    }
};

// np.empty / np.zeros of shape d0 (d1 < 0) or (d0, d1), checked to be usable
// as a raw buffer.
inline NpArray np_new(PyObject* func, npy_intp d0, npy_intp d1, PyObject* dtype, int type_num) {
    NpArray out{{}, func, dtype, type_num, d0, d1};
    PyRef shape = d1 < 0 ? PyRef::steal(PyLong_FromSsize_t(d0))
                         : PyRef::steal(Py_BuildValue("(nn)", d0, d1));
    if (!shape) return out;
    out.obj = np_call_with_dtype(func, shape.get(), dtype);
    if (out && !out.usable()) out.obj = PyRef();
    return out;
}

inline NpArray new_f64(PyObject* func, npy_intp d0, npy_intp d1 = -1) {
    return np_new(func, d0, d1, g.c.s_float64, NPY_FLOAT64);
}
inline NpArray new_i64(PyObject* func, npy_intp d0) {
    return np_new(func, d0, -1, g.c.s_int64, NPY_INT64);
}
inline NpArray new_i32(PyObject* func, npy_intp d0) {
    return np_new(func, d0, -1, g.c.s_int32, NPY_INT32);
}

// np.arange(n, dtype=np.int64)
inline PyRef arange_i64(npy_intp n) {
    PyRef count = PyRef::steal(PyLong_FromSsize_t(n));
    return count ? np_call_with_dtype(g.c.s_arange, count.get(), g.c.s_int64) : PyRef();
}

// a.astype(np.int64, copy=False)
inline PyRef as_int64_nocopy(PyObject* a) {
    PyRef int64 = np_attr(g.c.s_int64);
    if (!int64) return {};
    PyObject* argv[] = {a, int64.get(), Py_False};
    return PyRef::steal(PyObject_VectorcallMethod(g.c.s_astype, argv, 2, g.c.kw_copy));
}

// False, with ValueError raised, unless `a` is two-dimensional.
inline bool require_2d(PyArrayObject* a) {
    if (PyArray_NDIM(a) == 2) return true;
    PyErr_SetString(PyExc_ValueError, "expected a 2D array");
    return false;
}

// `a` when it is a two-dimensional ndarray, else null with the error raised.
inline PyRef checked_2d(PyRef a) {
    if (a && !PyArray_Check(a.get())) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to numpy.ndarray",
                     Py_TYPE(a.get())->tp_name);
        return {};
    }
    return a && require_2d(arr(a)) ? std::move(a) : PyRef();
}

// Any object -> a 2-D C-contiguous float64 ndarray (the same object when it
// already is one).  np may be replaced, so its results are checked again.
inline PyRef as_contig_f64_2d(PyObject* obj) {
    PyRef a = checked_2d(np_call_with_dtype(g.c.s_asarray, obj, g.c.s_float64));
    // Inputs with more rows or columns than kMaxExtent are refused by shape
    // (prepare_population) and never read: no copy, which for a broadcast
    // view could take gigabytes.
    if (a && !PyArray_IS_C_CONTIGUOUS(arr(a)) && PyArray_DIM(arr(a), 0) <= kMaxExtent &&
        PyArray_DIM(arr(a), 1) <= kMaxExtent) {
        PyRef fn = np_attr(g.c.s_ascontiguousarray);
        a = checked_2d(fn ? PyRef::steal(PyObject_CallOneArg(fn.get(), a.get())) : PyRef());
    }
    if (!a) add_traceback("kestrovane.selection_core._mc_rank._as_contig_f64_2d");
    return a;
}

}  // namespace kestrovane::mc
