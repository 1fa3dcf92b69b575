// Part of the fixed calling contract (see README.md in this folder).
//
// One table per entry point: every parameter's name, the conversion of its
// argument, and its default.  The tables drive the binding, the function
// objects' __code__ and __defaults__, and the record a kernel receives.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/selection_core/interface/conversion.hpp"
#include "kestrovane/selection_core/kernels/numeric/options.hpp"
#include "kestrovane/selection_core/interface/module_state.hpp"

namespace kestrovane::mc {

// The converted arguments of one call.
template <class Options>
struct CallArgs {
    PyObject* mu_obj = nullptr;      // borrowed, converted by the kernel
    PyObject* sigma2_obj = nullptr;  // likewise
    std::int32_t n_samples = 0;
    Options options{};
};

template <class Options>
struct Param {
    const char* name;
    bool (*convert)(PyObject* arg, CallArgs<Options>* into);
    PyObject* Constants::*default_value;  // null for a required parameter
};

template <class Options, auto Field>
bool keep_object(PyObject* arg, CallArgs<Options>* into) {
    into->*Field = arg;
    return true;
}

template <class Options, auto Field, auto Convert>
bool convert_argument(PyObject* arg, CallArgs<Options>* into) {
    return Convert(arg, &(into->*Field));
}

template <class Options, auto Field, auto Convert>
bool convert_option(PyObject* arg, CallArgs<Options>* into) {
    return Convert(arg, &(into->options.*Field));
}

// The three required parameters and the four rank options, shared by all
// entry points, in this order.
template <class Options>
inline constexpr Param<Options> kRankParams[] = {
    {"mu_obj", keep_object<Options, &CallArgs<Options>::mu_obj>, nullptr},
    {"sigma2_obj", keep_object<Options, &CallArgs<Options>::sigma2_obj>, nullptr},
    {"n_samples", convert_argument<Options, &CallArgs<Options>::n_samples, to_int32>, nullptr},
    {"percentile", convert_option<Options, &RankOptions::percentile, to_double>, &Constants::f_0_2},
    {"seed", convert_option<Options, &RankOptions::seed, to_uint64>, &Constants::i_0},
    {"mode_i", convert_option<Options, &RankOptions::mode_i, to_int32>, &Constants::i_1},
    {"within_mode_i", convert_option<Options, &RankOptions::within_mode_i, to_int32>,
     &Constants::i_0},
};

inline constexpr const auto& kCountsParams = kRankParams<RankOptions>;

inline constexpr Param<DetailedOptions> kDetailedParams[] = {
    kRankParams<DetailedOptions>[0],
    kRankParams<DetailedOptions>[1],
    kRankParams<DetailedOptions>[2],
    kRankParams<DetailedOptions>[3],
    kRankParams<DetailedOptions>[4],
    kRankParams<DetailedOptions>[5],
    kRankParams<DetailedOptions>[6],
    {"quantiles_mode_i", convert_option<DetailedOptions, &DetailedOptions::quantiles_mode_i, to_int32>,
     &Constants::i_2},
    {"quantiles_budget", convert_option<DetailedOptions, &DetailedOptions::quantiles_budget, to_int64>,
     &Constants::i_2500000},
    {"quality_w_place", convert_option<DetailedOptions, &DetailedOptions::quality_w_place, to_double>,
     &Constants::f_1_0},
    {"quality_w_front", convert_option<DetailedOptions, &DetailedOptions::quality_w_front, to_double>,
     &Constants::f_1_0},
    {"quality_w_within", convert_option<DetailedOptions, &DetailedOptions::quality_w_within, to_double>,
     &Constants::f_1_0},
    {"quality_sign", convert_option<DetailedOptions, &DetailedOptions::quality_sign, to_double>,
     &Constants::f_quality_sign},
};

}  // namespace kestrovane::mc
