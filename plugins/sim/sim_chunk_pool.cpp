#include "sim_chunk_pool.hpp"

#include <cstring>
#include <limits>
#include <new>

namespace vorn::sim {

namespace {
constexpr std::size_t header_size = 64; // the data starts one cache line after the header
constexpr std::align_val_t buffer_alignment{64};
} // namespace

// Placed in front of each buffer.
struct alignas(header_size) ChunkPool::Header {
    ChunkPool *pool;
    Header *next;
};

ChunkPool *ChunkPool::create(std::uint64_t capacity) {
    static_assert(sizeof(Header) == header_size);
    // Header plus capacity must not wrap around: a wrapped size would allocate a tiny buffer
    // and the producer would write far past it.
    if (capacity > std::numeric_limits<std::size_t>::max() - header_size) {
        throw std::bad_alloc();
    }
    return new ChunkPool(capacity);
}

ChunkPool::~ChunkPool() {
    for (Header *list : {free_, returned_.load(std::memory_order_acquire)}) {
        while (list != nullptr) {
            Header *next = list->next;
            ::operator delete(list, buffer_alignment);
            list = next;
        }
    }
}

std::uint8_t *ChunkPool::take() {
    if (free_ == nullptr) {
        // Taking the whole list at once leaves no window for the ABA problem of a shared stack.
        free_ = returned_.exchange(nullptr, std::memory_order_acquire);
    }
    Header *header = free_;
    if (header != nullptr) {
        free_ = header->next;
    } else {
        void *memory = ::operator new(header_size + capacity_, buffer_alignment);
        // Zeroed once, so a stream without the pattern fill never shows stale heap bytes.
        std::memset(memory, 0, header_size + capacity_);
        header = new (memory) Header{this, nullptr};
        allocated_.fetch_add(1, std::memory_order_relaxed);
    }
    ++taken_;
    return reinterpret_cast<std::uint8_t *>(header) + header_size;
}

void ChunkPool::release_chunk(std::uint8_t *data) {
    auto *header = reinterpret_cast<Header *>(data - header_size);
    ChunkPool *pool = header->pool;
    Header *head = pool->returned_.load(std::memory_order_relaxed);
    do {
        header->next = head;
    } while (!pool->returned_.compare_exchange_weak(head, header, std::memory_order_release,
                                                    std::memory_order_relaxed));
    pool->unhold(1);
}

// Unsigned wrap-around keeps the arithmetic exact: holds_ ends at taken - released.
void ChunkPool::close() { unhold(hold_bias - taken_); }

void ChunkPool::unhold(std::uint64_t count) {
    if (holds_.fetch_sub(count, std::memory_order_acq_rel) == count) {
        delete this;
    }
}

} // namespace vorn::sim
