// kestrovane.selection_core._mc_rank: the module definition and the order of
// its start-up.
//
// Multi-phase initialisation with a create and an exec slot.  All state is
// process-wide (interface/module_state.hpp), written here once and read-only
// afterwards; the steps themselves are in interface/startup.hpp, the entry
// points in interface/entry_points.hpp.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define PY_ARRAY_UNIQUE_SYMBOL kestrovane_mc_rank_ARRAY_API
#include "kestrovane/_native/numpy_api.hpp"

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/entry_points.hpp"
#include "kestrovane/selection_core/interface/function_object.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"
#include "kestrovane/selection_core/interface/startup.hpp"

namespace {

using kestrovane::PyRef;
using namespace kestrovane::mc;

constexpr const char kModuleDoc[] =
    "Monte-Carlo Pareto ranking core."
    "\n"
    "\n"
    "Goal\n"
    "----\n"
    "Given per-point objective distributions (Normal with mean `mu` and variance\n"
    "`sigma2`), repeatedly sample populations, compute Pareto ranking via\n"
    "`pareto_core` (front id + within-front crowding), and accumulate statistics.\n"
    "\n"
    "This module is designed as a hot-path kernel for async PBT selection.\n"
    "\n"
    "Key properties\n"
    "--------------\n"
    "- Deterministic given the same seed.\n"
    "- No allocations inside the sampling loop.\n"
    "- Calls Pareto ranking on C-level via `rate_population_inplace`.\n"
    "\n"
    "Public API\n"
    "----------\n"
    "mc_rank_counts(mu, sigma2, n_samples, percentile=0.2, seed=0,\n"
    "              mode_i=1, within_mode_i=0)\n"
    "    -> (win_count, lose_count, rank_sum)\n"
    "\n"
    "mc_rank_select(...)\n"
    "    -> (winners, losers, win_count, lose_count, rank_sum)\n"
    "\n"
    "mc_rank_select_detailed(...)\n"
    "    -> (winners, losers, win_count, lose_count, rank_sum,\n"
    "        place_stats, front_stats, within_stats)\n"
    "\n"
    "    Each *_stats is a dict with keys:\n"
    "        mean, median, std, q25, q75\n"
    "\n"
    "    The detailed path uses constant-memory streaming quantile estimators\n"
    "    (P² algorithm) to avoid storing all (n_samples x N) values.\n"
    "";

// NumPy's table belongs to this translation unit, so it is imported here.
bool import_numpy_api() {
    if (_import_array() == 0) return true;
    // NumPy's own cause is replaced: the caller sees one ImportError.
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError,
                    "numpy.core.multiarray failed to import (the NumPy C API table could not "
                    "be loaded)");
    return false;
}

bool add_function(PyObject* module, EntryPoint* entry) {
    PyRef f = make_function(entry);
    return f && PyModule_AddObjectRef(module, entry->params.function_name, f.get()) == 0;
}

bool exec_steps(PyObject* module, bool* constants_made) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    if (!dict || !builtins || PyObject_SetAttrString(module, "__builtins__", builtins) < 0)
        return false;
    if (!version_guard()) return false;
    if (!create_constants()) return false;
    *constants_made = true;
    if (!import_numpy_api()) return false;
    if (!register_in_sys_modules(module)) return false;
    if (PyType_Ready(&FunctionType) < 0) return false;
    if (!check_builtin_type(builtins) || !resolve_numpy_types() || !import_rating_function())
        return false;
    PyRef np = import_as_np(dict, builtins);
    if (!np || PyDict_SetItem(dict, g.c.s_np, np.get()) < 0) return false;

    if (!add_function(module, &counts_entry) ||
        !add_function(module, &select_entry))
        return false;
    // quality_sign's default is computed, once, before its function exists.
    if (!g.c.f_quality_sign) {
        g.c.f_quality_sign = PyNumber_Negative(g.c.f_1_0);
        if (!g.c.f_quality_sign) return false;
    }
    if (!add_function(module, &detailed_entry)) return false;
    PyRef test = PyRef::steal(PyDict_New());
    return test && PyDict_SetItemString(dict, "__test__", test.get()) == 0;
}

int exec_module(PyObject* module) {
    if (g.module) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_mc_rank' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    bool constants_made = false;
    if (exec_steps(module, &constants_made)) return 0;
    if (constants_made && PyErr_Occurred())
        add_traceback("init kestrovane.selection_core._mc_rank");
    Py_CLEAR(g.module);
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_ImportError, "init kestrovane.selection_core._mc_rank");
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_mc_rank", kModuleDoc, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__mc_rank(void) { return PyModuleDef_Init(&module_def); }
