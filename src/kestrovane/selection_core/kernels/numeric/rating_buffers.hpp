// One thread's rating work set, counts and tie rows in heap memory of its
// own, for the engine, which owns all of its memory in both modules (no
// array object, no outside allocator): the rating sees view records over
// these blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "kestrovane/_native/rating_abi.hpp"
#include "kestrovane/_native/rating_scratch.hpp"
#include "kestrovane/selection_core/kernels/numeric/sampling_loop.hpp"
#include "kestrovane/selection_core/random/tie_shuffle.hpp"

namespace kestrovane::mc {

// new T[count] or null, zeroed when asked; never throws.
template <class T>
std::unique_ptr<T[]> heap_block(std::int64_t count, bool zeroed = false) {
    const std::size_t size = static_cast<std::size_t>(count > 1 ? count : 1);
    return std::unique_ptr<T[]>(zeroed ? new (std::nothrow) T[size]() : new (std::nothrow) T[size]);
}

struct RatingBuffers {
    std::int64_t n = 0, m = 0;
    std::unique_ptr<double[]> X, R, within;
    std::unique_ptr<std::int64_t[]> front_id, order, items, offsets;
    std::unique_ptr<std::uint8_t[]> dom;
    std::unique_ptr<std::int32_t[]> n_dom, cur, nxt;
    RatingScratch scratch;

    // False when any block cannot be had.
    bool allocate(std::int64_t rows, std::int64_t cols) {
        n = rows;
        m = cols;
        X = heap_block<double>(n * m);
        R = heap_block<double>(n * m);
        within = heap_block<double>(n);
        front_id = heap_block<std::int64_t>(n);
        order = heap_block<std::int64_t>(n);
        items = heap_block<std::int64_t>(n);
        offsets = heap_block<std::int64_t>(n + 1);
        dom = heap_block<std::uint8_t>(n * n);
        n_dom = heap_block<std::int32_t>(n);
        cur = heap_block<std::int32_t>(n);
        nxt = heap_block<std::int32_t>(n);
        return X && R && within && front_id && order && items && offsets && dom && n_dom && cur &&
               nxt && scratch.allocate(n);
    }

    RatingCall call(RateFn fn, int mode_i, int within_mode_i) const {
        return RatingCall{fn,
                          mode_i,
                          within_mode_i,
                          contiguous_view(X.get(), n, m, sizeof(double)),
                          contiguous_view(front_id.get(), n, -1, sizeof(std::int64_t)),
                          contiguous_view(within.get(), n, -1, sizeof(double)),
                          contiguous_view(order.get(), n, -1, sizeof(std::int64_t)),
                          contiguous_view(offsets.get(), n + 1, -1, sizeof(std::int64_t)),
                          contiguous_view(items.get(), n, -1, sizeof(std::int64_t)),
                          contiguous_view(dom.get(), n, n, sizeof(std::uint8_t)),
                          contiguous_view(n_dom.get(), n, -1, sizeof(std::int32_t)),
                          contiguous_view(cur.get(), n, -1, sizeof(std::int32_t)),
                          contiguous_view(nxt.get(), n, -1, sizeof(std::int32_t)),
                          contiguous_view(R.get(), n, m, sizeof(double)),
                          scratch.pairs.get(),
                          scratch.keys.get()};
    }
};

// Win, loss and place counts, zeroed.
struct CountBuffers {
    std::unique_ptr<std::int32_t[]> win_count, lose_count;
    std::unique_ptr<std::int64_t[]> rank_sum;

    bool allocate(std::int64_t n) {
        win_count = heap_block<std::int32_t>(n, true);
        lose_count = heap_block<std::int32_t>(n, true);
        rank_sum = heap_block<std::int64_t>(n, true);
        return win_count && lose_count && rank_sum;
    }

    Counts raw() const { return Counts{win_count.get(), lose_count.get(), rank_sum.get()}; }
};

// The random tie order's arrays (rows and members, N entries each), taken
// before sampling; none for the index order.
struct TieRows {
    std::unique_ptr<std::int32_t[]> block;
    RandomTies order{};

    // False when memory is short.
    bool allocate(std::int32_t n, std::uint64_t seed) {
        const std::int64_t count = n > 1 ? n : 1;
        block = heap_block<std::int32_t>(2 * count);
        if (!block) return false;
        order = RandomTies{tie_seed_of(seed), block.get(), block.get() + count};
        return true;
    }

    bool active() const { return block != nullptr; }
};

}  // namespace kestrovane::mc
