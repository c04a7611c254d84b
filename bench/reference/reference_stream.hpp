// The reference design the module is measured against: a producer std::thread, a bounded SPSC
// ring, and a delivery thread that keeps one Python thread state and takes the interpreter lock
// per event; buffers come from a free list. Its delivery thread waits on a timed condition
// variable when the ring is empty.
#pragma once

#include "paced_loop.hpp"
#include <vorn/chunk_pool.hpp>
#include "spsc_ring.hpp"

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn::bench {

class ReferenceStream {
  public:
    // Starts both threads. Caller: a Python thread holding the lock. `lent`: the producer stamps
    // one buffer and copies it into a free-list buffer (the one copy a lent chunk needs);
    // otherwise it stamps the free-list buffer itself.
    ReferenceStream(PyObject *callback, std::uint64_t chunk_size, std::uint64_t rate, bool lent,
                    std::size_t max_queue);
    ~ReferenceStream();

    // Caller: a Python thread NOT holding the lock (the delivery thread needs it to finish).
    void stop();

    std::uint64_t delivered() const { return delivered_.load(); }
    std::uint64_t drops() const { return drops_.load(); }

  private:
    void produce();
    void deliver();
    void wake_consumer();

    PyObject *callback_; // a strong reference, dropped by the destructor (lock held)
    PyInterpreterState *interpreter_;
    const std::uint64_t chunk_size_;
    const bool lent_;
    vorn::ChunkPool::Hold pool_;
    std::vector<std::uint8_t> lent_chunk_;
    SpscRing ring_;
    PacedLoop pacing_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> consumer_sleeping_{false};
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    std::atomic<std::uint64_t> delivered_{0};
    std::atomic<std::uint64_t> drops_{0};
    std::thread producer_;
    std::thread delivery_;
};

// The reference design's Python type for a delivered chunk: a read-only buffer that gives its
// bytes back to the free list when the object is freed.
PyObject *make_chunk_object(std::uint8_t *data, std::uint64_t size);
bool ready_chunk_type();

} // namespace vorn::bench
