// The error a finished sampling loop reports, raised once the caller holds
// the interpreter lock again.
#pragma once

#include <Python.h>

#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"

namespace kestrovane::mc {

// Raises the error a finished loop reports; false when it did.
inline bool check_loop_result(const LoopResult& r) {
    // Indexed by LoopStatus.
    static const char* const formats[] = {
        nullptr,
        "pareto_core returned error code: %lld",
        "pareto_core returned %lld fronts for fewer individuals",
        "pareto_core returned order entry %lld outside the population",
        "pareto_core returned front id %lld outside 0..n_fronts-1",
    };
    if (r.status == LoopStatus::ok) return true;
    // The pacer stops the loop only with its exception already raised.
    if (r.status == LoopStatus::stopped) return false;
    PyErr_Format(PyExc_ValueError, formats[static_cast<int>(r.status)],
                 static_cast<long long>(r.value));
    return false;
}

}  // namespace kestrovane::mc
