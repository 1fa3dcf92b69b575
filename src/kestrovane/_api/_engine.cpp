// kestrovane._api._engine: the Monte-Carlo kernels as the public layer runs
// them.  The same kernels, sampling loop and rating as `_mc_rank`, with a
// pacer that takes the interpreter lock back every few milliseconds to report
// progress and let Ctrl-C through.  Private: `kestrovane.select` has checked
// every argument before it calls here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL kestrovane_engine_ARRAY_API
#include "kestrovane/_native/numpy_api.hpp"

#include <cmath>
#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/conversion.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"
#include "kestrovane/selection_core/interface/startup.hpp"
#include "kestrovane/selection_core/kernels/detailed_kernel.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/threaded_counting.hpp"
#include "kestrovane/selection_core/kernels/threaded_detailed.hpp"

namespace {

using kestrovane::PyRef;
using namespace kestrovane::mc;

constexpr const char kEngineDoc[] =
    "The Monte-Carlo kernels with progress reports and Ctrl-C checks, for kestrovane.select.";

constexpr const char kSelectDetailedDoc[] =
    "select_detailed(mu, sigma2, n_samples, percentile, seed, mode_i, quantiles_mode_i,\n"
    "                quantiles_budget, ties_i, threads, report, interval, /)\n"
    "--\n\n"
    "The nine results of mc_rank_select_detailed, the samples split over `threads`\n"
    "threads (at most one per sample and 64), the same bits for every count.\n"
    "ties_i 0 breaks ties between equal keys by row, as mc_rank_select_detailed\n"
    "does (bit for bit); 1 puts the members into the rows in a random order per\n"
    "sample, drawn from a stream of its own (the same normals).  Every `interval`\n"
    "seconds of sampling, signal handlers run and report(samples_done, n_samples)\n"
    "is called (report may be None).  The arguments are checked as strictly as\n"
    "kestrovane.select checks them (interval finite and > 0, 1 <= threads <= 64).";

constexpr const char kCountsDoc[] =
    "counts(mu, sigma2, n_samples, percentile, seed, mode_i, ties_i, threads, report,\n"
    "       interval, /)\n"
    "--\n\n"
    "The three results of mc_rank_counts over `threads` threads (bit for bit with\n"
    "ties_i 0).  Ties, progress and signals as in select_detailed.";

// The arguments every function shares: mu, sigma2, n_samples, percentile,
// seed, mode_i first; ties_i, threads, report, interval last.
struct CommonArgs {
    std::int32_t n_samples = 0;
    TieOrder ties = TieOrder::index;
    std::int32_t threads = 1;
    double interval = 0.0;
    PyObject* report = nullptr;
};

bool parse_common(PyObject* const* args, Py_ssize_t nargs, Py_ssize_t expected, const char* name,
                  CommonArgs* c, RankOptions* o) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected,
                     nargs);
        return false;
    }
    o->within_mode_i = 0;
    c->report = args[nargs - 2];
    std::int32_t ties_i = 0;
    if (!to_int32(args[2], &c->n_samples) || !to_double(args[3], &o->percentile) ||
        !to_uint64(args[4], &o->seed) || !to_int32(args[5], &o->mode_i) ||
        !to_int32(args[nargs - 4], &ties_i) || !to_int32(args[nargs - 3], &c->threads) ||
        !to_double(args[nargs - 1], &c->interval))
        return false;
    if (ties_i != 0 && ties_i != 1) {
        PyErr_Format(PyExc_ValueError, "ties_i must be 0 or 1; got %d", ties_i);
        return false;
    }
    c->ties = static_cast<TieOrder>(ties_i);
    if (c->n_samples < 1) {
        PyErr_Format(PyExc_ValueError, "n_samples must be in 1 .. 2**31 - 1; got %d", c->n_samples);
        return false;
    }
    if (!(o->percentile > 0.0 && o->percentile <= 1.0)) {  // NaN too
        PyErr_Format(PyExc_ValueError, "percentile must be in (0, 1]; got %R", args[3]);
        return false;
    }
    if (o->mode_i != 0 && o->mode_i != 1) {
        PyErr_Format(PyExc_ValueError, "mode_i must be 0 or 1; got %d", o->mode_i);
        return false;
    }
    if (c->threads < 1 || c->threads > kMaxThreads) {
        PyErr_Format(PyExc_ValueError, "threads must be in 1 .. %d; got %d", kMaxThreads,
                     c->threads);
        return false;
    }
    if (!(std::isfinite(c->interval) && c->interval > 0.0)) {
        PyErr_Format(PyExc_ValueError, "interval must be finite and > 0; got %R", args[nargs - 1]);
        return false;
    }
    if (c->report != Py_None && !PyCallable_Check(c->report)) {
        PyErr_SetString(PyExc_TypeError, "report must be callable or None");
        return false;
    }
    return true;
}

PyObject* select_detailed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    CommonArgs c;
    DetailedOptions o{};
    o.quality_w_place = o.quality_w_front = o.quality_w_within = 1.0;
    o.quality_sign = -1.0;
    if (!parse_common(args, nargs, 12, "select_detailed", &c, &o) ||
        !to_int32(args[6], &o.quantiles_mode_i) || !to_int64(args[7], &o.quantiles_budget))
        return nullptr;
    if (o.quantiles_mode_i < 0 || o.quantiles_mode_i > 2) {
        PyErr_Format(PyExc_ValueError, "quantiles_mode_i must be 0, 1 or 2; got %d",
                     o.quantiles_mode_i);
        return nullptr;
    }
    ProgressPacer pacer(c.report, c.n_samples, c.interval);
    if (c.threads <= 1 && c.ties == TieOrder::random)
        return detailed_kernel_paced<RandomTies>(args[0], args[1], c.n_samples, o, pacer);
    if (c.threads <= 1) return detailed_kernel_paced(args[0], args[1], c.n_samples, o, pacer);
    return detailed_kernel_threaded(args[0], args[1], c.n_samples, o, c.ties, c.threads, pacer);
}

PyObject* counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    CommonArgs c;
    RankOptions o{};
    if (!parse_common(args, nargs, 10, "counts", &c, &o)) return nullptr;
    ProgressPacer pacer(c.report, c.n_samples, c.interval);
    return counting_kernel_threaded(args[0], args[1], c.n_samples, o, c.ties, c.threads, pacer);
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
    if (PyModule_AddIntConstant(module, "MAX_THREADS", kMaxThreads) < 0) return -1;
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
