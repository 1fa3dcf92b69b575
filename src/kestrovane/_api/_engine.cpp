// kestrovane._api._engine: the Monte-Carlo kernels as the public layer runs
// them.  The same sampling loop, accumulators and rating as `_mc_rank`, over
// one or more threads, with a pacer that takes the interpreter lock back
// every few milliseconds to report progress and let Ctrl-C through.  Unlike
// `_mc_rank` it owns its memory: no call into NumPy's Python functions, its
// arrays made through the C API (kernels/engine_boundary.hpp).  Private:
// `kestrovane.select` has checked every argument before it calls here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL kestrovane_engine_ARRAY_API
#include "kestrovane/_native/numpy_api.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kestrovane/_api/engine_arguments.hpp"
#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/conversion.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"
#include "kestrovane/selection_core/interface/startup.hpp"
#include "kestrovane/selection_core/kernels/progress_pacer.hpp"
#include "kestrovane/selection_core/kernels/threaded_counting.hpp"
#include "kestrovane/selection_core/kernels/threaded_detailed.hpp"

namespace {

using kestrovane::arr;
using kestrovane::data_of;
using kestrovane::GilRelease;
using kestrovane::PyRef;
using namespace kestrovane::mc;
using namespace kestrovane::engine;

constexpr const char kEngineDoc[] =
    "The Monte-Carlo kernels with progress reports and Ctrl-C checks, for kestrovane.select.";

constexpr const char kSelectDetailedDoc[] =
    "select_detailed(mu, sigma2, n_samples, percentile, seed, mode_i, quantiles_mode_i,\n"
    "                quantiles_budget, ties_i, threads, report, interval, /)\n"
    "--\n\n"
    "(winners, losers, win_count, lose_count, rank_sum, stats, quality,\n"
    "quantiles_mode_used): the results of mc_rank_select_detailed, bit for bit, with the\n"
    "statistics in one float64 array of shape (len(METRICS), len(STATISTICS), N) and\n"
    "quantiles_mode_used 1 for P² estimates, else 0.  The samples are split over\n"
    "`threads` threads (at most one per sample and MAX_THREADS), the same bits for\n"
    "every count.\n"
    "ties_i 0 breaks ties between equal keys by row, as mc_rank_select_detailed\n"
    "does (bit for bit); 1 puts the members into the rows in a random order per\n"
    "sample, drawn from a stream of its own (the same normals).  Every `interval`\n"
    "seconds of sampling, signal handlers run and report(samples_done, n_samples)\n"
    "is called (report may be None).  The arguments are checked as strictly as\n"
    "kestrovane.select checks them, against the bounds in BOUNDS (interval finite\n"
    "and > 0).";

constexpr const char kCountsDoc[] =
    "counts(mu, sigma2, n_samples, percentile, seed, mode_i, ties_i, threads, report,\n"
    "       interval, /)\n"
    "--\n\n"
    "The three results of mc_rank_counts over `threads` threads (bit for bit with\n"
    "ties_i 0).  Ties, progress and signals as in select_detailed.";

// The arguments every function shares: mu, sigma2, n_samples, percentile,
// seed, mode_i first; ties_i, threads, report, interval last.
struct CommonArgs {
    PyObject* mu = nullptr;
    PyObject* sigma2 = nullptr;
    std::int32_t n_samples = 0;
    TieOrder ties = TieOrder::index;
    std::int32_t threads = 1;
    double interval = 0.0;
    PyObject* report = nullptr;
};

void read_leading(ArgumentReader& in, CommonArgs* c, RankOptions* o) {
    c->mu = in.object();
    c->sigma2 = in.object();
    c->n_samples = in.integer<std::int32_t>(kNSamples);
    o->percentile = in.real(kPercentile);
    o->seed = in.integer<std::uint64_t>(kSeed);
    o->mode_i = in.integer<std::int32_t>(kMode);
    o->within_mode_i = 0;
}

bool read_trailing(ArgumentReader& in, CommonArgs* c) {
    c->ties = static_cast<TieOrder>(in.integer<std::int32_t>(kTies));
    c->threads = in.integer<std::int32_t>(kThreads);
    c->report = in.callable_or_none("report");
    c->interval = in.real(kInterval);
    return in.ok();
}

PyObject* select_detailed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    CommonArgs c;
    DetailedOptions o{};
    o.quality_w_place = o.quality_w_front = o.quality_w_within = 1.0;
    o.quality_sign = -1.0;
    ArgumentReader in("select_detailed", args, nargs, 12);
    read_leading(in, &c, &o);
    o.quantiles_mode_i = in.integer<std::int32_t>(kQuantilesMode);
    o.quantiles_budget = in.integer<std::int64_t>(kQuantilesBudget);
    if (!read_trailing(in, &c)) return nullptr;
    ProgressPacer pacer(c.report, c.n_samples, c.interval);
    return detailed_kernel_threaded(c.mu, c.sigma2, c.n_samples, o, c.ties, c.threads, pacer);
}

