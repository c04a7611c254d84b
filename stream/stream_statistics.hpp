// What a stream has delivered and lost, counted as it runs.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorn::stream {

// Each counter has one writing thread, the stream's delivery thread or (max_queue_depth) its
// device's thread: relaxed atomics, no lock, no ordering with the data. Read by anyone at any
// time; it outlives the stream for whoever holds it.
struct StreamStatistics {
    std::atomic<std::uint64_t> events{0};              // payloads handed to the callback
    std::atomic<std::uint64_t> bytes{0};               // their bytes
    std::atomic<std::uint64_t> dropped{0};             // overflow messages delivered
    std::atomic<std::uint64_t> allocation_failures{0}; // allocation failure messages delivered
    std::atomic<std::uint64_t> callback_errors{0};     // exceptions raised by the callback
    // The device's thread reads this per event: kept off the line the delivery thread writes.
    alignas(64) std::atomic<std::uint64_t> max_queue_depth{0}; // most events ever waiting

    // By the counter's one writer: a plain store, no read-modify-write.
    static void add(std::atomic<std::uint64_t> &counter, std::uint64_t amount = 1) {
        counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
};

} // namespace vorn::stream
