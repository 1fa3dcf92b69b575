// A pacer for long calls of the public layer: every few milliseconds of
// sampling it takes the interpreter lock back, briefly, to let signal
// handlers run (Ctrl-C raises KeyboardInterrupt there) and to report progress.
// Between those moments the loop costs one decrement per sample.  The
// `_mc_rank` entry points run under the SilentPacer instead.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"

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

    // With other threads sampling too: this one is slot 0 of `shared`, the
    // reports give the total, a stop by any thread stops this one, and a stop
    // here (Ctrl-C, an exception from `report`) stops them all.
    void share(SharedProgress* shared) { shared_ = shared; }

    // Samples this thread did before the current run of the loop.
    void set_base(std::int32_t base) { base_ = base; }

    bool after_sample(std::int32_t done_in_run) {
        const std::int32_t done = base_ + done_in_run;
        if (shared_) {
            shared_->slots[0].done.store(done, std::memory_order_relaxed);
            if (shared_->stop.load(std::memory_order_relaxed)) return false;
        }
        if (--countdown_ > 0) return true;
        if (checkpoint(done)) return true;
        if (shared_) shared_->stop.store(true, std::memory_order_relaxed);
        return false;
    }

    // While the other threads of a shared call sample on after this one has
    // finished (or seek to their first sample): waits a little, then, once
    // per interval, runs the signal handlers and reports, as a checkpoint
    // does.  A failure stops every thread.
    void wait_step() {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (shared_->stop.load(std::memory_order_relaxed)) return;
        if (std::chrono::duration<double>(Clock::now() - since_).count() < interval_) return;
        if (!visit_python(shared_->total())) shared_->stop.store(true, std::memory_order_relaxed);
        since_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;

    // The time spent here (waiting for the lock, the handlers, the progress
    // callable) is not sampling time: the next interval starts afterwards.
    bool checkpoint(std::int32_t done) {
        plan_next(std::chrono::duration<double>(Clock::now() - since_).count());
        const bool go = visit_python(shared_ ? shared_->total() : done);
        since_ = Clock::now();
        return go;
    }

    bool visit_python(std::int64_t total) {
        if (total >= n_samples_) return true;  // the caller reports the end
        GilRelease::Reacquire hold(*released_);
        if (PyErr_CheckSignals() < 0) return false;
        if (report_ == Py_None || total == reported_) return true;  // reports only grow
        reported_ = total;
        PyRef r = PyRef::steal(
            PyObject_CallFunction(report_, "ii", static_cast<int>(total), n_samples_));
        return static_cast<bool>(r);
    }

    // The next checkpoint comes after about `interval_` seconds at the rate
    // just seen; the stride grows at most fourfold, so a slow start or a
    // sudden change in speed is caught within a few checkpoints.
    void plan_next(double elapsed) {
        const double per_sample = elapsed / static_cast<double>(stride_);
        double next = per_sample > 0.0 ? interval_ / per_sample : 4.0 * stride_;
        if (next > 4.0 * stride_) next = 4.0 * stride_;
        if (!(next >= 1.0)) next = 1.0;  // NaN too
        if (next > static_cast<double>(INT32_MAX)) next = static_cast<double>(INT32_MAX);
        stride_ = static_cast<std::int32_t>(next);
        countdown_ = stride_;
    }

    PyObject* report_;
    std::int32_t n_samples_;
    double interval_;
    GilRelease* released_ = nullptr;
    SharedProgress* shared_ = nullptr;
    std::int32_t base_ = 0;
    std::int64_t reported_ = -1;
    Clock::time_point since_{};
    std::int32_t stride_ = 1;
    std::int32_t countdown_ = 1;
};

// The pacer of the low-level functions, whose calls run to the end: it never
// stops the loop nor takes the lock back, so their loop is the plain one.
struct SilentPacer : NoPacer {
    void attach(GilRelease&) {}
    void share(SharedProgress*) {}
    void set_base(std::int32_t) {}
    void wait_step() { std::this_thread::yield(); }
};

}  // namespace kestrovane::mc
