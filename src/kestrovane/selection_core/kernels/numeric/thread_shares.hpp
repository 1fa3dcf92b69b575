// One call's samples split over threads.  Each thread takes a contiguous
// range of samples in order and starts its own copy of the generator at the
// first normal of its range, so every sample sees the normals it would see
// in one thread.  Counts are integers, so per-thread sums are exact.
#pragma once

#include <atomic>
#include <cstdint>


namespace kestrovane::mc {

inline constexpr int kMaxThreads = 64;

struct SampleRange {
    std::int32_t begin, end;
};

// Thread t's samples out of `threads`: the ranges are in order, cover
// 0 .. n_samples - 1 and differ in length by one at most.
inline SampleRange share_of(std::int32_t n_samples, int threads, int t) {
    const std::int64_t total = n_samples;
    return SampleRange{static_cast<std::int32_t>(total * t / threads),
                       static_cast<std::int32_t>(total * (t + 1) / threads)};
}

// What the threads of one call share while they sample: a stop flag and each
// thread's count of samples done, a cache line apiece.
struct SharedProgress {
    struct alignas(64) Slot {
        std::atomic<std::int32_t> done{0};
    };
    std::atomic<bool> stop{false};
    Slot slots[kMaxThreads];

    // Each slot only grows, so successive totals never fall.
    std::int64_t total() const {
        std::int64_t sum = 0;
        for (const Slot& s : slots) sum += s.done.load(std::memory_order_relaxed);
        return sum;
    }
};

// The pacer of a worker thread: publishes its progress (`base` samples done
// before this run of the loop), stops when told.
struct WorkerPacer {
    SharedProgress* shared;
    int slot;
    std::int32_t base = 0;

    bool after_sample(std::int32_t done) {
        shared->slots[slot].done.store(base + done, std::memory_order_relaxed);
        return !shared->stop.load(std::memory_order_relaxed);
    }
};

}  // namespace kestrovane::mc
