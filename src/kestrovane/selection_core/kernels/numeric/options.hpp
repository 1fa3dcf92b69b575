// The option records the kernels receive, complete on every call.  Their
// defaults are not here: they come from the entry points' parameter tables.
#pragma once

#include <cstdint>

namespace kestrovane::mc {

struct RankOptions {
    double percentile;
    std::uint64_t seed;
    std::int32_t mode_i;         // passed to the rating unchanged
    std::int32_t within_mode_i;  // likewise
};

// Who wins ties between equal keys: the lower row (the low-level functions)
// or a random member (the public layer's default).
enum class TieOrder : std::int32_t { index = 0, random = 1 };

// The four rank options, then those of the detailed statistics.
struct DetailedOptions : RankOptions {
    std::int32_t quantiles_mode_i;
    std::int64_t quantiles_budget;
    double quality_w_place;
    double quality_w_front;
    double quality_w_within;
    double quality_sign;
};

}  // namespace kestrovane::mc
