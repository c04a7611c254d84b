// The simulated device's block space: `size` bytes that read back what was last written to them,
// and zeros where nothing was. Pages are allocated on first write, so a large space costs only
// what is used.
//
// Not thread-safe: the device serialises calls.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace vorn::sim {

class SimMemory {
  public:
    explicit SimMemory(std::uint64_t size) : size_(size) {}

    // Copies `length` bytes into the space at `addr`. A range that does not lie entirely within
    // the space is refused: nothing is written and the result is false. Throws std::bad_alloc
    // (after writing nothing) when a page cannot be allocated.
    bool write(std::uint64_t addr, std::uint64_t length, const std::uint8_t *data);

    // Copies `length` bytes from the space at `addr`; refuses a range beyond it like write().
    bool read(std::uint64_t addr, std::uint64_t length, std::uint8_t *data) const;

    std::uint64_t size() const { return size_; }

  private:
    static constexpr std::uint64_t page_size = 64 * 1024;
    using Page = std::unique_ptr<std::uint8_t[]>;

    bool contains(std::uint64_t addr, std::uint64_t length) const {
        return addr <= size_ && length <= size_ - addr;
    }

    std::uint64_t size_;
    std::unordered_map<std::uint64_t, Page> pages_; // by page number
};

} // namespace vorn::sim
