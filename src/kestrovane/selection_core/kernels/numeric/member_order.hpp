// Winners and losers from the counts: the order np.lexsort gives on the
// keys (row, rank_sum, -win_count) and (row, -rank_sum, -lose_count), as a
// sort on a total order, so no ties are left to chance.
#pragma once

#include <algorithm>
#include <cstdint>

namespace kestrovane::mc {

// The first k rows by most `primary` (win or lose count), then by rank sum
// (smaller first when `low_rank_first`), then by row; `rows` holds n
// entries of scratch, the first k of which become the answer.
inline void first_by_count(const std::int32_t* primary, const std::int64_t* rank_sum,
                           bool low_rank_first, std::int64_t n, std::int64_t k,
                           std::int64_t* rows) {
    for (std::int64_t i = 0; i < n; ++i) rows[i] = i;
    std::partial_sort(rows, rows + k, rows + n, [&](std::int64_t a, std::int64_t b) {
        if (primary[a] != primary[b]) return primary[a] > primary[b];
        if (rank_sum[a] != rank_sum[b])
            return low_rank_first ? rank_sum[a] < rank_sum[b] : rank_sum[a] > rank_sum[b];
        return a < b;
    });
}

// Winners best first: most wins, then smaller rank sum, then lower row.
inline void winner_rows(const std::int32_t* win_count, const std::int64_t* rank_sum,
                        std::int64_t n, std::int64_t k, std::int64_t* rows) {
    first_by_count(win_count, rank_sum, true, n, k, rows);
}

// Losers worst first: most losses, then larger rank sum, then lower row.
inline void loser_rows(const std::int32_t* lose_count, const std::int64_t* rank_sum,
                       std::int64_t n, std::int64_t k, std::int64_t* rows) {
    first_by_count(lose_count, rank_sum, false, n, k, rows);
}

}  // namespace kestrovane::mc
