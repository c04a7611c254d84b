// vorn/mmio.hpp on ordinary memory: block copies move exactly the bytes asked for, whatever the
// alignment of either side, and words are little-endian in the device.
#include <vorn/mmio.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

TEST(Mmio, BlockCopiesMoveExactlyTheirBytesAtAnyAlignment) {
    alignas(8) std::array<std::uint8_t, 64> source{};
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<std::uint8_t>(i + 1);
    }
    for (std::size_t device_at = 0; device_at < 8; ++device_at) {
        for (std::size_t host_at = 0; host_at < 4; ++host_at) {
            for (std::size_t length = 0; length <= 21; ++length) {
                alignas(8) std::array<std::uint8_t, 64> device{};
                std::array<std::uint8_t, 64> back{};
                vorn::mmio::copy_in(device.data() + device_at, source.data() + host_at, length);
                vorn::mmio::copy_out(back.data(), device.data() + device_at, length);
                for (std::size_t i = 0; i < device.size(); ++i) {
                    const bool inside = i >= device_at && i < device_at + length;
                    ASSERT_EQ(device[i], inside ? source[host_at + i - device_at] : 0)
                        << "device byte " << i << ", offset " << device_at << ", length " << length;
                }
                for (std::size_t i = 0; i < back.size(); ++i) {
                    ASSERT_EQ(back[i], i < length ? source[host_at + i] : 0);
                }
            }
        }
    }
}

TEST(Mmio, WordsAreLittleEndianInTheDevice) {
    alignas(4) std::array<std::uint8_t, 8> device{};
    vorn::mmio::store_le32(device.data() + 4, 0x11223344u);
    EXPECT_EQ(device[4], 0x44);
    EXPECT_EQ(device[7], 0x11);
    EXPECT_EQ(vorn::mmio::load_le32(device.data() + 4), 0x11223344u);
}

} // namespace
