// P² streaming quantile estimator (Jain & Chlamtac, 1985).
//
// One estimator follows quantile p of one stream with five markers held in
// caller-owned rows: heights q[5], positions npos[5] (1-based ranks among the
// observations seen) and desired positions ndes[5].  q[2] is the estimate.
// The first five observations are sorted with _sort5 and handed to _p2_init;
// every later one goes through _p2_update.  Constant memory and time, no
// allocation, no failure paths.
#pragma once

#include <cstdint>

namespace kestrovane {

// Markers per estimator, and so slots per row and observations before start.
inline constexpr int kP2Markers = 5;

// Insertion sort of a[0..4]; the strict test keeps equal values in order.
inline void _sort5(double* a) {
    for (int i = 1; i < kP2Markers; ++i) {
        const double key = a[i];
        int j = i - 1;
        while (j >= 0 && a[j] > key) {
            a[j + 1] = a[j];
            --j;
        }
        a[j + 1] = key;
    }
}

// s0..s4 must already be ascending; p in (0, 1).
inline void _p2_init(double* q, std::int32_t* npos, double* ndes, double p, double s0, double s1,
                     double s2, double s3, double s4) {
    q[0] = s0;
    q[1] = s1;
    q[2] = s2;
    q[3] = s3;
    q[4] = s4;
    for (std::int32_t j = 0; j < kP2Markers; ++j) npos[j] = j + 1;
    ndes[0] = 1.0;
    ndes[1] = 1.0 + 2.0 * p;
    ndes[2] = 1.0 + 4.0 * p;
    ndes[3] = 3.0 + 2.0 * p;
    ndes[4] = 5.0;
}

inline void _p2_update(double* q, std::int32_t* npos, double* ndes, double p, double x) {
    // Cell k of x; the extremes are widened to take it in.  A value equal to a
    // height counts in the cell above it (above a whole run of equal heights).
    // A NaN matches no cell and is counted in the top one, heights untouched.
    int k;
    if (x < q[0]) {
        q[0] = x;
        k = 0;
    } else if (x >= q[4]) {
        q[4] = x;
        k = 3;
    } else {
        k = 0;
        while (k < 3 && !(x < q[k + 1])) ++k;
    }

    // Markers above the cell gain one rank.
    for (int j = k + 1; j < kP2Markers; ++j) ++npos[j];

    // Desired positions advance by dn = (0, p/2, p, (1+p)/2, 1).
    ndes[1] += p * 0.5;
    ndes[2] += p;
    ndes[3] += (1.0 + p) * 0.5;
    ndes[4] += 1.0;

    // Middle markers in order 1, 2, 3; each sees its neighbours as already moved.
    for (int i = 1; i <= 3; ++i) {
        const double d = ndes[i] - static_cast<double>(npos[i]);
        // A marker only moves into a gap, so positions stay strictly increasing.
        const bool up = d >= 1.0 && npos[i + 1] - npos[i] > 1;
        const bool down = d <= -1.0 && npos[i - 1] - npos[i] < -1;
        if (!up && !down) continue;
        const int di = up ? 1 : -1;
        const double dd = static_cast<double>(di);

        // Piecewise-parabolic prediction through the marker and its neighbours.
        const double nm = static_cast<double>(npos[i - 1]);
        const double ni = static_cast<double>(npos[i]);
        const double np = static_cast<double>(npos[i + 1]);
        const double a = ((ni - nm + dd) * (q[i + 1] - q[i])) / (np - ni);
        const double b = ((np - ni - dd) * (q[i] - q[i - 1])) / (ni - nm);
        const double f = dd / (np - nm);
        double qhat = q[i] + f * (a + b);

        // Strictly between the neighbours or not at all: a prediction landing
        // on a neighbour's height (ties) or NaN falls back to linear.
        if (!(q[i - 1] < qhat && qhat < q[i + 1])) {
            qhat = q[i] + ((q[i + di] - q[i]) * dd) /
                              static_cast<double>(npos[i + di] - npos[i]);
        }
        q[i] = qhat;
        npos[i] += di;
    }
}

}  // namespace kestrovane
