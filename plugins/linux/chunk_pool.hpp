// Buffers for owned stream chunks, recycled: a chunk's release puts its buffer back for the
// stream's next read instead of freeing it (allocating on the reader thread and freeing on the
// delivery thread defeats malloc's per-thread caches).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vorn::linux_dev {

class ChunkPool {
  public:
    // A pool of `chunk_size`-byte buffers, owned by the caller until close().
    static ChunkPool *create(std::size_t chunk_size);

    // A free buffer, or a new one. The reader thread only; throws std::bad_alloc.
    std::uint8_t *take();
    // Gives a buffer back; the OwnedChunk release function. Any thread, any time (also after
    // close()); never calls into Python.
    static void release(std::uint8_t *data);
    // Drops the creator's ownership; the pool is freed when the last buffer comes back.
    void close();

    struct Room {
        bool below;    // fewer than the limit are out
        bool released; // a buffer came back while waiting
    };
    // Waits until fewer than `limit` buffers are out, for at most `timeout`, or until
    // interrupt(). The reader thread only.
    Room wait_below(std::size_t limit, std::chrono::milliseconds timeout);
    // Ends a wait_below now and every later one at once. Any thread.
    void interrupt();

  private:
    explicit ChunkPool(std::size_t chunk_size);
    ~ChunkPool();
    void unref();

    std::size_t chunk_size_;
    std::size_t keep_;                 // at most this many free buffers are kept
    std::atomic<std::size_t> refs_{1}; // the creator and every buffer out of the pool
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::uint8_t *> free_;
    std::size_t out_ = 0;        // buffers taken and not yet released
    std::uint64_t releases_ = 0; // ever
    bool closed_ = false;
    bool interrupted_ = false;
};

} // namespace vorn::linux_dev
