// Paces a producer thread the way the simulated device does: sleep until the next chunk is due,
// then emit every chunk that is due, in one batch.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>

namespace vorn::bench {

inline std::uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// The 16-byte stamp of the simulated device: sequence, then CLOCK_MONOTONIC ns, little-endian.
inline void stamp(std::uint8_t *out, std::uint64_t size, std::uint64_t sequence) {
    if (size < 16) {
        return;
    }
    const std::uint64_t now = monotonic_ns();
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(sequence >> (8 * i));
        out[8 + i] = static_cast<std::uint8_t>(now >> (8 * i));
    }
}

class PacedLoop {
  public:
    // `rate` chunks per second; 0: every chunk is due at once.
    explicit PacedLoop(std::uint64_t rate) : rate_(rate) {}

    // Producer thread: how many chunks are due and not yet emitted, after sleeping until at
    // least one is; 0 once stop() was called.
    std::uint64_t wait_due(std::uint64_t emitted) {
        if (rate_ == 0) {
            return stopped_.load(std::memory_order_relaxed) ? 0 : 1;
        }
        for (;;) {
            if (stopped_.load(std::memory_order_relaxed)) {
                return 0;
            }
            const auto now = std::chrono::steady_clock::now();
            const auto elapsed =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
            const auto due = static_cast<std::uint64_t>(static_cast<double>(elapsed) * 1e-9 *
                                                        static_cast<double>(rate_)) +
                             1;
            if (due > emitted) {
                return due - emitted;
            }
            const auto next = start_ + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                           static_cast<double>(emitted) * 1e9 /
                                           static_cast<double>(rate_)));
            std::unique_lock lock(mutex_);
            changed_.wait_until(lock, next, [this] { return stopped_.load(); });
        }
    }

    // Any thread: wakes the producer and makes wait_due return 0.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }

  private:
    const std::uint64_t rate_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace vorn::bench
