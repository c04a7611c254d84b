// What a stream has delivered and lost, counted as it runs.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorn::stream {

// Relaxed atomics, no lock, no ordering with the data. events, bytes, drop_runs and
// callback_errors have one writer, the delivery thread; max_queue_depth the device's thread. The loss counts are written
// by the device's thread when the loss happens (and allocation_failures by the delivery thread
// too), with atomic additions. Read by anyone at any time; it outlives the stream for whoever
// holds it.
struct StreamStatistics {
    std::atomic<std::uint64_t> events{0};              // payloads handed to the callback
    std::atomic<std::uint64_t> bytes{0};               // their bytes
    std::atomic<std::uint64_t> dropped{0};             // events lost to a full queue
    std::atomic<std::uint64_t> drop_runs{0};           // overflow messages delivered (one per run)
    std::atomic<std::uint64_t> allocation_failures{0}; // events lost to failed allocations
    std::atomic<std::uint64_t> callback_errors{0};     // exceptions raised by the callback
    // The device's thread reads this per event: kept off the line the delivery thread writes.
    alignas(64) std::atomic<std::uint64_t> max_queue_depth{0}; // most events ever waiting

    // By the counter's one writer: a plain store, no read-modify-write.
    static void add(std::atomic<std::uint64_t> &counter, std::uint64_t amount = 1) {
        counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
};

} // namespace vorn::stream
