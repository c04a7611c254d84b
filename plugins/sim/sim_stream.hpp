// One running stream of the simulated device: a thread of its own produces chunks of the
// pattern and hands them to the module's callback.
#pragma once

#include "sim_chunk_pool.hpp"
#include "sim_options.hpp"

#include <vorn/device.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn::sim {

class SimStream final : public Device::DataStream {
  public:
    // Starts the producing thread. Caller: the device's start_read_stream.
    SimStream(StreamCallback &&callback, const SimOptions &options, std::uint64_t chunk_size);
    // Stops as stop() does; chunks still held elsewhere keep their pool.
    ~SimStream() override;

    // Ends the producing thread, then destroys the callback (which waits for the module's
    // delivery thread, except when called on that thread). Any thread but the producer, any
    // number of times, concurrently too: every call returns once both are done. Hence a call
    // from the delivery thread while another thread's call is destroying the callback would
    // wait for its own thread: the module must not forward such a call.
    void stop() override;

  private:
    void produce();
    void produce_chunks();
    void hand_over(StreamEvent &event);
    // Sleeps until `deadline` or a stop request; returns whether to go on.
    bool pace_until(std::chrono::steady_clock::time_point deadline);

    SimOptions options_;
    std::uint64_t chunk_size_;
    std::vector<std::uint8_t> lent_chunk_; // the one buffer lent chunks are lent from
    ChunkPool *pool_ = nullptr;            // owned chunks; closed by the destructor
    StreamCallback callback_;
    std::atomic<bool> stop_requested_{false};
    std::mutex pace_mutex_;
    std::condition_variable pace_changed_;

    enum class StopState { running, stopping, stopped };
    std::mutex stop_mutex_;
    std::condition_variable stopped_;
    StopState stop_state_ = StopState::running;

    std::thread producer_; // last: started once everything above exists
};

} // namespace vorn::sim
