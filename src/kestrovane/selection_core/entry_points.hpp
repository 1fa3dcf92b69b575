// The entry points: bound arguments are converted strictly in parameter order
// (absent ones keep their defaults) and handed to the kernels.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/selection_core/binding.hpp"
#include "kestrovane/selection_core/conversion.hpp"
#include "kestrovane/selection_core/function_object.hpp"
#include "kestrovane/selection_core/kernels/counting_kernel.hpp"
#include "kestrovane/selection_core/kernels/detailed_kernel.hpp"
#include "kestrovane/selection_core/kernels/selection_kernel.hpp"

namespace kestrovane::mc {

inline constexpr const char* kRankParams[] = {"mu_obj", "sigma2_obj", "n_samples", "percentile",
                                              "seed",   "mode_i",     "within_mode_i"};

inline bool convert_rank_args(PyObject* const* bound, std::int32_t* n_samples, RankOptions* o) {
    return to_int32(bound[2], n_samples) &&
           convert_optional(bound[3], to_double, &o->percentile) &&
           convert_optional(bound[4], to_uint64, &o->seed) &&
           convert_optional(bound[5], to_int32, &o->mode_i) &&
           convert_optional(bound[6], to_int32, &o->within_mode_i);
}

inline PyObject* mc_rank_counts_impl(PyObject* const* bound) {
    std::int32_t n_samples;
    RankOptions o;
    if (!convert_rank_args(bound, &n_samples, &o)) return nullptr;
    return counting_kernel(bound[0], bound[1], n_samples, &o);
}

inline PyObject* mc_rank_select_impl(PyObject* const* bound) {
    std::int32_t n_samples;
    RankOptions o;
    if (!convert_rank_args(bound, &n_samples, &o)) return nullptr;
    return selection_kernel(bound[0], bound[1], n_samples, &o);
}

inline constexpr const char* kDetailedParams[] = {
    "mu_obj",          "sigma2_obj",       "n_samples",       "percentile",       "seed",
    "mode_i",          "within_mode_i",    "quantiles_mode_i", "quantiles_budget", "quality_w_place",
    "quality_w_front", "quality_w_within", "quality_sign"};

inline PyObject* mc_rank_select_detailed_impl(PyObject* const* bound) {
    std::int32_t n_samples;
    DetailedOptions o;
    if (!convert_rank_args(bound, &n_samples, &o.rank) ||
        !convert_optional(bound[7], to_int32, &o.quantiles_mode_i) ||
        !convert_optional(bound[8], to_int64, &o.quantiles_budget) ||
        !convert_optional(bound[9], to_double, &o.quality_w_place) ||
        !convert_optional(bound[10], to_double, &o.quality_w_front) ||
        !convert_optional(bound[11], to_double, &o.quality_w_within) ||
        !convert_optional(bound[12], to_double, &o.quality_sign))
        return nullptr;
    return detailed_kernel(bound[0], bound[1], n_samples, &o);
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

inline EntryPoint counts_entry{{"mc_rank_counts", kRankParams, 7, {}},
                               "kestrovane.selection_core._mc_rank.mc_rank_counts",
                               kCountsDoc,
                               mc_rank_counts_impl};

inline EntryPoint select_entry{{"mc_rank_select", kRankParams, 7, {}},
                               "kestrovane.selection_core._mc_rank.mc_rank_select",
                               kSelectDoc,
                               mc_rank_select_impl};

inline EntryPoint detailed_entry{{"mc_rank_select_detailed", kDetailedParams, 13, {}},
                                 "kestrovane.selection_core._mc_rank.mc_rank_select_detailed",
                                 kDetailedDoc,
                                 mc_rank_select_detailed_impl};

}  // namespace kestrovane::mc
