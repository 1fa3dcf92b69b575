// The arrays of one kernel call and the memory each one covers.  np may be
// replaced by the caller, and a replacement that hands out one buffer twice
// would make the rating or the loops write through one array into another
// (its indices then point anywhere): every array the kernel writes must have
// memory of its own before any of them is written.  A replacement may also
// hand the same buffers to every call: two calls running at once (two
// threads, or a progress callable that starts another call) would then write
// each other's arrays.  So a call claims its arrays: they are checked against
// those of every running call and kept in a registry until the call ends.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "kestrovane/_native/py_ref.hpp"
#include "kestrovane/selection_core/kernels/numpy_calls.hpp"

namespace kestrovane::mc {

class MemoryMap;

// The maps of the calls of this module that have claimed their arrays and
// not ended yet.  The lock is held only for list and block operations,
// never while waiting for anything else.
struct RunningCalls {
    std::mutex lock;
    MemoryMap* first = nullptr;
};

inline RunningCalls& running_calls() {
    static RunningCalls calls;
    return calls;
}

class MemoryMap {
public:
    // The detailed kernel's 46 arrays at most, with room to spare; calls
    // over several threads ask for more.
    static constexpr int kDefaultCapacity = 96;

    explicit MemoryMap(int capacity = kDefaultCapacity)
        : blocks_(new (std::nothrow) Block[capacity]), capacity_(blocks_ ? capacity : 0) {}

    MemoryMap(const MemoryMap&) = delete;
    MemoryMap& operator=(const MemoryMap&) = delete;
    ~MemoryMap() {
        if (!linked_) return;
        std::lock_guard<std::mutex> hold(running_calls().lock);
        unlink();
    }

    // `a` is an array checked by is_plain_array (or null: not created).
    void add(const char* name, const PyRef& a, bool written = true) {
        if (!a || PyArray_NBYTES(arr(a)) == 0) return;
        std::unique_lock<std::mutex> hold(running_calls().lock, std::defer_lock);
        if (linked_) hold.lock();  // other calls read the blocks of a claimed map
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

    // check(), then the same for every array of this map against those of
    // the other running calls (a read-only array may be shared between
    // calls, as two calls on one population do); on success the map stays
    // registered until it is destroyed.  Called again after more arrays
    // were added, it checks them all again.  False with TypeError raised.
    bool claim() {
        RunningCalls& calls = running_calls();
        const char* mine = nullptr;
        const char* theirs = nullptr;
        {
            std::lock_guard<std::mutex> hold(calls.lock);
            if (!check()) return false;
            for (const MemoryMap* other = calls.first; other && !mine; other = other->next_)
                if (other != this) first_shared(*other, &mine, &theirs);
            if (!mine && !linked_) link();
        }
        if (!mine) return true;
        PyErr_Format(PyExc_TypeError,
                     "%s shares memory with %s of another running call; np.empty and np.zeros "
                     "must return a new array on every call",
                     mine, theirs);
        return false;
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

    // The first array of this map, in creation order, that shares a byte
    // with an array of `other` while one of the two is written.
    void first_shared(const MemoryMap& other, const char** mine, const char** theirs) const {
        const Block* found = nullptr;
        const Block* with = nullptr;
        for (int i = 0; i < count_; ++i) {
            const Block& a = blocks_[i];
            if (found && found->order < a.order) continue;
            for (int j = 0; j < other.count_; ++j) {
                const Block& b = other.blocks_[j];
                if (!(a.written || b.written) || a.end <= b.begin || b.end <= a.begin) continue;
                found = &a;
                with = &b;
                break;
            }
        }
        if (!found) return;
        *mine = found->name;
        *theirs = with->name;
    }

    void link() {
        RunningCalls& calls = running_calls();
        next_ = calls.first;
        if (next_) next_->prev_ = this;
        calls.first = this;
        linked_ = true;
    }

    void unlink() {
        if (prev_) prev_->next_ = next_;
        else running_calls().first = next_;
        if (next_) next_->prev_ = prev_;
        prev_ = next_ = nullptr;
        linked_ = false;
    }

    std::unique_ptr<Block[]> blocks_;
    int capacity_;
    int count_ = 0;
    bool full_ = false;
    bool linked_ = false;
    MemoryMap* prev_ = nullptr;
    MemoryMap* next_ = nullptr;
};

}  // namespace kestrovane::mc
