// The common start of every low-level kernel: normalise the inputs through
// np, validate them in a fixed order, derive k through np.ceil, and read the
// population into the engine's own memory.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/selection_core/interface/int_protocol.hpp"
#include "kestrovane/selection_core/kernels/numeric/owned_population.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

// The population a low-level call samples from.
struct PopulationArrays {
    PyRef mu;       // N x M float64 from np.asarray, possibly the caller's own array
    PyRef sigma2;   // likewise
    NpArray sigma;  // np.empty's N x M array of the contract; never written
    OwnedPopulation owned;  // what the engine samples from: copies, k
};

// max(1, ceil(n * percentile)), the product taken in double precision and
// rounded up by np.ceil; the caller caps it at n.
inline bool winners_per_sample(std::int64_t n, double percentile, std::int32_t* k) {
    PyRef product = PyRef::steal(PyFloat_FromDouble(static_cast<double>(n) * percentile));
    PyRef ceil = product ? np_attr(g.c.s_ceil) : PyRef();
    PyRef up = ceil ? PyRef::steal(PyObject_CallOneArg(ceil.get(), product.get())) : PyRef();
    std::int32_t value;
    if (!up || !to_int32(up.get(), &value)) return false;
    *k = value < 1 ? 1 : value;
    return true;
}

// Makes *a an aligned native float64 (n, m) array, copying when needed.
inline bool ensure_readable_f64(PyRef* a, npy_intp n, npy_intp m) {
    if (is_plain_array(a->get(), NPY_FLOAT64, n, m, false)) return true;
    if (PyArray_TYPE(arr(*a)) == NPY_FLOAT64 && PyArray_ISNOTSWAPPED(arr(*a)))
        *a = PyRef::steal(PyArray_NewCopy(arr(*a), NPY_CORDER));
    if (*a && is_plain_array(a->get(), NPY_FLOAT64, n, m, false)) return true;
    if (*a) PyErr_SetString(PyExc_ValueError, "mu and sigma2 must convert to float64 arrays");
    return false;
}

enum class Prepared { error, empty, ready };

inline Prepared prepare_population(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                                   double percentile, PopulationArrays* pop) {
    pop->mu = as_contig_f64_2d(mu_obj);
    if (!pop->mu) return Prepared::error;
    pop->sigma2 = as_contig_f64_2d(sigma2_obj);
    if (!pop->sigma2) return Prepared::error;
    PyArrayObject* mu = arr(pop->mu);
    PyArrayObject* sigma2 = arr(pop->sigma2);
    // Converting sigma2 runs the caller's code (__array__, a replaced np),
    // which may have reshaped mu in place, say to 0-d: look again.
    if (!require_2d(mu) || !require_2d(sigma2)) return Prepared::error;
    if (PyArray_DIM(mu, 0) != PyArray_DIM(sigma2, 0) || PyArray_DIM(mu, 1) != PyArray_DIM(sigma2, 1)) {
        PyErr_SetString(PyExc_ValueError, "mu and sigma2 must have the same shape");
        return Prepared::error;
    }
    const npy_intp n = PyArray_DIM(mu, 0), m = PyArray_DIM(mu, 1);
    if (n == 0) return Prepared::empty;
    if (n > kMaxExtent || m > kMaxExtent) {
        PyErr_SetString(PyExc_ValueError,
                        "mu and sigma2 must have fewer than 2**31 rows and columns");
        return Prepared::error;
    }
    if (n_samples < 1) {
        PyErr_SetString(PyExc_ValueError, "n_samples must be > 0");
        return Prepared::error;
    }
    if (percentile <= 0.0 || percentile > 1.0) {
        PyErr_SetString(PyExc_ValueError, "percentile must be in (0,1]");
        return Prepared::error;
    }
    std::int32_t k = 1;
    if (!winners_per_sample(n, percentile, &k)) return Prepared::error;
    if (k > n) k = static_cast<std::int32_t>(n);

    // Read now, with no caller's code run since the checks: the engine
    // samples from copies, so nothing the caller does later reaches it.
    if (!ensure_readable_f64(&pop->mu, n, m) || !ensure_readable_f64(&pop->sigma2, n, m))
        return Prepared::error;
    if (!pop->owned.take(data_of<const double>(pop->mu), data_of<const double>(pop->sigma2),
                         static_cast<std::int32_t>(n), static_cast<std::int32_t>(m), k)) {
        PyErr_NoMemory();
        return Prepared::error;
    }
    pop->sigma = new_f64(g.c.s_empty, n, m);
    return pop->sigma ? Prepared::ready : Prepared::error;
}

}  // namespace kestrovane::mc
