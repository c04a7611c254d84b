// Buffers for the copies a stream makes of lent chunks, recycled instead of allocated per chunk.
#pragma once

#include <vorn/device.hpp>

#include <atomic>
#include <cstdint>

namespace vorn::stream {

// A pool of byte buffers for one stream. Its chunks go back to it when released, on any thread,
// without a lock: the producer and the delivery thread never wait for each other here. The pool
// is freed once its owner has closed it and every chunk has come back. Until then it keeps every
// buffer it was given back, so it holds at most as many as were once in use at the same time.
class BytePool {
  public:
    // The owner's reference; give it up with close().
    static BytePool *create();

    // Producer thread only. An owned chunk of `size` bytes (contents unspecified) whose release gives
    // the buffer back. Throws std::bad_alloc.
    OwnedChunk take(std::uint64_t size);

    // The owner is done with the pool: the buffers it holds are freed, and each one given back
    // later too. Any thread, once, after the last take().
    void close();

  private:
    struct alignas(16) Header {
        BytePool *pool;
        std::uint64_t capacity;
        Header *next;
    };

    BytePool() = default;
    ~BytePool();
    static void release(std::uint8_t *data);
    static void free_list(Header *list);
    void give_back(Header *header);
    void drop_reference();

    Header *free_ = nullptr; // the producer's own list
    // Given back since the producer last looked. The producer takes the whole stack at once, so
    // a pop never races a push of the same header (no ABA problem).
    std::atomic<Header *> returned_{nullptr};
    std::atomic<bool> closed_{false};
    // Apart from what the producer touches per chunk: both threads write these.
    alignas(64) std::atomic<std::size_t> references_{1};
};

} // namespace vorn::stream
