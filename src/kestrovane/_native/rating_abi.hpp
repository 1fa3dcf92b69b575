// The binary interface between the rating module and the Monte-Carlo kernels.
//
// The rating function is exported from kestrovane.pareto_core._pareto_rating_cy
// as a capsule in its __pyx_capi__ dict and called through a plain function
// pointer, once per sample, with the interpreter lock released.  Every array
// crosses this boundary as a 208-byte view record passed by value.  This
// header is the only definition of these records; it does not include Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrovane {

// The most rows, and the most columns, any population or rated array may
// have: indices are 32-bit in the rating's scratch records and in the
// sampling loops.
inline constexpr std::int64_t kMaxExtent = INT32_MAX;

// A strided view of an array, laid out like Cython's __Pyx_memviewslice.
struct ArrayView {
    void* memview;  // the object that owns the memory; the caller keeps it alive
    char* data;     // first element
    std::int64_t shape[8];
    std::int64_t strides[8];     // in bytes
    std::int64_t suboffsets[8];  // -1 for every used (direct) dimension
};

// Scratch record for one value of one individual.
struct Pair {
    double val;
    std::int32_t idx;
};

// Sort key of the global order: front ascending, score descending, index ascending.
struct OrderKey {
    std::int64_t front;
    double neg_score;
    std::int64_t idx;
};

static_assert(sizeof(ArrayView) == 208, "view record must be 208 bytes");
static_assert(offsetof(ArrayView, memview) == 0, "view record layout");
static_assert(offsetof(ArrayView, data) == 8, "view record layout");
static_assert(offsetof(ArrayView, shape) == 16, "view record layout");
static_assert(offsetof(ArrayView, strides) == 80, "view record layout");
static_assert(offsetof(ArrayView, suboffsets) == 144, "view record layout");
static_assert(sizeof(Pair) == 16 && offsetof(Pair, val) == 0 && offsetof(Pair, idx) == 8,
              "Pair layout");
static_assert(sizeof(OrderKey) == 24 && offsetof(OrderKey, front) == 0 &&
                  offsetof(OrderKey, neg_score) == 8 && offsetof(OrderKey, idx) == 16,
              "OrderKey layout");

// rate_population_inplace(X, mode_i, within_mode_i, front_id, within, order,
//                         offsets, items, dom, n_dom, cur, nxt, pairs, keys, R)
// returns the number of fronts, or a negative error code.
using RateFn = int (*)(ArrayView X, int mode_i, int within_mode_i, ArrayView front_id,
                       ArrayView within, ArrayView order, ArrayView offsets, ArrayView items,
                       ArrayView dom, ArrayView n_dom, ArrayView cur, ArrayView nxt, Pair* pairs,
                       OrderKey* keys, ArrayView R);

inline constexpr const char kRatingModule[] = "kestrovane.pareto_core._pareto_rating_cy";
inline constexpr const char kRatingFunction[] = "rate_population_inplace";

// The capsule name: the function's signature as Cython spells it.
inline constexpr const char kRatingSignature[] =
    "int (__Pyx_memviewslice, int, int, __Pyx_memviewslice, __Pyx_memviewslice, "
    "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
    "__Pyx_memviewslice, __Pyx_memviewslice, __Pyx_memviewslice, "
    "struct __pyx_t_10kestrovane_11pareto_core_17_pareto_rating_cy_Pair *, "
    "struct __pyx_t_10kestrovane_11pareto_core_17_pareto_rating_cy_OrderKey *, "
    "__Pyx_memviewslice)";
static_assert(sizeof(kRatingSignature) == 378 + 1, "signature text is 378 characters");

}  // namespace kestrovane
