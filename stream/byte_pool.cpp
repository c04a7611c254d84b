#include "byte_pool.hpp"

#include <new>
#include <utility>

namespace vorn::stream {

BytePool *BytePool::create() { return new BytePool(); }

OwnedChunk BytePool::take(std::uint64_t size) {
    Header *header = nullptr;
    Header *too_small = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (free_ != nullptr) {
            header = free_;
            free_ = header->next;
            if (header->capacity < size) {
                too_small = std::exchange(header, nullptr);
            }
        }
    }
    if (too_small != nullptr) {
        free_buffer(too_small);
    }
    if (header == nullptr) {
        header = static_cast<Header *>(::operator new(sizeof(Header) + size));
        header->pool = this;
        header->capacity = size;
    }
    references_.fetch_add(1, std::memory_order_relaxed);
    return OwnedChunk{release, reinterpret_cast<std::uint8_t *>(header + 1), size};
}

void BytePool::close() {
    Header *buffers = nullptr;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        buffers = std::exchange(free_, nullptr);
    }
    while (buffers != nullptr) {
        free_buffer(std::exchange(buffers, buffers->next));
    }
    drop_reference();
}

void BytePool::release(std::uint8_t *data) {
    auto *header = reinterpret_cast<Header *>(data) - 1;
    header->pool->give_back(header);
}

void BytePool::free_buffer(Header *header) { ::operator delete(header); }

void BytePool::give_back(Header *header) {
    bool keep = false;
    {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            header->next = free_;
            free_ = header;
            keep = true;
        }
    }
    if (!keep) {
        free_buffer(header);
    }
    drop_reference();
}

void BytePool::drop_reference() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

} // namespace vorn::stream
