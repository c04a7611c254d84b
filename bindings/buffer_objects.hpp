// The two payload types that stream data reaches Python as.
#pragma once

#include "stream/recycled_blocks.hpp"

#include <cstdint>
#include <memory>
#include <utility>

namespace pyvorn {

// Bytes whose ownership passes to Python, freed by the function of whoever allocated them.
// Move-only; release(data) runs once, when the last owner goes.
struct ManagedBuffer {
    void (*release)(std::uint8_t *) = nullptr;
    std::uint8_t *data = nullptr;
    std::uint64_t size = 0;

    // Keeps the code of `release` (a plug-in's) loaded until the bytes are released.
    std::shared_ptr<void> keep_alive;

    ManagedBuffer(void (*release_fn)(std::uint8_t *), std::uint8_t *bytes, std::uint64_t length,
                  std::shared_ptr<void> code_keep_alive = nullptr)
        : release(release_fn), data(bytes), size(length), keep_alive(std::move(code_keep_alive)) {}
    ManagedBuffer(const ManagedBuffer &) = delete;
    ManagedBuffer &operator=(const ManagedBuffer &) = delete;
    ManagedBuffer(ManagedBuffer &&other) noexcept
        : release(other.release), data(std::exchange(other.data, nullptr)), size(other.size),
          keep_alive(std::move(other.keep_alive)) {}
    ManagedBuffer &operator=(ManagedBuffer &&) = delete;
    ~ManagedBuffer() {
        if (data != nullptr) {
            release(data);
        }
    }

    // One is made per stream event: recycled rather than taken from the heap each time.
    static void *operator new(std::size_t) {
        return vorn::stream::BlockRecycler<sizeof(ManagedBuffer)>::take();
    }
    static void operator delete(void *object) noexcept {
        vorn::stream::BlockRecycler<sizeof(ManagedBuffer)>::give(object);
    }
};

// A view of stream bytes. `owner` keeps the memory behind the view alive for as long as the
// view (or a buffer exported from it) exists, so a view kept after its callback never reads
// freed or reused memory.
struct DataView {
    std::uint8_t *data = nullptr;
    std::uint64_t size = 0;
    // Declared first so it goes last: keeps a plug-in's release function loaded for `owner`.
    std::shared_ptr<void> keep_alive;
    std::shared_ptr<const void> owner;

    // One is made per stream event: recycled rather than taken from the heap each time.
    static void *operator new(std::size_t) {
        return vorn::stream::BlockRecycler<sizeof(DataView)>::take();
    }
    static void operator delete(void *object) noexcept {
        vorn::stream::BlockRecycler<sizeof(DataView)>::give(object);
    }
};

} // namespace pyvorn
