// SimMemory: the simulated device's block space.
#include "sim_memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

namespace {

using vorn::sim::SimMemory;

std::vector<std::uint8_t> counting(std::size_t length, std::uint8_t first) {
    std::vector<std::uint8_t> bytes(length);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(SimMemory, AnyRangeReadsBackTheLastWriteAndZerosElsewhere) {
    SimMemory memory(1 << 20);
    const auto first = counting(200'000, 1); // spans four pages
    const auto second = counting(1000, 100);
    ASSERT_TRUE(memory.write(65'000, first.size(), first.data()));
    ASSERT_TRUE(memory.write(131'000, second.size(), second.data())); // across a page boundary
    std::vector<std::uint8_t> expected(300'000, 0);
    std::copy(first.begin(), first.end(), expected.begin() + 65'000);
    std::copy(second.begin(), second.end(), expected.begin() + 131'000);

    std::vector<std::uint8_t> back(expected.size(), 0xEE);
    ASSERT_TRUE(memory.read(0, back.size(), back.data()));
    EXPECT_EQ(back, expected);
    std::vector<std::uint8_t> inside(333, 0xEE); // a range that starts and ends mid-write
    ASSERT_TRUE(memory.read(131'500, inside.size(), inside.data()));
    EXPECT_TRUE(std::equal(inside.begin(), inside.end(), expected.begin() + 131'500));
}

TEST(SimMemory, RangesPastTheEndAreRefusedWithoutTouchingAnything) {
    SimMemory memory(4096);
    const auto bytes = counting(16, 1);
    EXPECT_TRUE(memory.write(4080, 16, bytes.data())); // the last 16 bytes
    EXPECT_FALSE(memory.write(4081, 16, bytes.data()));
    EXPECT_FALSE(memory.write(UINT64_MAX, 2, bytes.data())); // addr + length wraps
    EXPECT_TRUE(memory.write(4096, 0, bytes.data()));
    std::vector<std::uint8_t> back(16, 0xEE);
    EXPECT_FALSE(memory.read(4088, 16, back.data()));
    EXPECT_EQ(back, std::vector<std::uint8_t>(16, 0xEE));
    ASSERT_TRUE(memory.read(4080, 16, back.data()));
    EXPECT_EQ(back, bytes);
}

TEST(SimMemory, TheWholeAddressSpaceCostsOnlyWhatIsUsed) {
    SimMemory memory(std::uint64_t{1} << 32);
    const auto bytes = counting(8, 1);
    ASSERT_TRUE(memory.write(0xFFFF'FFF8u, 8, bytes.data()));
    std::vector<std::uint8_t> back(8);
    ASSERT_TRUE(memory.read(0xFFFF'FFF8u, 8, back.data()));
    EXPECT_EQ(back, bytes);
}

} // namespace
