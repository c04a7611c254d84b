// The owned chunks of one simulated stream, recycled as a DMA ring would hand them out: a buffer
// comes back to the pool when the module releases its chunk, and the pool grows only while
// chunks are held.
#pragma once

#include <atomic>
#include <cstdint>

namespace vorn::sim {

class ChunkPool {
  public:
    // A pool of buffers of `capacity` bytes, held by the caller until close(). Throws
    // std::bad_alloc, also for a capacity no buffer can have (header included).
    static ChunkPool *create(std::uint64_t capacity);

    // Producer side, one thread at a time: a buffer from the free list, or a new zeroed one
    // when every buffer is held. Throws std::bad_alloc. Pass it on as an OwnedChunk with
    // release_chunk as its release function.
    std::uint8_t *take();

    // The release function of every chunk taken from any pool. Any thread; never blocks, never
    // allocates. Frees the pool when this was its last outstanding chunk after close().
    static void release_chunk(std::uint8_t *data);

    // Drops the creator's hold: the pool is freed now, or when its last chunk comes back.
    void close();

    // Buffers allocated so far (taken from the heap, not from the free list).
    std::uint64_t allocated() const { return allocated_.load(std::memory_order_relaxed); }

    ChunkPool(const ChunkPool &) = delete;
    ChunkPool &operator=(const ChunkPool &) = delete;

  private:
    struct Header;

    explicit ChunkPool(std::uint64_t capacity) : capacity_(capacity) {}
    ~ChunkPool();
    void unhold(std::uint64_t count);

    // Producer only.
    const std::uint64_t capacity_;
    Header *free_ = nullptr;
    std::uint64_t taken_ = 0; // chunks handed out; settled against holds_ by close()

    // Written by the releasing thread, on a cache line of their own so that the producer's
    // per-chunk work does not bounce it between the two threads.
    // Starts at a bias no stream reaches, less one per chunk released; close() swaps the bias for
    // the chunks taken, so the count reaches 0 exactly once, when the last of them comes back.
    alignas(64) std::atomic<std::uint64_t> holds_{hold_bias};
    std::atomic<Header *> returned_{nullptr}; // pushed by any thread, taken whole by take()
    std::atomic<std::uint64_t> allocated_{0};

    static constexpr std::uint64_t hold_bias = std::uint64_t{1} << 62;
};

} // namespace vorn::sim
