// The selection kernel behind mc_rank_select: the k best and k worst
// individuals by Monte-Carlo standing, chosen with np.lexsort.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/counting_kernel.hpp"

namespace kestrovane::mc {

// np.lexsort((idx, tie, primary)): the last key is the primary one.
inline PyRef lexsort3(PyObject* idx, PyObject* tie, PyObject* primary) {
    PyRef keys = PyRef::steal(PyTuple_Pack(3, idx, tie, primary));
    PyRef lexsort = keys ? np_attr(g.c.s_lexsort) : PyRef();
    return lexsort ? PyRef::steal(PyObject_CallOneArg(lexsort.get(), keys.get())) : PyRef();
}

// order[:k].astype(np.int64, copy=False)
inline PyRef first_k(PyObject* order, Py_ssize_t k) {
    PyRef head = PyRef::steal(PySequence_GetSlice(order, 0, k));
    return head ? as_int64_nocopy(head.get()) : PyRef();
}

// The winners' order: most wins, then smallest rank sum, then smallest index.
inline PyRef winners_order(PyObject* idx, PyObject* win_count, PyObject* rank_sum) {
    PyRef neg_win = PyRef::steal(PyNumber_Negative(win_count));
    return neg_win ? lexsort3(idx, rank_sum, neg_win.get()) : PyRef();
}

// The losers' order: most losses, then largest rank sum, then smallest index.
inline PyRef losers_order(PyObject* idx, PyObject* lose_count, PyObject* rank_sum) {
    PyRef neg_rank = PyRef::steal(PyNumber_Negative(rank_sum));
    PyRef neg_lose = neg_rank ? PyRef::steal(PyNumber_Negative(lose_count)) : PyRef();
    return neg_lose ? lexsort3(idx, neg_rank.get(), neg_lose.get()) : PyRef();
}

inline PyObject* selection_kernel(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                  const RankOptions& o) {
    PyRef counts = PyRef::steal(counting_kernel(mu_obj, sigma2_obj, n_samples, o));
    if (!counts) return nullptr;
    PyObject* win_count = PyTuple_GET_ITEM(counts.get(), 0);  // borrowed from `counts`
    PyObject* lose_count = PyTuple_GET_ITEM(counts.get(), 1);
    PyObject* rank_sum = PyTuple_GET_ITEM(counts.get(), 2);
    const npy_intp n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(win_count), 0);
    if (n == 0) {
        NpArray empty = new_i64(g.c.s_zeros, 0);
        if (!empty) return nullptr;
        return PyTuple_Pack(5, empty.get(), empty.get(), win_count, lose_count, rank_sum);
    }
    std::int32_t k = 1;
    if (!winners_per_sample(n, o.percentile, &k)) return nullptr;
    const Py_ssize_t take = k < n ? k : n;
    PyRef idx = arange_i64(n);
    if (!idx) return nullptr;
    PyRef by_wins = winners_order(idx.get(), win_count, rank_sum);
    PyRef winners = by_wins ? first_k(by_wins.get(), take) : PyRef();
    if (!winners) return nullptr;
    PyRef by_losses = losers_order(idx.get(), lose_count, rank_sum);
    PyRef losers = by_losses ? first_k(by_losses.get(), take) : PyRef();
    if (!losers) return nullptr;
    return PyTuple_Pack(5, winners.get(), losers.get(), win_count, lose_count, rank_sum);
}

}  // namespace kestrovane::mc
