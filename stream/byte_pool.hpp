// Buffers for the copies a stream makes of lent chunks, recycled instead of allocated per chunk.
#pragma once

#include <vorn/device.hpp>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace vorn::stream {

// A pool of byte buffers for one stream. Its chunks go back to it when released, on any thread;
// the pool is freed once its owner has closed it and every chunk has come back. It keeps every
// buffer it was given back, so it holds at most as many as were once in use at the same time.
class BytePool {
  public:
    // The owner's reference; give it up with close().
    static BytePool *create();

    // Producer thread. An owned chunk of `size` bytes (contents unspecified) whose release gives
    // the buffer back. Throws std::bad_alloc.
    OwnedChunk take(std::uint64_t size);

    // The owner is done with the pool. Any thread, once.
    void close();

  private:
    struct alignas(16) Header {
        BytePool *pool;
        std::uint64_t capacity;
        Header *next;
    };

    BytePool() = default;
    static void release(std::uint8_t *data);
    static void free_buffer(Header *header);
    void give_back(Header *header);
    void drop_reference();

    std::mutex mutex_;
    Header *free_ = nullptr; // guarded by mutex_
    bool closed_ = false;    // guarded by mutex_
    std::atomic<std::size_t> references_{1};
};

} // namespace vorn::stream
