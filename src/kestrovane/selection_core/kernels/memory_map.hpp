// The arrays of one kernel call and the memory each one covers.  np may be
// replaced by the caller, and a replacement that hands out one buffer twice
// would make the rating or the loops write through one array into another
// (its indices then point anywhere): every array the kernel writes must have
// memory of its own before any of them is written.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

class MemoryMap {
public:
    // The detailed kernel's 46 arrays at most, with room to spare; calls
    // over several threads ask for more.
    static constexpr int kDefaultCapacity = 96;

    explicit MemoryMap(int capacity = kDefaultCapacity)
        : blocks_(new (std::nothrow) Block[capacity]), capacity_(blocks_ ? capacity : 0) {}

    // `a` is an array checked by is_plain_array (or null: not created).
    void add(const char* name, const PyRef& a, bool written = true) {
        if (!a || PyArray_NBYTES(arr(a)) == 0) return;
        if (count_ == capacity_) {
            full_ = true;
            return;
        }
        const auto begin = reinterpret_cast<std::uintptr_t>(PyArray_DATA(arr(a)));
        const auto end = begin + static_cast<std::uintptr_t>(PyArray_NBYTES(arr(a)));
        blocks_[count_] = Block{name, begin, end, written, count_};
        ++count_;
    }

    // False, with TypeError raised, when a written array shares a byte with
    // any other array (two read-only inputs may be one and the same).  The
    // message names the first array, in creation order, that collides.
    bool check() {
        if (!blocks_) {
            PyErr_NoMemory();
            return false;
        }
        if (full_) {
            PyErr_SetString(PyExc_SystemError, "too many arrays for the memory check");
            return false;
        }
        if (!any_collision()) return true;
        std::sort(blocks_.get(), blocks_.get() + count_,
                  [](const Block& a, const Block& b) { return a.order < b.order; });
        for (int j = 1; j < count_; ++j) {
            for (int i = 0; i < j; ++i) {
                const Block& a = blocks_[i];
                const Block& b = blocks_[j];
                if (!(a.written || b.written) || a.end <= b.begin || b.end <= a.begin) continue;
                PyErr_Format(PyExc_TypeError,
                             "%s shares memory with %s; np.empty and np.zeros must return a "
                             "new array on every call",
                             b.name, a.name);
                return false;
            }
        }
        return true;
    }

private:
    struct Block {
        const char* name;
        std::uintptr_t begin, end;
        bool written;
        int order;  // creation order
    };

    // In address order, a block overlaps an earlier one exactly when it
    // starts before the furthest end so far; a read-only block may overlap
    // read-only ones.
    bool any_collision() {
        std::sort(blocks_.get(), blocks_.get() + count_,
                  [](const Block& a, const Block& b) { return a.begin < b.begin; });
        std::uintptr_t reach_any = 0, reach_written = 0;
        for (int i = 0; i < count_; ++i) {
            const Block& b = blocks_[i];
            if (b.begin < (b.written ? reach_any : reach_written)) return true;
            reach_any = std::max(reach_any, b.end);
            if (b.written) reach_written = std::max(reach_written, b.end);
        }
        return false;
    }

    std::unique_ptr<Block[]> blocks_;
    int capacity_;
    int count_ = 0;
    bool full_ = false;
};

}  // namespace kestrovane::mc
