// Views of NumPy arrays as rating view records, and the scratch blocks that go
// with them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>

#include "kestrovane/_native/numpy_api.hpp"
#include "kestrovane/_native/rating_abi.hpp"

namespace kestrovane {

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

// The two heap blocks the rating uses as scratch, max(N, 1) records each.
struct RatingScratch {
    std::unique_ptr<Pair[]> pairs;
    std::unique_ptr<OrderKey[]> keys;

    // False when either block cannot be had (nothing is kept then).
    bool allocate(std::int64_t n) {
        const std::size_t count = n > 1 ? static_cast<std::size_t>(n) : 1;
        pairs.reset(new (std::nothrow) Pair[count]);
        keys.reset(new (std::nothrow) OrderKey[count]);
        if (pairs && keys) return true;
        pairs.reset();
        keys.reset();
        return false;
    }
};

}  // namespace kestrovane
