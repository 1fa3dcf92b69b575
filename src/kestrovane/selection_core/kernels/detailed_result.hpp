// Turns the detailed kernel's accumulated state into its nine-item result:
// winners, losers, counts, one statistics dict per metric, quality score.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/accumulator_arrays.hpp"
#include "kestrovane/selection_core/kernels/numeric/quality_score.hpp"
#include "kestrovane/selection_core/kernels/rating_work.hpp"
#include "kestrovane/selection_core/kernels/selection_kernel.hpp"

namespace kestrovane::mc {

// The result for an empty population: shared zero-length arrays and one
// five-key dict standing for all three metrics.
inline PyObject* empty_detailed_result() {
    PyRef empty_i = new_i64(g.c.s_zeros, 0);
    PyRef z32 = empty_i ? new_i32(g.c.s_zeros, 0) : PyRef();
    PyRef z64 = z32 ? new_i64(g.c.s_zeros, 0) : PyRef();
    PyRef zf = z64 ? new_f64(g.c.s_zeros, 0) : PyRef();
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
    QualityWeights weights;
};

inline PyObject* assemble_detailed_result(const DetailedState& st) {
    const npy_intp n = st.n;
    PyObject* win_count = st.counts->win_count.get();  // borrowed from the state
    PyObject* lose_count = st.counts->lose_count.get();
    PyObject* rank_sum = st.counts->rank_sum.get();
    const AccumulatorArrays& acc = *st.acc;

    // Winners and losers, chosen as mc_rank_select chooses them (both orders
    // first, then both heads).
    PyRef idx = arange_i64(n);
    PyRef by_wins = idx ? winners_order(idx.get(), win_count, rank_sum) : PyRef();
    PyRef by_losses = by_wins ? losers_order(idx.get(), lose_count, rank_sum) : PyRef();
    PyRef winners = by_losses ? first_k(by_wins.get(), st.k) : PyRef();
    PyRef losers = winners ? first_k(by_losses.get(), st.k) : PyRef();
    if (!losers) return nullptr;

    PyRef std_dev[kMetrics];
    for (int m = 0; m < kMetrics; ++m)
        if (!(std_dev[m] = new_f64(g.c.s_empty, n))) return nullptr;
    {
        GilRelease nogil;
        for (int m = 0; m < kMetrics; ++m)
            population_std(data_of<const double>(acc.M2[m]), data_of<double>(std_dev[m]), n,
                           st.n_samples);
    }

    Quartiles qs[kMetrics];
    if (!acc.view.mode.use_p2) {
        for (int m = 0; m < kMetrics; ++m) {
            PyObject* buf = acc.buf[m].get();
            if (!(qs[m].median = reduce_axis0(g.c.s_median, buf, nullptr)) ||
                !(qs[m].q25 = reduce_axis0(g.c.s_quantile, buf, g.c.f_0_25)) ||
                !(qs[m].q75 = reduce_axis0(g.c.s_quantile, buf, g.c.f_0_75)))
                return nullptr;
        }
    } else {
        for (int m = 0; m < kMetrics; ++m)
            if (!(qs[m].median = new_f64(g.c.s_empty, n)) ||
                !(qs[m].q25 = new_f64(g.c.s_empty, n)) || !(qs[m].q75 = new_f64(g.c.s_empty, n)))
                return nullptr;
        const MetricAccumulators& raw = acc.view;
        GilRelease nogil;
        for (int m = 0; m < kMetrics; ++m) {
            read_p2_estimates(raw, m, 0, data_of<double>(qs[m].q25));
            read_p2_estimates(raw, m, 1, data_of<double>(qs[m].median));
            read_p2_estimates(raw, m, 2, data_of<double>(qs[m].q75));
        }
    }

    PyRef quality = new_f64(g.c.s_empty, n);
    if (!quality) return nullptr;
    {
        GilRelease nogil;
        quality_scores(data_of<const double>(acc.mean[0]), data_of<const double>(acc.mean[1]),
                       data_of<const double>(acc.mean[2]), st.weights, data_of<double>(quality),
                       n);
    }

    PyRef stats[kMetrics];
    for (int m = 0; m < kMetrics; ++m)
        if (!(stats[m] = metric_stats(acc.mean[m].get(), acc.view.mode.use_p2, qs[m],
                                      std_dev[m].get())))
            return nullptr;
    return PyTuple_Pack(9, winners.get(), losers.get(), win_count, lose_count, rank_sum,
                        stats[0].get(), stats[1].get(), stats[2].get(), quality.get());
}

}  // namespace kestrovane::mc
