// The arrays a kernel hands to the rating, and the count arrays, created
// through np.empty / np.zeros before the sampling loop.
#pragma once

#include <Python.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <new>

#include "kestrovane/_native/numpy_view.hpp"
#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/memory_map.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"
#include "kestrovane/selection_core/kernels/loop_errors.hpp"

namespace kestrovane::mc {

struct RatingWork {
    PyRef X, R, front_id, within, order, items, offsets, dom, n_dom, cur, nxt;
    RatingScratch scratch;

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

    void add_to(MemoryMap* map) const {
        const PyRef* arrays[] = {&X, &R, &front_id, &within, &order, &items,
                                 &offsets, &dom, &n_dom, &cur, &nxt};
        const char* names[] = {"X", "R", "front_id", "within", "order", "items",
                               "offsets", "dom", "n_dom", "cur", "nxt"};
        for (std::size_t i = 0; i < std::size(arrays); ++i) map->add(names[i], *arrays[i]);
    }

    // After create(): the raw scratch blocks (MemoryError when missing).
    bool allocate_scratch(npy_intp n) {
        if (scratch.allocate(n)) return true;
        PyErr_NoMemory();
        return false;
    }

    RatingCall call(int mode_i, int within_mode_i) const {
        return RatingCall{g.rate,
                          mode_i,
                          within_mode_i,
                          view_of(arr(X)),
                          view_of(arr(front_id)),
                          view_of(arr(within)),
                          view_of(arr(order)),
                          view_of(arr(offsets)),
                          view_of(arr(items)),
                          view_of(arr(dom)),
                          view_of(arr(n_dom)),
                          view_of(arr(cur)),
                          view_of(arr(nxt)),
                          view_of(arr(R)),
                          scratch.pairs.get(),
                          scratch.keys.get()};
    }
};

struct CountArrays {
    PyRef win_count, lose_count, rank_sum;

    bool create(npy_intp n) {
        return (win_count = new_i32(g.c.s_zeros, n)) && (lose_count = new_i32(g.c.s_zeros, n)) &&
               (rank_sum = new_i64(g.c.s_zeros, n));
    }

    void add_to(MemoryMap* map) const {
        map->add("win_count", win_count);
        map->add("lose_count", lose_count);
        map->add("rank_sum", rank_sum);
    }

    Counts raw() const {
        return Counts{data_of<std::int32_t>(win_count), data_of<std::int32_t>(lose_count),
                      data_of<std::int64_t>(rank_sum)};
    }
};

}  // namespace kestrovane::mc
