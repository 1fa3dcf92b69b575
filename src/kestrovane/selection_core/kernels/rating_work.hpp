// The rating work arrays of the calling contract, made through np.empty in
// this order.  A replaced np sees every request, as callers may rely on; the
// engine rates in heap blocks of its own, so these arrays are never written
// nor read (np.empty leaves them uninitialised).
#pragma once

#include <Python.h>

#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

struct RatingWorkArrays {
    NpArray X, R, front_id, within, order, items, offsets, dom, n_dom, cur, nxt;

    bool create(npy_intp n, npy_intp m) {
        PyObject* empty = g.c.s_empty;
        return (X = new_f64(empty, n, m)) && (R = new_f64(empty, n, m)) &&
               (front_id = new_i64(empty, n)) && (within = new_f64(empty, n)) &&
               (order = new_i64(empty, n)) && (items = new_i64(empty, n)) &&
               (offsets = new_i64(empty, n + 1)) &&
               (dom = np_new(empty, n, n, g.c.s_uint8, NPY_UINT8)) &&
               (n_dom = new_i32(empty, n)) && (cur = new_i32(empty, n)) &&
               (nxt = new_i32(empty, n));
    }
};

}  // namespace kestrovane::mc
