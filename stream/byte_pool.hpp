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
    void drop_references(std::uint64_t count);

    // Producer only.
    Header *free_ = nullptr;
    std::uint64_t taken_ = 0; // chunks handed out; settled against references_ by close()

    // Written by the releasing thread, on a cache line of their own so that the producer's
    // per-chunk work does not bounce it between the two threads.
    // Given back since the producer last looked. The producer takes the whole stack at once, so
    // a pop never races a push of the same header (no ABA problem).
    alignas(64) std::atomic<Header *> returned_{nullptr};
    std::atomic<bool> closed_{false};
    // Starts at a bias no stream reaches, less one per chunk given back; close() swaps the bias
    // for the chunks taken, so the count reaches 0 exactly once, when the pool can go.
    std::atomic<std::uint64_t> references_{reference_bias};

    static constexpr std::uint64_t reference_bias = std::uint64_t{1} << 62;
};

} // namespace vorn::stream
