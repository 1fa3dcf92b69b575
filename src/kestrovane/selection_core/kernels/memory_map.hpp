// The arrays of one kernel call and the memory each one covers.  np may be
// replaced by the caller, and a replacement that hands out one buffer twice
// would make the rating or the loops write through one array into another
// (its indices then point anywhere): every array the kernel writes must have
// memory of its own before any of them is written.
#pragma once

#include <Python.h>

#include <cstdint>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

class MemoryMap {
public:
    // `a` is an array checked by is_plain_array (or null: not created).
    void add(const char* name, const PyRef& a, bool written = true) {
        if (!a || PyArray_NBYTES(arr(a)) == 0) return;
        if (count_ == kCapacity) {
            full_ = true;
            return;
        }
        const auto begin = reinterpret_cast<std::uintptr_t>(PyArray_DATA(arr(a)));
        blocks_[count_++] =
            Block{name, begin, begin + static_cast<std::uintptr_t>(PyArray_NBYTES(arr(a))), written};
    }

    // False, with TypeError raised, when a written array shares a byte with
    // any other array (two read-only inputs may be one and the same).
    bool check() const {
        if (full_) {
            PyErr_SetString(PyExc_SystemError, "too many arrays for the memory check");
            return false;
        }
        for (int i = 0; i < count_; ++i) {
            for (int j = i + 1; j < count_; ++j) {
                const Block& a = blocks_[i];
                const Block& b = blocks_[j];
                if (!(a.written || b.written) || a.end <= b.begin || b.end <= a.begin) continue;
                PyErr_Format(PyExc_TypeError,
                             "%s shares memory with %s; np.empty and np.zeros must return a new "
                             "array on every call",
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
    };
    // The detailed kernel's 72 arrays at most, with room to spare.
    static constexpr int kCapacity = 96;
    Block blocks_[kCapacity];
    int count_ = 0;
    bool full_ = false;
};

}  // namespace kestrovane::mc
