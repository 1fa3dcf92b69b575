// What the detailed kernel records at each position of a sample's global
// order: place, front and within-front rank.  BlockObserver writes a block
// of samples into rows that fold_rows then feeds to the accumulators, a
// range of individuals per thread, each individual's rows in sample order.
// Front ids come from the outside rating and index front_counts, so they are
// checked first.
#pragma once

#include <algorithm>
#include <cstdint>

#include "kestrovane/selection_core/kernels/numeric/metric_accumulators.hpp"
#include "kestrovane/selection_core/kernels/numeric/thread_shares.hpp"

namespace kestrovane::mc {

// The observations of one block: row r holds sample `first` + r.
struct BlockRows {
    std::int32_t* place;
    std::int64_t* front;
    std::int32_t* within;
    std::int32_t n;
    std::int32_t first = 0;

    std::int64_t at(std::int32_t s, std::int32_t idx) const {
        return static_cast<std::int64_t>(s - first) * n + idx;
    }
};

// A sampling thread's observer: each sample's place, front and within-front
// rank of every individual go into the sample's block row, by member (front
// ids are read by rating row).
struct BlockObserver {
    BlockRows rows;
    const std::int64_t* front_id;
    std::int32_t* front_counts;
    std::int32_t n_fronts = 0;
    std::int64_t bad_front = 0;

    void begin_sample(std::int32_t, std::int32_t fronts) {
        n_fronts = fronts;
        std::fill(front_counts, front_counts + fronts, 0);
    }

    bool at_position(std::int32_t s, std::int32_t pos, std::int32_t row, std::int32_t idx) {
        const std::int64_t f = front_id[row];
        if (static_cast<std::uint64_t>(f) >= static_cast<std::uint64_t>(n_fronts)) {
            bad_front = f;
            return false;
        }
        const std::int64_t cell = rows.at(s, idx);
        rows.place[cell] = pos;
        rows.front[cell] = f;
        rows.within[cell] = front_counts[f]++;
        return true;
    }

    void end_sample(std::int32_t) {}
    std::int64_t bad_value() const { return bad_front; }
};

// Individuals `members`' observations of samples rows.first .. end - 1, in
// sample order, into the accumulators.
inline void fold_rows(MetricAccumulators& acc, const BlockRows& rows, std::int32_t end,
                      SampleRange members) {
    for (std::int32_t s = rows.first; s < end; ++s) {
        const std::int64_t row = rows.at(s, 0);
        acc.record_range(s, rows.place + row, rows.front + row, rows.within + row, members.begin,
                         members.end);
        if (s == kP2Warmup - 1 && acc.mode.use_p2) acc.init_p2_range(members.begin, members.end);
    }
}

// Thread t's individuals for the fold: whole chunks (see record_range).
inline SampleRange members_of(std::int32_t n, int threads, int t) {
    const std::int32_t chunks = (n + kChunk - 1) / kChunk;
    const SampleRange c = share_of(chunks, threads, t);
    return SampleRange{std::min(n, c.begin * kChunk), std::min(n, c.end * kChunk)};
}

}  // namespace kestrovane::mc
