// Heap allocations per stream event in the steady state: none, on either thread, for the chains
// the module builds (lent chunks regrouped into views, owned chunks handed on as buffers). The
// consumers here make and drop the payload objects as the Python binding does.
#include "bindings/buffer_objects.hpp"
#include "chunk_aligner.hpp"
#include "event_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

} // namespace

// Every allocation of the process goes through here while the test runs.
void *operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void *memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }

namespace {

using vorn::ChunkView;
using vorn::OwnedChunk;
using vorn::StreamCallback;
using vorn::StreamCallbackOps;
using vorn::StreamEvent;

constexpr long warm_up_events = 20'000;
constexpr long measured_events = 100'000;
constexpr std::uint64_t chunk_size = 4096;

struct Consumer {
    std::shared_ptr<vorn::stream::PieceOwnerSlot> slot;
    std::atomic<long> events{0};
    std::atomic<bool> paused{false};
};

// As the binding does: one payload object per event, made and dropped.
void consume(void *state, StreamEvent *event) {
    auto &consumer = *static_cast<Consumer *>(state);
    while (consumer.paused.load()) {
        std::this_thread::yield();
    }
    if (auto *piece = std::get_if<3>(event)) {
        delete new pyvorn::DataView{piece->data, piece->size, nullptr, consumer.slot->current};
    } else if (auto *chunk = std::get_if<2>(event)) {
        delete new pyvorn::ManagedBuffer{chunk->release, std::exchange(chunk->data, nullptr),
                                         chunk->size};
    }
    consumer.events.fetch_add(1, std::memory_order_release);
}

void forget(void *) {}

constexpr StreamCallbackOps consumer_ops{consume, forget};

// Owned chunks from a fixed ring, as a device's DMA ring would give them.
std::vector<std::uint8_t> ring(64 * chunk_size);
std::atomic<long> ring_released{0};
void release_to_ring(std::uint8_t *) { ring_released.fetch_add(1, std::memory_order_relaxed); }

// Pushes events, never more than `most_ahead` ahead of the consumer (no drops), and returns the
// allocations counted from the warm-up's end to the last event's delivery. The warm-up starts
// with a burst deeper than the run ever gets, so the queue and the pools have grown as far as
// they will.
long allocations_over_a_run(StreamCallback &chain, Consumer &consumer, bool lent) {
    std::vector<std::uint8_t> device_buffer(chunk_size, 0x5A);
    constexpr long most_ahead = 256;
    long pushed = 0;
    const auto push_until = [&](long total) {
        for (; pushed < total; ++pushed) {
            while (pushed - consumer.events.load(std::memory_order_acquire) >= most_ahead &&
                   !consumer.paused) {
                std::this_thread::yield();
            }
            if (lent) {
                StreamEvent event{std::in_place_index<3>,
                                  ChunkView{device_buffer.data(), chunk_size}};
                chain(event);
            } else {
                auto *slot = ring.data() + static_cast<std::size_t>(pushed % 64) * chunk_size;
                StreamEvent event{std::in_place_index<2>, release_to_ring, slot, chunk_size};
                chain(event);
            }
        }
        while (!consumer.paused && consumer.events.load(std::memory_order_acquire) < total) {
            std::this_thread::yield();
        }
    };
    consumer.paused = true;
    push_until(2 * most_ahead);
    consumer.paused = false;
    push_until(2 * most_ahead);
    push_until(warm_up_events);
    allocations = 0;
    counting = true;
    push_until(warm_up_events + measured_events);
    counting = false;
    return allocations.load();
}

TEST(Allocations, NonePerEventForLentChunksRegroupedIntoViews) {
    Consumer consumer{std::make_shared<vorn::stream::PieceOwnerSlot>()};
    auto lost = std::make_shared<vorn::stream::LostBytes>();
    vorn::stream::QueueOptions options;
    options.lost_bytes = lost;
    StreamCallback chain = vorn::stream::make_queued_callback(
        vorn::stream::make_aligned_callback(StreamCallback{&consumer_ops, &consumer}, chunk_size,
                                            consumer.slot, lost),
        4096, options);
    EXPECT_EQ(allocations_over_a_run(chain, consumer, true), 0);
    chain.reset();
}

TEST(Allocations, NonePerEventForOwnedChunksHandedOnAsBuffers) {
    Consumer consumer{std::make_shared<vorn::stream::PieceOwnerSlot>()};
    StreamCallback chain =
        vorn::stream::make_queued_callback(StreamCallback{&consumer_ops, &consumer}, 4096);
    EXPECT_EQ(allocations_over_a_run(chain, consumer, false), 0);
    chain.reset();
    EXPECT_EQ(ring_released.load(), warm_up_events + measured_events);
}

} // namespace
