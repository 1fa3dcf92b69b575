// A pacer for long calls of the public layer: every few milliseconds of
// sampling it takes the interpreter lock back, briefly, to let signal
// handlers run (Ctrl-C raises KeyboardInterrupt there) and to report progress.
// Between those moments the loop costs one decrement per sample.  The
// plain `_mc_rank` entry points never use it.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"

namespace kestrovane::mc {

class ProgressPacer {
public:
    // `report` (borrowed; None for no reports) is called as
    // report(samples_done, n_samples) at each checkpoint.
    ProgressPacer(PyObject* report, std::int32_t n_samples, double interval_seconds)
        : report_(report), n_samples_(n_samples), interval_(interval_seconds) {}

    void attach(GilRelease& released) {
        released_ = &released;
        since_ = Clock::now();
    }

    bool after_sample(std::int32_t done) {
        if (--countdown_ > 0) return true;
        return checkpoint(done);
    }

private:
    using Clock = std::chrono::steady_clock;

    bool checkpoint(std::int32_t done) {
        const Clock::time_point now = Clock::now();
        plan_next(std::chrono::duration<double>(now - since_).count());
        since_ = now;
        if (done >= n_samples_) return true;  // the caller reports the end
        GilRelease::Reacquire hold(*released_);
        if (PyErr_CheckSignals() < 0) return false;
        if (report_ == Py_None) return true;
        PyRef r = PyRef::steal(PyObject_CallFunction(report_, "ii", done, n_samples_));
        return static_cast<bool>(r);
    }

    // The next checkpoint comes after about `interval_` seconds at the rate
    // just seen; the stride grows at most fourfold, so a slow start or a
    // sudden change in speed is caught within a few checkpoints.
    void plan_next(double elapsed) {
        const double per_sample = elapsed / static_cast<double>(stride_);
        double next = per_sample > 0.0 ? interval_ / per_sample : 4.0 * stride_;
        if (next > 4.0 * stride_) next = 4.0 * stride_;
        if (next < 1.0) next = 1.0;
        if (next > static_cast<double>(INT32_MAX)) next = static_cast<double>(INT32_MAX);
        stride_ = static_cast<std::int32_t>(next);
        countdown_ = stride_;
    }

    PyObject* report_;
    std::int32_t n_samples_;
    double interval_;
    GilRelease* released_ = nullptr;
    Clock::time_point since_{};
    std::int32_t stride_ = 1;
    std::int32_t countdown_ = 1;
};

}  // namespace kestrovane::mc
