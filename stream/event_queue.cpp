#include "event_queue.hpp"

#include "delivery_registry.hpp"

#include <readerwriterqueue/readerwriterqueue.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace vorn::stream {
namespace {

using Queue = moodycamel::BlockingReaderWriterQueue<StreamEvent>;

// How long an idle delivery thread sleeps between looks at its stop request. The queue's own wait
// spins briefly before it blocks, so events are picked up promptly; this only bounds how late a
// stop that comes without a wake-up event (process exit) is noticed.
constexpr std::int64_t idle_wait_usecs = 20'000;

void release_copied_bytes(std::uint8_t* data) { delete[] data; }

// The state the delivery thread shares with its owner: the thread may outlive the owner when the
// stream is torn down from inside its own callback.
struct DeliveryState : LiveDelivery {
    Queue queue{static_cast<std::size_t>(init_elements)};
};

struct EventQueue {
    std::shared_ptr<DeliveryState> shared;
    std::jthread worker;
    std::int32_t max_elements = init_elements;
    const DeliveryThreadHooks* hooks = nullptr;
};

StreamEvent take_for_queue(StreamEvent& event) {
    switch (event.index()) {
    case 0:
        return StreamEvent{};
    case 1:
        return StreamEvent{std::in_place_index<1>, std::move(std::get<1>(event))};
    case 2:
        return StreamEvent{std::in_place_index<2>, std::move(std::get<2>(event))};
    case 3: {
        const ChunkView view = std::get<3>(event);
        auto* copy = new std::uint8_t[view.size];
        if (view.size != 0) {
            std::memcpy(copy, view.data, view.size);
        }
        return StreamEvent{std::in_place_index<2>, release_copied_bytes, copy, view.size};
    }
    default:
        throw std::bad_variant_access();
    }
}

void push(void* state, StreamEvent* event) {
    auto& queue = static_cast<EventQueue*>(state)->shared->queue;
    const auto limit = static_cast<std::size_t>(static_cast<EventQueue*>(state)->max_elements);
    if (queue.size_approx() >= limit) {
        queue.enqueue(StreamEvent{std::in_place_index<1>, overflow_message});
        return;
    }
    StreamEvent element = take_for_queue(*event);
    if (!queue.enqueue(std::move(element))) {
        // The element (and any bytes it owns) is released here, on the device's thread.
        element = StreamEvent{};
        queue.enqueue(StreamEvent{std::in_place_index<1>, allocation_failure_message});
    }
}

void deliver(std::stop_token stop, std::shared_ptr<DeliveryState> shared, StreamCallback consumer,
             const DeliveryThreadHooks* hooks) {
    if (hooks != nullptr && hooks->thread_started != nullptr) {
        hooks->thread_started();
    }
    while (!stop.stop_requested()) {
        StreamEvent event;
        if (!shared->queue.wait_dequeue_timed(event, idle_wait_usecs)) {
            continue;
        }
        if (stop.stop_requested()) {
            break; // a stopped stream discards what is still queued
        }
        const bool end_of_stream = event.index() == 0;
        consumer(event);
        if (end_of_stream) {
            break;
        }
    }
    if (stop.stop_requested()) {
        // Discard what a stopped stream still had queued while the consumer, and with it what
        // keeps the device's release functions loaded, still exists.
        StreamEvent discarded;
        while (shared->queue.try_dequeue(discarded)) {
        }
    }
    consumer.reset();
    if (hooks != nullptr && hooks->thread_finishing != nullptr) {
        hooks->thread_finishing();
    }
    shared->mark_finished();
}

void join_worker(void* context) { static_cast<std::jthread*>(context)->join(); }

void teardown(EventQueue* owner) {
    owner->worker.request_stop();
    // The device invokes no more once it destroys the callback, so this thread may act as the
    // producer and wake a delivery thread that is waiting on an empty queue.
    try {
        owner->shared->queue.enqueue(StreamEvent{});
    } catch (const std::bad_alloc&) {
        // the thread still sees the stop request at its next timed wake-up
    }
    if (owner->worker.get_id() == std::this_thread::get_id()) {
        // Torn down from inside its own callback: the thread cannot wait for itself. It ends
        // after the current callback returns and keeps the shared state alive until then.
        owner->worker.detach();
    } else if (owner->worker.joinable()) {
        if (owner->shared->finished() || owner->hooks == nullptr ||
            owner->hooks->run_blocking == nullptr) {
            owner->worker.join();
        } else {
            owner->hooks->run_blocking(join_worker, &owner->worker);
        }
    }
    unregister_delivery(owner->shared.get());
}

void destroy(void* state) {
    if (state == nullptr) {
        return;
    }
    auto* owner = static_cast<EventQueue*>(state);
    teardown(owner);
    delete owner;
}

constexpr StreamCallbackOps queued_callback_ops{push, destroy};

} // namespace

StreamCallback make_queued_callback(StreamCallback&& consumer, std::int32_t max_elements,
                                    const DeliveryThreadHooks* hooks) {
    if (max_elements < init_elements) {
        throw std::runtime_error("max_elements must be greater than init_elements");
    }
    auto owner = std::make_unique<EventQueue>();
    owner->shared = std::make_shared<DeliveryState>();
    owner->max_elements = max_elements;
    owner->hooks = hooks;
    owner->worker = std::jthread(deliver, owner->shared, std::move(consumer), hooks);
    owner->shared->stop = owner->worker.get_stop_source();
    register_delivery(owner->shared);
    return StreamCallback{&queued_callback_ops, owner.release()};
}

std::size_t stop_all_deliveries(std::chrono::milliseconds timeout) {
    return stop_registered_deliveries(timeout);
}

} // namespace vorn::stream
