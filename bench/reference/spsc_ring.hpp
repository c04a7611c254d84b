// A bounded single-producer single-consumer ring of chunk pointers: never allocates after
// construction, refuses a push when full.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace vorn::bench {

struct Chunk {
    std::uint8_t *data = nullptr;
    std::uint64_t size = 0;
};

class SpscRing {
  public:
    explicit SpscRing(std::size_t capacity) : slots_(capacity + 1) {}

    // Producer thread only.
    bool push(Chunk chunk) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t next = tail + 1 == slots_.size() ? 0 : tail + 1;
        if (next == head_.load(std::memory_order_acquire)) {
            return false;
        }
        slots_[tail] = chunk;
        tail_.store(next, std::memory_order_seq_cst); // ordered before the sleeping check
        return true;
    }

    // Consumer thread only.
    bool pop(Chunk &chunk) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_seq_cst)) {
            return false;
        }
        chunk = slots_[head];
        head_.store(head + 1 == slots_.size() ? 0 : head + 1, std::memory_order_release);
        return true;
    }

  private:
    std::vector<Chunk> slots_;
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

} // namespace vorn::bench
