// The quality score of every individual: a weighted sum of its mean place,
// front and within-front rank, times a sign.  Plain numeric code.
#pragma once

#include <cstdint>

namespace kestrovane::mc {

struct QualityWeights {
    double place, front, within, sign;
};

inline void quality_scores(const double* place_mean, const double* front_mean,
                           const double* within_mean, const QualityWeights& w, double* out,
                           std::int64_t n) {
    for (std::int64_t i = 0; i < n; ++i)
        out[i] = ((w.place * place_mean[i] + w.front * front_mean[i]) + w.within * within_mean[i]) *
                 w.sign;
}

}  // namespace kestrovane::mc
