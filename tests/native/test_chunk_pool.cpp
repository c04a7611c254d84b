// ChunkPool: the SDK's recycled owned chunks. Leaks (a pool never freed, a buffer lost) are
// caught by the sanitizer runs of this test.
#include <vorn/chunk_pool.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>
#include <stop_token>
#include <thread>
#include <vector>

namespace {

using vorn::ChunkPool;

TEST(ChunkPool, GrowsOnlyWhileChunksAreHeld) {
    auto pool = ChunkPool::create(100);
    std::vector<std::uint8_t *> held;
    for (int i = 0; i < 8; ++i) {
        held.push_back(pool->take());
        held.back()[99] = 7; // the whole capacity is usable
    }
    EXPECT_EQ(pool->allocated(), 8u);
    EXPECT_EQ(std::set<std::uint8_t *>(held.begin(), held.end()).size(), 8u);
    for (auto *data : held) {
        ChunkPool::release(data);
    }
    // The same buffers come back, and nothing new is allocated while they suffice.
    const std::set<std::uint8_t *> first(held.begin(), held.end());
    held.clear();
    for (int round = 0; round < 100; ++round) {
        auto *data = pool->take();
        EXPECT_TRUE(first.count(data));
        ChunkPool::release(data);
    }
    for (int i = 0; i < 9; ++i) {
        held.push_back(pool->take());
    }
    EXPECT_EQ(pool->allocated(), 9u);
    for (auto *data : held) {
        ChunkPool::release(data);
    }
}

TEST(ChunkPool, ReturnedBuffersBeyondTheSparesAreFreed) {
    auto pool = ChunkPool::create(64, 0, 2);
    std::vector<std::uint8_t *> held;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5; ++i) {
            held.push_back(pool->take());
        }
        for (auto *data : held) {
            ChunkPool::release(data);
        }
        held.clear();
    }
    EXPECT_EQ(pool->allocated(), 5u + 3u); // two spares reused, three made anew
}

TEST(ChunkPool, BuffersAreAlignedAndStartZeroed) {
    auto pool = ChunkPool::create(4096);
    auto *data = pool->take();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % 64, 0u);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(data[i], 0) << i;
    }
    ChunkPool::release(data);
}

TEST(ChunkPool, ChunksOutliveTheClosedPool) {
    auto pool = ChunkPool::create(16);
    auto *a = pool->take();
    auto *b = pool->take();
    a[0] = 1; // still valid: the pool lives until its last chunk is back
    ChunkPool::release(a);
    b[15] = 2;
    ChunkPool::release(b); // frees the pool
}

TEST(ChunkPool, ReleasesFromAnotherThreadAreReused) {
    auto pool = ChunkPool::create(64);
    constexpr int in_flight = 32;
    std::vector<std::atomic<std::uint8_t *>> slots(in_flight);
    std::atomic<bool> done{false};
    // A consumer thread releases whatever the producer has handed over, like a delivery thread.
    std::thread consumer([&] {
        while (!done.load()) {
            for (auto &slot : slots) {
                if (auto *data = slot.exchange(nullptr)) {
                    ChunkPool::release(data);
                }
            }
        }
    });
    for (int i = 0; i < 200'000; ++i) {
        auto &slot = slots[static_cast<std::size_t>(i % in_flight)];
        while (slot.load() != nullptr) {
            std::this_thread::yield();
        }
        auto *data = pool->take();
        data[0] = static_cast<std::uint8_t>(i);
        slot.store(data);
    }
    done = true;
    consumer.join();
    for (auto &slot : slots) {
        if (auto *data = slot.exchange(nullptr)) {
            ChunkPool::release(data);
        }
    }
    // Never more buffers than were held at once (handed over, plus one being released).
    EXPECT_LE(pool->allocated(), static_cast<std::uint64_t>(in_flight + 1));
}

TEST(ChunkPool, WaitForRoomEndsOnReleaseOnStopAndForAConsumerThatKeepsItsBuffers) {
    auto pool = ChunkPool::create(8, 2);
    auto *a = pool->take();
    auto *b = pool->take();
    std::stop_source never;
    std::thread releaser([&] { ChunkPool::release(a); });
    EXPECT_TRUE(pool->wait_for_room(never.get_token()));
    releaser.join();
    auto *c = pool->take(); // two out again
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(pool->wait_for_room(stop.get_token()));
    // Nothing comes back: the room doubles after a wait instead of stalling the producer.
    EXPECT_TRUE(pool->wait_for_room(never.get_token()));
    ChunkPool::release(b);
    ChunkPool::release(c);
}

} // namespace
