// Recycled buffers for owned chunks. A chunk's release puts its buffer back for the stream's next
// take() instead of freeing it, as a DMA ring hands its buffers out: allocating on the producing
// thread and freeing on the delivery thread defeats malloc's per-thread caches.
//
// Contract:
//  - One producing thread at a time calls take() and wait_for_room(), and passes each buffer on
//    as OwnedChunk{ChunkPool::release, data, size}.
//  - release() runs on any thread, at any time, also after the hold is dropped; it never
//    allocates and never calls into Python. Lock-free, unless the pool was made with room.
//  - create() returns the creator's hold; dropping it closes the pool, once the producer is done
//    taking. The pool is freed when its last chunk comes back.
//  - A new buffer starts zeroed (no stale heap bytes reach Python) and its data is 64-byte aligned.
//
// Example, on the producing thread:
//   auto pool = vorn::ChunkPool::create(4096);
//   std::uint8_t *data = pool->take();
//   std::memcpy(data, samples, 4096);
//   emit(vorn::OwnedChunk{vorn::ChunkPool::release, data, 4096});
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stop_token>
#include <utility>

namespace vorn {

class ChunkPool {
  public:
    struct Close {
        void operator()(ChunkPool *pool) const { pool->unhold(hold_bias - pool->taken_); }
    };
    using Hold = std::unique_ptr<ChunkPool, Close>;

    // A pool of buffers of `capacity` bytes. `room`: for a producer that paces itself with
    // wait_for_room(), how many buffers may be out at first (0: never waited on, and releases
    // stay lock-free). `spares`: how many returned buffers take() keeps for reuse (the rest it
    // frees; at least 1), so that a consumer that once held many does not pin their memory until
    // the stream ends; by default as many as were out at once. Throws std::bad_alloc, also for
    // a capacity no buffer can have.
    static Hold create(std::uint64_t capacity, std::uint64_t room = 0,
                       std::uint64_t spares = std::numeric_limits<std::uint64_t>::max()) {
        if (capacity > std::numeric_limits<std::size_t>::max() - 2 * header_size) {
            throw std::bad_alloc(); // header plus data would wrap around
        }
        return Hold(new ChunkPool(capacity, room, spares));
    }

    // A returned buffer, or a new zeroed one. Producer only; throws std::bad_alloc.
    std::uint8_t *take() {
        if (free_ == nullptr) {
            // Taking the whole list at once leaves no window for the ABA problem of a shared stack.
            free_ = returned_.exchange(nullptr, std::memory_order_acquire);
            free_beyond_spares();
        }
        Header *header = free_;
        if (header != nullptr) {
            free_ = header->next;
        } else {
            // calloc: large buffers come as untouched zero pages, not memset ones.
            void *block = std::calloc(1, static_cast<std::size_t>(capacity_) + 2 * header_size);
            if (block == nullptr) {
                throw std::bad_alloc();
            }
            const auto data = (reinterpret_cast<std::uintptr_t>(block) + 2 * header_size - 1) &
                              ~std::uintptr_t{header_size - 1};
            header = new (reinterpret_cast<void *>(data - header_size)) Header{this, nullptr, block};
            allocated_.fetch_add(1, std::memory_order_relaxed);
        }
        ++taken_;
        return reinterpret_cast<std::uint8_t *>(header) + header_size;
    }

    // The release function of every chunk taken from any pool. Any thread; see the contract.
    static void release(std::uint8_t *data) {
        auto *header = reinterpret_cast<Header *>(data - header_size);
        ChunkPool *pool = header->pool;
        Header *head = pool->returned_.load(std::memory_order_relaxed);
        do {
            header->next = head;
        } while (!pool->returned_.compare_exchange_weak(head, header, std::memory_order_release,
                                                        std::memory_order_relaxed));
        if (pool->watched_) {
            // Before unhold: until then this chunk's hold keeps the pool alive.
            std::lock_guard lock(pool->room_mutex_);
            ++pool->released_;
            pool->room_changed_.notify_all();
        }
        pool->unhold(1);
    }

    // Waits until fewer buffers are out than the room; true then, false on a stop request. For a
    // source with no pace of its own (a file), so that it goes as fast as the consumer returns
    // its buffers. A consumer that keeps them and returns none for 100 ms is allowed twice the
    // room: it is slowed down, never stalled. Producer only, on a pool made with room.
    bool wait_for_room(const std::stop_token &stop) {
        std::unique_lock lock(room_mutex_);
        for (;;) {
            const std::uint64_t released = released_;
            if (room_changed_.wait_for(lock, stop, std::chrono::milliseconds(100),
                                       [&] { return taken_ - released_ < room_; })) {
                return true;
            }
            if (stop.stop_requested()) {
                return false;
            }
            if (released_ == released) {
                room_ *= 2;
            }
        }
    }

    // Buffers allocated so far (from the heap, not from the free list).
    std::uint64_t allocated() const { return allocated_.load(std::memory_order_relaxed); }

    ChunkPool(const ChunkPool &) = delete;
    ChunkPool &operator=(const ChunkPool &) = delete;

  private:
    static constexpr std::size_t header_size = 64; // the data starts one cache line after it
    struct Header {
        ChunkPool *pool;
        Header *next;
        void *block; // what calloc returned
    };
    // Starts at a bias no stream reaches, less one per chunk released; closing swaps the bias for
    // the chunks taken, so the count reaches 0 exactly once, when the last of them comes back.
    static constexpr std::uint64_t hold_bias = std::uint64_t{1} << 62;

    ChunkPool(std::uint64_t capacity, std::uint64_t room, std::uint64_t spares)
        : capacity_(capacity), spares_(std::max<std::uint64_t>(spares, 1)), watched_(room != 0),
          room_(room) {}
    ~ChunkPool() {
        for (Header *list : {free_, returned_.load(std::memory_order_acquire)}) {
            while (list != nullptr) {
                std::free(std::exchange(list, list->next)->block);
            }
        }
    }

    // Producer only, on the list just taken from returned_.
    void free_beyond_spares() {
        if (spares_ == std::numeric_limits<std::uint64_t>::max()) {
            return; // nothing to count: the usual case costs nothing
        }
        Header *last = free_;
        for (std::uint64_t kept = 1; last != nullptr && kept < spares_; ++kept) {
            last = last->next;
        }
        Header *extra = last != nullptr ? std::exchange(last->next, nullptr) : nullptr;
        while (extra != nullptr) {
            std::free(std::exchange(extra, extra->next)->block);
        }
    }

    // Unsigned wrap-around keeps the arithmetic exact.
    void unhold(std::uint64_t count) {
        if (holds_.fetch_sub(count, std::memory_order_acq_rel) == count) {
            delete this;
        }
    }

    // Producer only.
    const std::uint64_t capacity_;
    const std::uint64_t spares_;
    Header *free_ = nullptr;
    std::uint64_t taken_ = 0;

    // Written by the releasing threads, on a cache line of their own so that the producer's
    // per-chunk work does not bounce it between the threads.
    alignas(64) std::atomic<std::uint64_t> holds_{hold_bias};
    std::atomic<Header *> returned_{nullptr};
    const bool watched_;
    std::atomic<std::uint64_t> allocated_{0};

    std::mutex room_mutex_;
    std::condition_variable_any room_changed_;
    std::uint64_t released_ = 0; // under room_mutex_, on a watched pool
    std::uint64_t room_;
};

} // namespace vorn
