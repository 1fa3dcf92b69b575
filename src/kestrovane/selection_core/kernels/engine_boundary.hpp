// The public engine's boundary with the interpreter.  The engine owns its
// memory: it reads the means and variances once into blocks of its own, and
// creates its result arrays through NumPy's C API before sampling starts,
// so nobody else's code runs between its allocations and nothing it writes
// is shared.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "kestrovane/_native/numpy_api.hpp"
#include "kestrovane/_native/numpy_view.hpp"
#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/numeric/detailed_statistics.hpp"
#include "kestrovane/selection_core/kernels/numeric/owned_population.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

// A new C-contiguous array of the given type and shape, zeroed if asked.
inline PyRef new_array(int type_num, std::initializer_list<npy_intp> shape, bool zeroed = false) {
    npy_intp dims[3] = {0, 0, 0};
    int nd = 0;
    for (npy_intp d : shape) dims[nd++] = d;
    return PyRef::steal(zeroed ? PyArray_ZEROS(nd, dims, type_num, 0)
                               : PyArray_SimpleNew(nd, dims, type_num));
}

// mu and sigma2 as aligned native float64 (N, M) arrays (the public layer
// passes such arrays, which are not copied), then into `pop`.
inline bool read_population(PyObject* mu_obj, PyObject* sigma2_obj, double percentile,
                            OwnedPopulation* pop) {
    const int flags = NPY_ARRAY_IN_ARRAY;
    PyRef mu = PyRef::steal(PyArray_FROMANY(mu_obj, NPY_FLOAT64, 2, 2, flags));
    PyRef sigma2 = mu ? PyRef::steal(PyArray_FROMANY(sigma2_obj, NPY_FLOAT64, 2, 2, flags))
                      : PyRef();
    if (!sigma2) return false;
    // Converting sigma2 may run the caller's code, which may reshape mu in
    // place: its shape is read after both conversions.
    if (PyArray_NDIM(arr(mu)) != 2 || PyArray_DIM(arr(mu), 0) != PyArray_DIM(arr(sigma2), 0) ||
        PyArray_DIM(arr(mu), 1) != PyArray_DIM(arr(sigma2), 1)) {
        PyErr_SetString(PyExc_ValueError, "mu and sigma2 must have the same shape");
        return false;
    }
    const npy_intp n = PyArray_DIM(arr(mu), 0), m = PyArray_DIM(arr(mu), 1);
    if (n > kMaxExtent || m > kMaxExtent) {
        PyErr_SetString(PyExc_ValueError,
                        "mu and sigma2 must have fewer than 2**31 rows and columns");
        return false;
    }
    bool taken;
    {
        GilRelease nogil;
        taken = pop->take(data_of<const double>(mu), data_of<const double>(sigma2),
                          static_cast<std::int32_t>(n), static_cast<std::int32_t>(m),
                          winner_count(static_cast<std::int32_t>(n), percentile));
    }
    if (!taken) PyErr_NoMemory();
    return taken;
}

// The counts a call returns: (win_count, lose_count, rank_sum).
struct CountResult {
    PyRef win_count, lose_count, rank_sum;

    bool create(npy_intp n) {
        return (win_count = new_array(NPY_INT32, {n}, true)) &&
               (lose_count = new_array(NPY_INT32, {n}, true)) &&
               (rank_sum = new_array(NPY_INT64, {n}, true));
    }

    Counts raw() const {
        return Counts{data_of<std::int32_t>(win_count), data_of<std::int32_t>(lose_count),
                      data_of<std::int64_t>(rank_sum)};
    }

    PyObject* tuple() const {
        return PyTuple_Pack(3, win_count.get(), lose_count.get(), rank_sum.get());
    }
};

// What select_detailed returns: (winners, losers, win_count, lose_count,
// rank_sum, stats, quality, quantiles_mode_used), stats being the
// kMetrics x kStatistics x N array of detailed_statistics.hpp.
struct DetailedResult {
    CountResult counts;
    PyRef winners, losers, stats, quality;

    bool create(npy_intp n, npy_intp k) {
        return counts.create(n) && (winners = new_array(NPY_INT64, {k})) &&
               (losers = new_array(NPY_INT64, {k})) &&
               (stats = new_array(NPY_FLOAT64, {kMetrics, kStatistics, n}, true)) &&
               (quality = new_array(NPY_FLOAT64, {n}));
    }

    DetailedOutput output() const {
        return DetailedOutput{data_of<double>(stats), data_of<double>(quality),
                              data_of<std::int64_t>(winners), data_of<std::int64_t>(losers)};
    }

    // The means the accumulators write: row kMean of every metric.
    void means(std::int64_t n, double* (&out)[kMetrics]) const {
        for (int m = 0; m < kMetrics; ++m) out[m] = output().row(m, kMean, n);
    }

    PyObject* tuple(bool use_p2) const {
        return Py_BuildValue("(OOOOOOOi)", winners.get(), losers.get(), counts.win_count.get(),
                             counts.lose_count.get(), counts.rank_sum.get(), stats.get(),
                             quality.get(), use_p2 ? 1 : 0);
    }
};

}  // namespace kestrovane::mc
