// One running stream of the simulated device: a thread of its own produces chunks of the
// pattern and hands them to the module's callback.
#pragma once

#include "sim_options.hpp"

#include <vorn/chunk_pool.hpp>
#include <vorn/device.hpp>
#include <vorn/stream_thread.hpp>

#include <vector>

namespace vorn::sim {

class SimStream final : public Device::DataStream {
  public:
    // Starts the producing thread. Caller: the device's start_read_stream.
    SimStream(StreamCallback &&callback, const SimOptions &options, std::uint64_t chunk_size);

    // StreamThread::stop(); chunks still held elsewhere keep their pool.
    void stop() override { thread_.stop(); }

  private:
    void produce(StreamEmitter &emit, const std::stop_token &stop);

    SimOptions options_;
    std::uint64_t chunk_size_;
    std::vector<std::uint8_t> lent_chunk_; // the one buffer lent chunks are lent from
    ChunkPool::Hold pool_;                 // owned chunks
    StreamThread thread_; // last: started once everything above exists
};

} // namespace vorn::sim
