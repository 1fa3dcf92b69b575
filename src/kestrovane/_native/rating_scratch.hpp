// The two heap blocks the rating uses as scratch, and view records over plain
// memory, for callers that own their work arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <new>

#include "kestrovane/_native/rating_abi.hpp"

namespace kestrovane {

// max(N, 1) records each.
struct RatingScratch {
    std::unique_ptr<Pair[]> pairs;
    std::unique_ptr<OrderKey[]> keys;

    // False when either block cannot be had (nothing is kept then).
    bool allocate(std::int64_t n) {
        const std::size_t count = n > 1 ? static_cast<std::size_t>(n) : 1;
        pairs.reset(new (std::nothrow) Pair[count]);
        keys.reset(new (std::nothrow) OrderKey[count]);
        if (pairs && keys) return true;
        pairs.reset();
        keys.reset();
        return false;
    }
};

// A C-contiguous view of `rows` (x `cols`, when cols >= 0) items of
// `itemsize` bytes at `data`; no object owns it (memview is null).
inline ArrayView contiguous_view(void* data, std::int64_t rows, std::int64_t cols,
                                 std::int64_t itemsize) {
    ArrayView v{};
    v.data = static_cast<char*>(data);
    v.shape[0] = rows;
    v.strides[0] = cols < 0 ? itemsize : cols * itemsize;
    v.suboffsets[0] = -1;
    if (cols >= 0) {
        v.shape[1] = cols;
        v.strides[1] = itemsize;
        v.suboffsets[1] = -1;
    }
    return v;
}

}  // namespace kestrovane
