// kestrovane._api._engine: the Monte-Carlo kernels as the public layer runs
// them.  The same kernels, sampling loop and rating as `_mc_rank`, with a
// pacer that takes the interpreter lock back every few milliseconds to report
// progress and let Ctrl-C through.  Private: `kestrovane.select` has checked
// every argument before it calls here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL kestrovane_engine_ARRAY_API
#include "kestrovane/_native/numpy_api.hpp"

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/conversion.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"
#include "kestrovane/selection_core/interface/startup.hpp"
#include "kestrovane/selection_core/kernels/detailed_kernel.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/threaded_counting.hpp"

namespace {

using kestrovane::PyRef;
using namespace kestrovane::mc;

constexpr const char kEngineDoc[] =
    "The Monte-Carlo kernels with progress reports and Ctrl-C checks, for kestrovane.select.";

constexpr const char kSelectDetailedDoc[] =
    "select_detailed(mu, sigma2, n_samples, percentile, seed, mode_i, quantiles_mode_i,\n"
    "                quantiles_budget, report, interval, /)\n"
    "--\n\n"
    "The nine results of mc_rank_select_detailed, bit for bit.  Every `interval`\n"
    "seconds of sampling, signal handlers run and report(samples_done, n_samples)\n"
    "is called (report may be None).  The arguments are not checked beyond their\n"
    "types.";

PyObject* select_detailed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 10) {
        PyErr_Format(PyExc_TypeError, "select_detailed() takes 10 arguments (%zd given)", nargs);
        return nullptr;
    }
    std::int32_t n_samples = 0;
    DetailedOptions o{};
    o.within_mode_i = 0;
    o.quality_w_place = o.quality_w_front = o.quality_w_within = 1.0;
    o.quality_sign = -1.0;
    double interval = 0.0;
    PyObject* report = args[8];
    if (!to_int32(args[2], &n_samples) || !to_double(args[3], &o.percentile) ||
        !to_uint64(args[4], &o.seed) || !to_int32(args[5], &o.mode_i) ||
        !to_int32(args[6], &o.quantiles_mode_i) || !to_int64(args[7], &o.quantiles_budget) ||
        !to_double(args[9], &interval))
        return nullptr;
    if (report != Py_None && !PyCallable_Check(report)) {
        PyErr_SetString(PyExc_TypeError, "report must be callable or None");
        return nullptr;
    }
    ProgressPacer pacer(report, n_samples, interval);
    return detailed_kernel_paced(args[0], args[1], n_samples, o, pacer);
}

constexpr const char kCountsDoc[] =
    "counts(mu, sigma2, n_samples, percentile, seed, mode_i, threads, report, interval, /)\n"
    "--\n\n"
    "The three results of mc_rank_counts, bit for bit, the samples split over\n"
    "`threads` threads (at most one per sample and 64).  Progress and signals as\n"
    "in select_detailed.";

PyObject* counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "counts() takes 9 arguments (%zd given)", nargs);
        return nullptr;
    }
    std::int32_t n_samples = 0, threads = 1;
    RankOptions o{};
    o.within_mode_i = 0;
    double interval = 0.0;
    PyObject* report = args[7];
    if (!to_int32(args[2], &n_samples) || !to_double(args[3], &o.percentile) ||
        !to_uint64(args[4], &o.seed) || !to_int32(args[5], &o.mode_i) ||
        !to_int32(args[6], &threads) || !to_double(args[8], &interval))
        return nullptr;
    if (report != Py_None && !PyCallable_Check(report)) {
        PyErr_SetString(PyExc_TypeError, "report must be callable or None");
        return nullptr;
    }
    ProgressPacer pacer(report, n_samples, interval);
    return counting_kernel_threaded(args[0], args[1], n_samples, o, threads, pacer);
}

PyMethodDef methods[] = {
    {"counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(counts)), METH_FASTCALL,
     kCountsDoc},
    {"select_detailed", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(select_detailed)),
     METH_FASTCALL, kSelectDetailedDoc},
    {nullptr, nullptr, 0, nullptr},
};

// NumPy's table belongs to this translation unit, so it is imported here.
int exec_engine(PyObject* module) {
    if (g.module) {
        PyErr_SetString(PyExc_ImportError, "kestrovane._api._engine is already initialised");
        return -1;
    }
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!dict || !builtins || !create_constants()) return -1;
    if (_import_array() < 0) return -1;
    if (!import_rating_function()) return -1;
    // The kernels reach NumPy through `np` in this module's namespace.
    PyRef np = import_as_np(dict, builtins);
    if (!np || PyDict_SetItem(dict, g.c.s_np, np.get()) < 0) return -1;
    g.module = Py_NewRef(module);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_engine)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_engine", kEngineDoc, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&module_def); }
