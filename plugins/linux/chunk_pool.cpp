#include "chunk_pool.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace vorn::linux_dev {
namespace {

// Each buffer starts with a header naming its pool; the data follows, 64-byte aligned.
constexpr std::size_t header_size = 64;
constexpr std::align_val_t alignment{64};
constexpr std::size_t kept_bytes = 32u << 20;

ChunkPool *&pool_of(std::uint8_t *data) {
    return *reinterpret_cast<ChunkPool **>(data - header_size);
}

void free_buffer(std::uint8_t *data) { ::operator delete(data - header_size, alignment); }

} // namespace

ChunkPool::ChunkPool(std::size_t chunk_size)
    : chunk_size_(chunk_size), keep_(std::max<std::size_t>(4, kept_bytes / chunk_size)) {}

ChunkPool::~ChunkPool() {
    for (auto *data : free_) {
        free_buffer(data);
    }
}

ChunkPool *ChunkPool::create(std::size_t chunk_size) {
    if (chunk_size == 0 || chunk_size > std::numeric_limits<std::size_t>::max() - header_size) {
        throw std::bad_alloc(); // header plus data would wrap around
    }
    return new ChunkPool(chunk_size);
}

std::uint8_t *ChunkPool::take() {
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            auto *data = free_.back();
            free_.pop_back();
            ++out_;
            refs_.fetch_add(1, std::memory_order_relaxed);
            return data;
        }
    }
    auto *block = static_cast<std::uint8_t *>(::operator new(header_size + chunk_size_, alignment));
    auto *data = block + header_size;
    pool_of(data) = this;
    std::lock_guard lock(mutex_);
    ++out_;
    refs_.fetch_add(1, std::memory_order_relaxed);
    return data;
}

void ChunkPool::release(std::uint8_t *data) {
    ChunkPool *pool = pool_of(data);
    {
        std::lock_guard lock(pool->mutex_);
        --pool->out_;
        ++pool->releases_;
        pool->returned_.notify_one();
        if (!pool->closed_ && pool->free_.size() < pool->keep_) {
            pool->free_.push_back(data);
            data = nullptr;
        }
    }
    if (data != nullptr) {
        free_buffer(data);
    }
    pool->unref();
}

void ChunkPool::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (auto *data : free_) {
            free_buffer(data);
        }
        free_.clear();
    }
    unref();
}

ChunkPool::Room ChunkPool::wait_below(std::size_t limit, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const std::uint64_t releases = releases_;
    returned_.wait_for(lock, timeout, [&] { return out_ < limit || interrupted_; });
    return {out_ < limit, releases_ != releases};
}

void ChunkPool::interrupt() {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    returned_.notify_all();
}

void ChunkPool::unref() {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

} // namespace vorn::linux_dev
