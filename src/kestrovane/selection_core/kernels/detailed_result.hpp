// Turns the detailed kernel's accumulated state into its nine-item result:
// winners, losers, counts, one statistics dict per metric, quality score.
// Every number is written into an array of np's with the interpreter lock
// held, right after the array is checked again.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/accumulator_arrays.hpp"
#include "kestrovane/selection_core/kernels/counting_kernel.hpp"
#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/kernels/numeric/quality_score.hpp"
#include "kestrovane/selection_core/kernels/selection_kernel.hpp"

namespace kestrovane::mc {

// The result for an empty population: shared zero-length arrays and one
// five-key dict standing for all three metrics.
inline PyObject* empty_detailed_result() {
    NpArray empty_i = new_i64(g.c.s_zeros, 0);
    NpArray z32 = empty_i ? new_i32(g.c.s_zeros, 0) : NpArray();
    NpArray z64 = z32 ? new_i64(g.c.s_zeros, 0) : NpArray();
    NpArray zf = z64 ? new_f64(g.c.s_zeros, 0) : NpArray();
    PyRef stats = zf ? PyRef::steal(Py_BuildValue("{sOsOsOsOsO}", "mean", zf.get(), "median",
                                                  zf.get(), "std", zf.get(), "q25", zf.get(),
                                                  "q75", zf.get()))
                     : PyRef();
    if (!stats) return nullptr;
    return PyTuple_Pack(9, empty_i.get(), empty_i.get(), z32.get(), z32.get(), z64.get(),
                        stats.get(), stats.get(), stats.get(), zf.get());
}

// Median and quartiles of one metric, one value per individual.
struct Quartiles {
    PyRef median, q25, q75;
};

// np.<func>(buf, axis=0) or np.<func>(buf, q, axis=0)
inline PyRef reduce_axis0(PyObject* func, PyObject* buf, PyObject* q) {
    PyRef fn = np_attr(func);
    if (!fn) return {};
    if (q) {
        PyObject* argv[] = {buf, q, g.c.i_0};
        return PyRef::steal(PyObject_Vectorcall(fn.get(), argv, 2, g.c.kw_axis));
    }
    PyObject* argv[] = {buf, g.c.i_0};
    return PyRef::steal(PyObject_Vectorcall(fn.get(), argv, 1, g.c.kw_axis));
}

// {"mean", "quantiles_mode_used", "median", "std", "q25", "q75"}, values
// produced in key order.
inline PyRef metric_stats(PyObject* mean, bool use_p2, const Quartiles& qs, PyObject* std) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || PyDict_SetItemString(d.get(), "mean", mean) < 0 ||
        PyDict_SetItemString(d.get(), "quantiles_mode_used", use_p2 ? g.c.i_1 : g.c.i_0) < 0)
        return {};
    PyRef median = np_call_with_dtype(g.c.s_asarray, qs.median.get(), g.c.s_float64);
    if (!median || PyDict_SetItemString(d.get(), "median", median.get()) < 0 ||
        PyDict_SetItemString(d.get(), "std", std) < 0)
        return {};
    PyRef q25 = np_call_with_dtype(g.c.s_asarray, qs.q25.get(), g.c.s_float64);
    if (!q25 || PyDict_SetItemString(d.get(), "q25", q25.get()) < 0) return {};
    PyRef q75 = np_call_with_dtype(g.c.s_asarray, qs.q75.get(), g.c.s_float64);
    if (!q75 || PyDict_SetItemString(d.get(), "q75", q75.get()) < 0) return {};
    return d;
}

struct DetailedState {
    std::int32_t n, n_samples, k;
    const CountArrays* counts;
    const AccumulatorArrays* acc;
    const MetricAccumulators* raw;  // the engine's accumulators
    QualityWeights weights;
};

inline PyObject* assemble_detailed_result(const DetailedState& st) {
    const npy_intp n = st.n;
    PyObject* win_count = st.counts->win_count.get();  // borrowed from the state
    PyObject* lose_count = st.counts->lose_count.get();
    PyObject* rank_sum = st.counts->rank_sum.get();
    const AccumulatorArrays& acc = *st.acc;
    const MetricAccumulators& raw = *st.raw;

    // Winners and losers, chosen as mc_rank_select chooses them (both orders
    // first, then both heads).
    PyRef idx = arange_i64(n);
    PyRef by_wins = idx ? winners_order(idx.get(), win_count, rank_sum) : PyRef();
    PyRef by_losses = by_wins ? losers_order(idx.get(), lose_count, rank_sum) : PyRef();
    PyRef winners = by_losses ? first_k(by_wins.get(), st.k) : PyRef();
    PyRef losers = winners ? first_k(by_losses.get(), st.k) : PyRef();
    if (!losers) return nullptr;

    NpArray std_dev[kMetrics];
    for (int m = 0; m < kMetrics; ++m)
        if (!(std_dev[m] = new_f64(g.c.s_empty, n))) return nullptr;
    for (int m = 0; m < kMetrics; ++m) {
        double* out = std_dev[m].writable<double>();
        if (!out) return nullptr;
        population_std(raw.M2[m], out, n, st.n_samples);
    }

    Quartiles qs[kMetrics];
    if (!acc.mode.use_p2) {
        for (int m = 0; m < kMetrics; ++m) {
            PyObject* buf = acc.buf[m].get();
            if (!(qs[m].median = reduce_axis0(g.c.s_median, buf, nullptr)) ||
                !(qs[m].q25 = reduce_axis0(g.c.s_quantile, buf, g.c.f_0_25)) ||
                !(qs[m].q75 = reduce_axis0(g.c.s_quantile, buf, g.c.f_0_75)))
                return nullptr;
        }
    } else {
        NpArray estimates[kMetrics][kQuantiles];  // q25, median, q75
        for (int m = 0; m < kMetrics; ++m)
            if (!(estimates[m][1] = new_f64(g.c.s_empty, n)) ||
                !(estimates[m][0] = new_f64(g.c.s_empty, n)) ||
                !(estimates[m][2] = new_f64(g.c.s_empty, n)))
                return nullptr;
        for (int m = 0; m < kMetrics; ++m)
            for (int j = 0; j < kQuantiles; ++j) {
                double* out = estimates[m][j].writable<double>();
                if (!out) return nullptr;
                read_p2_estimates(raw, m, j, out);
            }
        for (int m = 0; m < kMetrics; ++m) {
            qs[m].q25 = std::move(estimates[m][0].obj);
            qs[m].median = std::move(estimates[m][1].obj);
            qs[m].q75 = std::move(estimates[m][2].obj);
        }
    }

    NpArray quality = new_f64(g.c.s_empty, n);
    double* scores = quality ? quality.writable<double>() : nullptr;
    if (!scores) return nullptr;
    quality_scores(raw.mean[0], raw.mean[1], raw.mean[2], st.weights, scores, n);

    PyRef stats[kMetrics];
    for (int m = 0; m < kMetrics; ++m)
        if (!(stats[m] = metric_stats(acc.mean[m].get(), acc.mode.use_p2, qs[m],
                                      std_dev[m].get())))
            return nullptr;
    return PyTuple_Pack(9, winners.get(), losers.get(), win_count, lose_count, rank_sum,
                        stats[0].get(), stats[1].get(), stats[2].get(), quality.get());
}

}  // namespace kestrovane::mc
