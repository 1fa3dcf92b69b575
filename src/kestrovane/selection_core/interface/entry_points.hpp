// Part of the fixed calling contract (see README.md in this folder).
//
// The entry points: each runs its parameter table over the bound arguments,
// converting strictly in parameter order (absent ones keep their defaults),
// and hands the record to its kernel.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/interface/binding.hpp"
#include "kestrovane/selection_core/interface/function_object.hpp"
#include "kestrovane/selection_core/kernels/counting_kernel.hpp"
#include "kestrovane/selection_core/kernels/detailed_kernel.hpp"
#include "kestrovane/selection_core/kernels/selection_kernel.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"
#include "kestrovane/selection_core/interface/parameters.hpp"

namespace kestrovane::mc {

template <class Options>
using Kernel = PyObject* (*)(PyObject* mu_obj, PyObject* sigma2_obj, std::int32_t n_samples,
                             const Options& options);

// A parameter table with its kernel; `defaults` is the record of the table's
// default objects, converted once at start-up.
template <class Options, std::size_t Count>
struct Signature {
    static constexpr std::size_t count = Count;
    const Param<Options> (&params)[Count];
    Kernel<Options> kernel;
    Options defaults;
};

template <auto& S>
PyObject* run_entry(PyObject* const* bound) {
    CallArgs<decltype(S.defaults)> call;
    call.options = S.defaults;
    for (std::size_t i = 0; i < S.count; ++i)
        if (bound[i] && !S.params[i].convert(bound[i], &call)) return nullptr;
    return S.kernel(call.mu_obj, call.sigma2_obj, call.n_samples, call.options);
}

// Start-up of one entry point: interns the parameter names into `t`, converts
// the defaults into S.defaults and returns the __defaults__ tuple.
template <auto& S>
PyObject* prepare_entry(ParamTable* t) {
    constexpr std::size_t count = std::remove_reference_t<decltype(S)>::count;
    static_assert(count <= kMaxParams);
    t->count = static_cast<int>(count);
    t->required = 0;
    while (!S.params[t->required].default_value) ++t->required;
    PyRef defaults = PyRef::steal(PyTuple_New(t->count - t->required));
    if (!defaults) return nullptr;
    CallArgs<decltype(S.defaults)> call;
    for (int i = 0; i < t->count; ++i) {
        const auto& p = S.params[i];
        t->interned[i] = PyUnicode_InternFromString(p.name);  // kept for life
        if (!t->interned[i]) return nullptr;
        if (i < t->required) continue;
        PyObject* value = g.c.*p.default_value;
        if (!p.convert(value, &call)) return nullptr;
        PyTuple_SET_ITEM(defaults.get(), i - t->required, Py_NewRef(value));
    }
    S.defaults = call.options;
    return defaults.release();
}

inline constexpr const char kCountsDoc[] =
    "Accumulate MC win/lose counts and rank sums.\n\n    Parameters\n    ----------\n    mu_obj:\n"
    "        (N,M) float64 means.\n    sigma2_obj:\n        (N,M) float64 variances (>=0 "
    "recommended).\n    n_samples:\n        Monte-Carlo samples.\n    percentile:\n        "
    "Fraction for top/bottom selection per sample; default 0.2.\n    seed:\n        Seed for "
    "deterministic RNG.\n    mode_i:\n        0=values, 1=ranks (recommended for robustness).\n"
    "    within_mode_i:\n        0=crowding.\n\n    Returns\n    -------\n    (win_count, "
    "lose_count, rank_sum)\n        win_count/lose_count: int32 arrays of shape (N,)\n        "
    "rank_sum: int64 array of shape (N,) (sum of positions in global order)\n    ";

inline constexpr const char kSelectDoc[] =
    "Compute winners/losers according to MC top/bottom percentiles.\n\n    Returns\n    -------\n"
    "    (winners, losers, win_count, lose_count, rank_sum)\n        winners/losers are int64 "
    "arrays of shape (k,).\n    ";

inline constexpr const char kDetailedDoc[] =
    "Monte-Carlo winner/loser selection + per-individual distribution stats.\n\n    Returns\n"
    "    -------\n    winners_i, losers_i, win_count, lose_count, rank_sum, place_stats, "
    "front_stats, within_stats, quality_score\n\n    Each *_stats is a dict with keys: mean, "
    "median, std, q25, q75.\n\n    Notes\n    -----\n    This kernel keeps **constant memory** "
    "per individual for quantile estimates\n    using the P\u00b2 (Jain-Chlamtac) streaming "
    "estimator. Mean/std are exact.\n    ";

inline Signature<RankOptions, std::size(kCountsParams)> counts_signature{kCountsParams,
                                                                         counting_kernel, {}};
inline Signature<RankOptions, std::size(kCountsParams)> select_signature{kCountsParams,
                                                                         selection_kernel, {}};
inline Signature<DetailedOptions, std::size(kDetailedParams)> detailed_signature{
    kDetailedParams, detailed_kernel, {}};

inline EntryPoint counts_entry{{"mc_rank_counts", 0, 0, {}},
                               "kestrovane.selection_core._mc_rank.mc_rank_counts",
                               kCountsDoc,
                               run_entry<counts_signature>,
                               prepare_entry<counts_signature>};

inline EntryPoint select_entry{{"mc_rank_select", 0, 0, {}},
                               "kestrovane.selection_core._mc_rank.mc_rank_select",
                               kSelectDoc,
                               run_entry<select_signature>,
                               prepare_entry<select_signature>};

inline EntryPoint detailed_entry{{"mc_rank_select_detailed", 0, 0, {}},
                                 "kestrovane.selection_core._mc_rank.mc_rank_select_detailed",
                                 kDetailedDoc,
                                 run_entry<detailed_signature>,
                                 prepare_entry<detailed_signature>};

}  // namespace kestrovane::mc
