// Access to device memory mapped into the process (a UIO map, a PCI BAR, /dev/mem).
//
// Device memory is not ordinary memory: a register may act on every access, and a bus may
// refuse accesses of some widths. The compiler and memcpy may split, merge, widen, repeat or
// reorder plain accesses, so every access here is volatile, registers are single aligned
// 32-bit accesses, and block copies use aligned 32-bit words with single bytes only at the
// ragged ends. Words are little-endian in the device, whatever the host's order.
//
// Pointers must lie inside a mapping the caller holds; nothing here checks bounds. Any thread:
// the functions keep no state, and concurrent accesses to one register are the caller's to
// order.
//
//   auto *base = static_cast<volatile std::uint8_t *>(mmap(...));
//   vorn::mmio::store_le32(base + 0x10, 1);              // one 32-bit write
//   std::uint32_t status = vorn::mmio::load_le32(base + 0x14);
//   vorn::mmio::copy_out(buffer, base + 0x1000, length); // a block, word by word
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vorn::mmio {

inline std::uint32_t little_endian(std::uint32_t value) {
    if constexpr (std::endian::native == std::endian::big) {
        return __builtin_bswap32(value);
    }
    return value;
}

// One 32-bit access; `at` must be 4-aligned.
inline std::uint32_t load_le32(const volatile std::uint8_t *at) {
    return little_endian(*reinterpret_cast<const volatile std::uint32_t *>(at));
}
inline void store_le32(volatile std::uint8_t *at, std::uint32_t value) {
    *reinterpret_cast<volatile std::uint32_t *>(at) = little_endian(value);
}

// Host memory to device memory, `length` bytes, in address order.
inline void copy_in(volatile std::uint8_t *out, const std::uint8_t *data, std::uint64_t length) {
    std::uint64_t i = 0;
    for (; i < length && reinterpret_cast<std::uintptr_t>(out + i) % 4 != 0; ++i) {
        out[i] = data[i];
    }
    for (; length - i >= 4; i += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, data + i, 4); // host memory: any alignment
        *reinterpret_cast<volatile std::uint32_t *>(out + i) = word;
    }
    for (; i < length; ++i) {
        out[i] = data[i];
    }
}

// Device memory to host memory, `length` bytes, in address order.
inline void copy_out(std::uint8_t *data, const volatile std::uint8_t *in, std::uint64_t length) {
    std::uint64_t i = 0;
    for (; i < length && reinterpret_cast<std::uintptr_t>(in + i) % 4 != 0; ++i) {
        data[i] = in[i];
    }
    for (; length - i >= 4; i += 4) {
        const std::uint32_t word = *reinterpret_cast<const volatile std::uint32_t *>(in + i);
        std::memcpy(data + i, &word, 4);
    }
    for (; i < length; ++i) {
        data[i] = in[i];
    }
}

} // namespace vorn::mmio