PyObject* counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    CommonArgs c;
    RankOptions o{};
    ArgumentReader in("counts", args, nargs, 10);
    read_leading(in, &c, &o);
    if (!read_trailing(in, &c)) return nullptr;
    ProgressPacer pacer(c.report, c.n_samples, c.interval);
    return counting_kernel_threaded(c.mu, c.sigma2, c.n_samples, o, c.ties, c.threads, pacer);
}

constexpr const char kWinnerCountDoc[] =
    "winner_count(n, percentile, /)\n"
    "--\n\n"
    "k, the members that win (and that lose) per sample of select_detailed and counts:\n"
    "min(n, max(1, ceil(n * percentile))), the product taken in double precision.";

PyObject* winner_count_of(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    ArgumentReader in("winner_count", args, nargs, 2);
    const std::int32_t n = in.integer<std::int32_t>(kMembers);
    const double percentile = in.real(kPercentile);
    if (!in.ok()) return nullptr;
    return PyLong_FromLong(kestrovane::mc::winner_count(n, percentile));
}

constexpr const char kQuartilesDoc[] =
    "quartiles(observations, /)\n"
    "--\n\n"
    "(q25, median, q75) of every column of a 2-D float64 array, as select_detailed's\n"
    "exact mode takes them: equal to np.quantile(x, 0.25, axis=0), np.median(x, axis=0)\n"
    "and np.quantile(x, 0.75, axis=0), bit for bit.";

PyObject* quartiles(PyObject*, PyObject* observations) {
    PyRef x = PyRef::steal(PyArray_FROMANY(observations, NPY_FLOAT64, 2, 2, NPY_ARRAY_IN_ARRAY));
    if (!x) return nullptr;
    const npy_intp rows = PyArray_DIM(arr(x), 0), n = PyArray_DIM(arr(x), 1);
    if (rows == 0) {
        PyErr_SetString(PyExc_ValueError, "observations must have at least one row");
        return nullptr;
    }
    PyRef q25 = new_array(NPY_FLOAT64, {n}), median = new_array(NPY_FLOAT64, {n}),
          q75 = new_array(NPY_FLOAT64, {n});
    std::unique_ptr<double[]> columns = heap_block<double>(kGathered * rows);
    if (!q25 || !median || !q75) return nullptr;
    if (!columns) return PyErr_NoMemory();
    {
        GilRelease nogil;
        exact_quartiles(data_of<const double>(x), rows, n, data_of<double>(q25),
                        data_of<double>(median), data_of<double>(q75), columns.get());
    }
    return PyTuple_Pack(3, q25.get(), median.get(), q75.get());
}

PyMethodDef methods[] = {
    {"counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(counts)), METH_FASTCALL,
     kCountsDoc},
    {"select_detailed", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(select_detailed)),
     METH_FASTCALL, kSelectDetailedDoc},
    {"quartiles", quartiles, METH_O, kQuartilesDoc},
    {"winner_count", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(winner_count_of)),
     METH_FASTCALL, kWinnerCountDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The names of the rows of select_detailed's statistics array, from the
// declarations its layout follows.
template <std::size_t N>
PyRef names_tuple(const char* const (&names)[N]) {
    PyRef t = PyRef::steal(PyTuple_New(N));
    for (std::size_t i = 0; t && i < N; ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (!name) return {};
        PyTuple_SET_ITEM(t.get(), i, name);
    }
    return t;
}

// NumPy's table belongs to this translation unit, so it is imported here.
int exec_engine(PyObject* module) {
    if (g.module) {
        PyErr_SetString(PyExc_ImportError, "kestrovane._api._engine is already initialised");
        return -1;
    }
    if (_import_array() < 0) return -1;
    if (!import_rating_function()) return -1;
    PyRef statistics = names_tuple(kStatisticNames);
    PyRef metrics = statistics ? names_tuple(kMetricNames) : PyRef();
    if (!metrics || PyModule_AddObjectRef(module, "STATISTICS", statistics.get()) < 0 ||
        PyModule_AddObjectRef(module, "METRICS", metrics.get()) < 0 ||
        PyModule_AddIntConstant(module, "MAX_THREADS", kMaxThreads) < 0 || !add_bounds(module))
        return -1;
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
