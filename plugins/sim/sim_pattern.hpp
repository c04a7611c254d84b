// The byte pattern of the simulated device's streams: byte i of a stream is i % 251. The prime
// period makes a lost, repeated or reordered chunk visible at any chunk size.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace vorn::sim {

inline constexpr std::uint64_t pattern_period = 251;

// Writes the pattern for stream offsets [offset, offset + size) to `out`.
inline void fill_pattern(std::uint8_t *out, std::uint64_t offset, std::uint64_t size) {
    static const auto table = [] {
        std::array<std::uint8_t, 4096 + pattern_period> bytes{};
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(i % pattern_period);
        }
        return bytes;
    }();
    while (size != 0) {
        const std::uint64_t run = size < 4096 ? size : 4096;
        std::memcpy(out, table.data() + offset % pattern_period, run);
        out += run;
        offset += run;
        size -= run;
    }
}

} // namespace vorn::sim
