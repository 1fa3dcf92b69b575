// The Monte-Carlo sampling loop shared by the counting and detailed kernels.
// Plain numeric code: it runs without the interpreter lock, allocates nothing
// and reports problems as a status for the caller to raise once it holds the
// lock again.
#pragma once

#include <cmath>
#include <cstdint>

#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/selection_core/random/tie_shuffle.hpp"
#include "kestrovane/selection_core/random/xoshiro256ss.hpp"

namespace kestrovane::mc {

// Standard deviations: 0.0 for a variance <= 0 (a NaN variance stays NaN).
inline void fill_sigma(const double* sigma2, double* sigma, std::int64_t count) {
    for (std::int64_t c = 0; c < count; ++c) {
        const double v = sigma2[c];
        sigma[c] = v <= 0.0 ? 0.0 : std::sqrt(v);
    }
}

// The normals one sample draws: one per cell whose deviation is not zero.
inline std::int64_t normals_per_sample(const double* sigma, std::int64_t count) {
    std::int64_t draws = 0;
    for (std::int64_t c = 0; c < count; ++c) draws += sigma[c] == 0.0 ? 0 : 1;
    return draws;
}

// One population: row by row, objective innermost; a cell whose deviation is
// exactly zero takes its mean and draws nothing.
inline void draw_sample(const double* mu, const double* sigma, double* X, std::int64_t count,
                        Xoshiro256ss* rng) {
    for (std::int64_t c = 0; c < count; ++c) {
        const double sd = sigma[c];
        X[c] = sd == 0.0 ? mu[c] : mu[c] + sd * _xoshiro_randn(rng);
    }
}

// Tie policy of the loop: which rating row each member's cells go into.
// The rating breaks equal keys by row, so the policy decides who wins ties.
//   static constexpr bool kPermutes;  // rows and members can differ
//   int32 member_of(int32 row) const;
//   void draw(int32 s, mu, sigma, X, int32 n, int32 m, Xoshiro256ss* rng) const;
//                                      // only where kPermutes
// Member i is row i: ties fall to the lower index (the low-level functions'
// contract), and the loop is the plain one.
struct IndexTies {
    static constexpr bool kPermutes = false;
    std::int32_t member_of(std::int32_t row) const { return row; }
};

// Every sample puts the members into the rows in a uniformly random order
// (tie_shuffle.hpp), so exchangeable members get the same chances.  The
// normals are drawn member by member as with IndexTies.  `rows` and
// `members` are N entries each, owned by the caller.
struct RandomTies {
    static constexpr bool kPermutes = true;
    std::uint64_t tie_seed;
    std::int32_t* rows;     // rows[i]: member i's row in this sample
    std::int32_t* members;  // members[r]: the member in row r

    void draw(std::int32_t s, const double* mu, const double* sigma, double* X, std::int32_t n,
              std::int32_t m, Xoshiro256ss* rng) const {
        tie_permutation(tie_seed, s, n, rows);
        invert_permutation(rows, n, members);
        for (std::int32_t i = 0; i < n; ++i) {
            const std::int64_t cell = static_cast<std::int64_t>(i) * m;
            draw_sample(mu + cell, sigma + cell, X + static_cast<std::int64_t>(rows[i]) * m, m,
                        rng);
        }
    }
    std::int32_t member_of(std::int32_t row) const { return members[row]; }
};

// The rating call with its fixed arguments: the same storage every sample.
struct RatingCall {
    RateFn fn;
    int mode_i;
    int within_mode_i;
    ArrayView X, front_id, within, order, offsets, items, dom, n_dom, cur, nxt, R;
    Pair* pairs;
    OrderKey* keys;

    int operator()() const {
        return fn(X, mode_i, within_mode_i, front_id, within, order, offsets, items, dom, n_dom,
                  cur, nxt, pairs, keys, R);
    }
};

struct Counts {
    std::int32_t* win_count;
    std::int32_t* lose_count;
    std::int64_t* rank_sum;
};

enum class LoopStatus {
    ok,
    rating_error,    // the rating returned a negative code (in `value`)
    too_many_fronts, // more fronts than individuals (count in `value`)
    bad_order,       // an order entry outside 0..N-1 (entry in `value`)
    bad_front,       // a front id outside 0..n_fronts-1 (id in `value`)
    stopped,         // the pacer asked to stop after `value` samples
};

struct LoopResult {
    LoopStatus status;
    std::int64_t value;
};

// Observer interface of the loop (the counting kernel's does nothing):
//   void begin_sample(int32 s, int32 n_fronts);
//   bool at_position(int32 s, int32 pos, int32 row, int32 member);  // false: bad front id
//   void end_sample(int32 s);
// The rating's arrays are read by `row`, results recorded by `member`.
struct NoObserver {
    void begin_sample(std::int32_t, std::int32_t) {}
    bool at_position(std::int32_t, std::int32_t, std::int32_t, std::int32_t) { return true; }
    void end_sample(std::int32_t) {}
    std::int64_t bad_value() const { return 0; }
};

// Pacer interface of the loop, asked after every sample:
//   bool after_sample(int32 samples_done);  // by this loop; false: stop now
// The plain kernels' pacer never stops and compiles to nothing.
struct NoPacer {
    bool after_sample(std::int32_t) { return true; }
};

// Draws, rates and counts the populations of samples s_begin .. s_end - 1
// (the generator stands at the first normal of sample s_begin).  The rating
// is an outside component, so its order entries and front count are checked
// before use.  `ties` places the members in the rows (IndexTies: row = member).
template <class Observer, class Pacer = NoPacer, class Ties = IndexTies>
LoopResult sampling_loop(const double* mu, const double* sigma, std::int32_t n, std::int32_t m,
                         std::int32_t s_begin, std::int32_t s_end, std::int32_t k,
                         const RatingCall& rate, Xoshiro256ss* rng, const Counts& counts,
                         Observer& observer, Pacer&& pacer = Pacer{}, const Ties& ties = Ties{}) {
    double* X = reinterpret_cast<double*>(rate.X.data);
    const std::int64_t* order = reinterpret_cast<const std::int64_t*>(rate.order.data);
    const std::int64_t cells = static_cast<std::int64_t>(n) * m;
    const std::int32_t lose_from = n - k;
    for (std::int32_t s = s_begin; s < s_end; ++s) {
        if constexpr (Ties::kPermutes) ties.draw(s, mu, sigma, X, n, m, rng);
        else draw_sample(mu, sigma, X, cells, rng);
        const int n_fronts = rate();
        if (n_fronts < 0) return {LoopStatus::rating_error, n_fronts};
        if (n_fronts > n) return {LoopStatus::too_many_fronts, n_fronts};
        observer.begin_sample(s, n_fronts);
        for (std::int32_t pos = 0; pos < n; ++pos) {
            const std::int64_t entry = order[pos];
            if (static_cast<std::uint64_t>(entry) >= static_cast<std::uint64_t>(n))
                return {LoopStatus::bad_order, entry};
            const std::int32_t row = static_cast<std::int32_t>(entry);
            const std::int32_t idx = ties.member_of(row);
            if (pos < k) counts.win_count[idx] += 1;
            if (pos >= lose_from) counts.lose_count[idx] += 1;
            counts.rank_sum[idx] += pos;
            if (!observer.at_position(s, pos, row, idx))
                return {LoopStatus::bad_front, observer.bad_value()};
        }
        observer.end_sample(s);
        if (!pacer.after_sample(s + 1 - s_begin)) return {LoopStatus::stopped, s + 1};
    }
    return {LoopStatus::ok, 0};
}

}  // namespace kestrovane::mc
