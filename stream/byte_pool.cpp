#include "byte_pool.hpp"

#include <new>
#include <utility>

namespace vorn::stream {

BytePool *BytePool::create() { return new BytePool(); }

BytePool::~BytePool() {
    free_list(free_);
    free_list(returned_.load(std::memory_order_acquire));
}

OwnedChunk BytePool::take(std::uint64_t size) {
    // The buffers given back last go first, as from one stack: their bytes are the likeliest
    // still in cache, and a stream that once queued many keeps using only the few it needs now.
    if (returned_.load(std::memory_order_relaxed) != nullptr) {
        Header *given_back = returned_.exchange(nullptr, std::memory_order_acquire);
        Header *last = given_back;
        while (last->next != nullptr) {
            last = last->next;
        }
        last->next = free_;
        free_ = given_back;
    }
    Header *header = free_;
    if (header != nullptr) {
        free_ = header->next;
        if (header->capacity < size) {
            ::operator delete(std::exchange(header, nullptr));
        }
    }
    if (header == nullptr) {
        header = static_cast<Header *>(::operator new(sizeof(Header) + size));
        header->pool = this;
        header->capacity = size;
    }
    ++taken_;
    return OwnedChunk{release, reinterpret_cast<std::uint8_t *>(header + 1), size};
}

void BytePool::close() {
    closed_.store(true, std::memory_order_release);
    free_list(std::exchange(free_, nullptr));
    free_list(returned_.exchange(nullptr, std::memory_order_acquire));
    // Unsigned wrap-around keeps the arithmetic exact: the count ends at taken - given back.
    drop_references(reference_bias - taken_);
}

void BytePool::release(std::uint8_t *data) {
    auto *header = reinterpret_cast<Header *>(data) - 1;
    header->pool->give_back(header);
}

void BytePool::free_list(Header *list) {
    while (list != nullptr) {
        ::operator delete(std::exchange(list, list->next));
    }
}

// A buffer given back while close() empties the pool stays on the stack until the pool goes.
void BytePool::give_back(Header *header) {
    if (closed_.load(std::memory_order_acquire)) {
        ::operator delete(header);
    } else {
        Header *head = returned_.load(std::memory_order_relaxed);
        do {
            header->next = head;
        } while (!returned_.compare_exchange_weak(head, header, std::memory_order_release,
                                                  std::memory_order_relaxed));
    }
    drop_references(1);
}

void BytePool::drop_references(std::uint64_t count) {
    if (references_.fetch_sub(count, std::memory_order_acq_rel) == count) {
        delete this;
    }
}

} // namespace vorn::stream
