#include "sim_memory.hpp"

#include <algorithm>
#include <cstring>

namespace vorn::sim {

bool SimMemory::write(std::uint64_t addr, std::uint64_t length, const std::uint8_t *data) {
    if (!contains(addr, length)) {
        return false;
    }
    if (length == 0) {
        return true;
    }
    // Every page first, so a failed allocation leaves the contents as they were.
    const std::uint64_t last = (addr + length - 1) / page_size;
    for (std::uint64_t page = addr / page_size; page <= last; ++page) {
        if (auto &bytes = pages_[page]; bytes == nullptr) {
            bytes = std::make_unique<std::uint8_t[]>(page_size); // zeroed
        }
    }
    for (std::uint64_t done = 0; done < length;) {
        const std::uint64_t at = addr + done;
        const std::uint64_t offset = at % page_size;
        const std::uint64_t count = std::min(length - done, page_size - offset);
        std::memcpy(pages_.at(at / page_size).get() + offset, data + done, count);
        done += count;
    }
    return true;
}

bool SimMemory::read(std::uint64_t addr, std::uint64_t length, std::uint8_t *data) const {
    if (!contains(addr, length)) {
        return false;
    }
    for (std::uint64_t done = 0; done < length;) {
        const std::uint64_t at = addr + done;
        const std::uint64_t offset = at % page_size;
        const std::uint64_t count = std::min(length - done, page_size - offset);
        if (auto page = pages_.find(at / page_size); page != pages_.end()) {
            std::memcpy(data + done, page->second.get() + offset, count);
        } else {
            std::memset(data + done, 0, count);
        }
        done += count;
    }
    return true;
}

} // namespace vorn::sim
