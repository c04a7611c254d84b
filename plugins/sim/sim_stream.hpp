// One running stream of the simulated device: a thread of its own produces chunks of the
// pattern and hands them to the module's callback.
#pragma once

#include "sim_options.hpp"

#include <vorn/device.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn::sim {

class SimStream final : public Device::DataStream {
  public:
    // Starts the producing thread. Caller: the device's start_read_stream.
    SimStream(StreamCallback &&callback, const SimOptions &options, std::uint64_t chunk_size);
    // Stops as stop() does.
    ~SimStream() override;

    // Ends the producing thread, then destroys the callback (which waits for the module's
    // delivery thread). Any thread but the producer; the first call does the work, later or
    // concurrent calls return at once.
    void stop() override;

  private:
    void produce();
    void produce_chunks();
    void hand_over(StreamEvent &event);
    // Waits until `deadline` or a stop request; returns whether to go on.
    bool pace_until(std::chrono::steady_clock::time_point deadline);

    SimOptions options_;
    std::uint64_t chunk_size_;
    std::vector<std::uint8_t> lent_chunk_; // the one buffer lent chunks are lent from
    StreamCallback callback_;
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> stopping_{false};
    std::mutex pace_mutex_;
    std::condition_variable pace_changed_;
    std::thread producer_;
};

} // namespace vorn::sim
