// kestrovane.pareto_core._pareto_rating_cy: the Pareto rating as an extension
// module.  It exports rate_population_inplace as a native function through
// __pyx_capi__ (for the Monte-Carlo kernels) and rate_population for Python.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL kestrovane_pareto_ARRAY_API
#include "kestrovane/_native/numpy_api.hpp"

#include "kestrovane/_native/numpy_view.hpp"
#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/pareto_core/rate_population_inplace.hpp"

namespace {

using kestrovane::ArrayView;
using kestrovane::OrderKey;
using kestrovane::Pair;
using kestrovane::PyRef;

// Plain C function pointer target with the exact exported signature.
int rate_population_inplace(ArrayView X, int mode_i, int within_mode_i, ArrayView front_id,
                            ArrayView within, ArrayView order, ArrayView offsets, ArrayView items,
                            ArrayView dom, ArrayView n_dom, ArrayView cur, ArrayView nxt,
                            Pair* pairs, OrderKey* keys, ArrayView R) {
    return kestrovane::pareto::rate_population_views(X, mode_i, within_mode_i, front_id, within,
                                                     order, offsets, items, dom, n_dom, cur, nxt,
                                                     pairs, keys, R);
}
constexpr kestrovane::RateFn kExported = &rate_population_inplace;

const char* rating_error_message(int code) {
    switch (code) {
        case kestrovane::pareto::kBadMode:
            return "mode_i must be 0 (values) or 1 (ranks)";
        case kestrovane::pareto::kBadWithinMode:
            return "within_mode_i must be 0 (crowding)";
        case kestrovane::pareto::kNaNValue:
            return "X must not contain NaN";
        case kestrovane::pareto::kBadWorkArray:
            return "work arrays do not fit the shape of X";
        default:
            return "rating failed";
    }
}

PyRef new_array(int nd, const npy_intp* dims, int type_num) {
    return PyRef::steal(PyArray_SimpleNew(nd, const_cast<npy_intp*>(dims), type_num));
}

PyArrayObject* as_array(const PyRef& r) { return reinterpret_cast<PyArrayObject*>(r.get()); }

// Indices are int32 in the rating: true, with ValueError raised, beyond that.
bool too_many_rows(npy_intp n) {
    if (n <= kestrovane::kMaxExtent) return false;
    PyErr_SetString(PyExc_ValueError, "X has too many rows (at most 2**31 - 1)");
    return true;
}

PyObject* rate_population(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"X", "mode_i", "within_mode_i", nullptr};
    PyObject* x_obj = nullptr;
    int mode_i = 1, within_mode_i = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|ii:rate_population",
                                     const_cast<char**>(kwlist), &x_obj, &mode_i,
                                     &within_mode_i))
        return nullptr;

    // An array is measured before it is copied: a broadcast view of 2**31
    // rows would otherwise start a copy of many gigabytes only to be refused.
    PyArrayObject* given = PyArray_Check(x_obj) ? reinterpret_cast<PyArrayObject*>(x_obj) : nullptr;
    if (given && PyArray_NDIM(given) == 2 && too_many_rows(PyArray_DIM(given, 0))) return nullptr;
    PyRef X = PyRef::steal(PyArray_FROMANY(x_obj, NPY_FLOAT64, 0, 0, NPY_ARRAY_IN_ARRAY));
    if (!X) return nullptr;
    if (PyArray_NDIM(as_array(X)) != 2) {
        PyErr_SetString(PyExc_ValueError, "X must be a 2D array");
        return nullptr;
    }
    const npy_intp n = PyArray_DIM(as_array(X), 0), m = PyArray_DIM(as_array(X), 1);
    if (too_many_rows(n)) return nullptr;
    const npy_intp nm[2] = {n, m}, nn[2] = {n, n}, n1 = n + 1;
    PyRef front_id = new_array(1, &n, NPY_INT64), within = new_array(1, &n, NPY_FLOAT64),
          order = new_array(1, &n, NPY_INT64), offsets = new_array(1, &n1, NPY_INT64),
          items = new_array(1, &n, NPY_INT64), dom = new_array(2, nn, NPY_UINT8),
          n_dom = new_array(1, &n, NPY_INT32), cur = new_array(1, &n, NPY_INT32),
          nxt = new_array(1, &n, NPY_INT32), R = new_array(2, nm, NPY_FLOAT64);
    if (!front_id || !within || !order || !offsets || !items || !dom || !n_dom || !cur || !nxt ||
        !R)
        return nullptr;
    kestrovane::RatingScratch scratch;
    if (!scratch.allocate(n)) return PyErr_NoMemory();

    using kestrovane::view_of;
    int code;
    {
        kestrovane::GilRelease nogil;
        code = kExported(view_of(as_array(X)), mode_i, within_mode_i, view_of(as_array(front_id)),
                         view_of(as_array(within)), view_of(as_array(order)),
                         view_of(as_array(offsets)), view_of(as_array(items)),
                         view_of(as_array(dom)), view_of(as_array(n_dom)),
                         view_of(as_array(cur)), view_of(as_array(nxt)), scratch.pairs.get(),
                         scratch.keys.get(), view_of(as_array(R)));
    }
    if (code < 0) {
        PyErr_SetString(PyExc_ValueError, rating_error_message(code));
        return nullptr;
    }
    return Py_BuildValue("(iNNN)", code, front_id.release(), within.release(), order.release());
}

PyMethodDef methods[] = {
    {"rate_population", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(rate_population)),
     METH_VARARGS | METH_KEYWORDS,
     "rate_population(X, mode_i=1, within_mode_i=0)\n--\n\n"
     "Rate one population by Pareto dominance (all objectives minimised).\n\n"
     "X is anything convertible to an (N, M) float64 array.  mode_i 0 compares\n"
     "the values, 1 their per-objective ranks; within_mode_i 0 scores members of\n"
     "a front by crowding distance.  Returns (n_fronts, front_id, within_score,\n"
     "order): the number of fronts, each individual's 0-based front, its crowding\n"
     "score, and all individuals best first (front ascending, score descending,\n"
     "index ascending)."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    if (_import_array() < 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError,
                        "numpy.core.multiarray failed to import (NumPy's native interface "
                        "table could not be loaded)");
        return -1;
    }
    PyRef capi = PyRef::steal(PyDict_New());
    if (!capi) return -1;
    PyRef capsule = PyRef::steal(PyCapsule_New(reinterpret_cast<void*>(kExported),
                                               kestrovane::kRatingSignature, nullptr));
    if (!capsule || PyDict_SetItemString(capi.get(), kestrovane::kRatingFunction, capsule.get()) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "__pyx_capi__", capi.get());
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_pareto_rating_cy",
    "Pareto rating of a population: non-dominated fronts, crowding inside each\n"
    "front and the global order, best first.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__pareto_rating_cy(void) { return PyModuleDef_Init(&module_def); }
