// The common start of every kernel: normalise the inputs, validate them in a
// fixed order, derive k and the standard deviations.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/int_protocol.hpp"
#include "kestrovane/selection_core/kernels/memory_map.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

// The arrays the low-level kernels sample from, and k.
struct PopulationArrays {
    PyRef mu;      // N x M float64, possibly the caller's own array (read only)
    PyRef sigma2;  // N x M float64, likewise
    PyRef sigma;   // N x M float64, owned
    std::int32_t n = 0;
    std::int32_t m = 0;
    std::int32_t k = 0;

    void add_to(MemoryMap* map) const {
        map->add("mu", mu, false);
        map->add("sigma2", sigma2, false);
        map->add("sigma", sigma);
    }
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
                                   double percentile, PopulationArrays* pop, MemoryMap* map) {
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
    // Sizes are 32-bit in the loops; refuse rather than wrap.
    if (n > INT32_MAX || m > INT32_MAX) {
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
    pop->n = static_cast<std::int32_t>(n);
    pop->m = static_cast<std::int32_t>(m);
    pop->k = k < pop->n ? k : pop->n;

    // The loops read mu and sigma2 through raw pointers: unaligned data (say
    // from a byte buffer at an odd offset) is copied once.
    if (!ensure_readable_f64(&pop->mu, n, m) || !ensure_readable_f64(&pop->sigma2, n, m))
        return Prepared::error;
    pop->sigma = new_f64(g.c.s_empty, n, m);
    if (!pop->sigma) return Prepared::error;
    // sigma must not be written into the caller's arrays, nor into another
    // running call's.
    pop->add_to(map);
    if (!map->claim()) return Prepared::error;
    {
        GilRelease nogil;
        fill_sigma(data_of<const double>(pop->sigma2), data_of<double>(pop->sigma), n * m);
    }
    return Prepared::ready;
}

}  // namespace kestrovane::mc
