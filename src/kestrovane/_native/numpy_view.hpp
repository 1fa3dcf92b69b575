// Raw access to NumPy arrays: their data, and views of them as rating view
// records.
#pragma once

#include <Python.h>

#include "kestrovane/_native/numpy_api.hpp"
#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/_native/rating_scratch.hpp"

namespace kestrovane {

inline PyArrayObject* arr(const PyRef& r) { return reinterpret_cast<PyArrayObject*>(r.get()); }

template <class T>
T* data_of(const PyRef& r) {
    return static_cast<T*>(PyArray_DATA(arr(r)));
}

// The caller keeps `arr` alive while the view is in use.
inline ArrayView view_of(PyArrayObject* arr) {
    ArrayView v{};
    v.memview = arr;
    v.data = static_cast<char*>(PyArray_DATA(arr));
    const int nd = PyArray_NDIM(arr);
    for (int d = 0; d < nd && d < 8; ++d) {
        v.shape[d] = PyArray_DIM(arr, d);
        v.strides[d] = PyArray_STRIDE(arr, d);
        v.suboffsets[d] = -1;
    }
    return v;
}

}  // namespace kestrovane
