#include "event_queue.hpp"

#include "delivery_registry.hpp"

#include <readerwriterqueue/readerwriterqueue.h>

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace vorn::stream {
namespace {

// A run of events dropped for overflow, counted in one queue element instead of one message each,
// so memory stays bounded however long an overflow lasts. The producer counts into the run while
// nothing has been queued behind it; the delivery thread closes the run when it takes it and then
// hands on one "Queue Overflow, dropping event" per counted drop, in the dropped events' place.
struct DropRun {
    static constexpr std::uint64_t closed = std::uint64_t{1} << 63;
    std::atomic<std::uint64_t> count{1};

    // Producer: counts one more drop unless the delivery thread has closed the run.
    bool try_add() {
        std::uint64_t seen = count.load();
        while ((seen & closed) == 0) {
            if (count.compare_exchange_weak(seen, seen + 1)) {
                return true;
            }
        }
        return false;
    }
    // Delivery thread: no more drops join this run; returns how many it holds.
    std::uint64_t close() { return count.fetch_or(closed) & ~closed; }
};

// A queued event, or (when `drops` is set) a run of drops.
struct QueuedEvent {
    StreamEvent event;
    std::shared_ptr<DropRun> drops;
};

using Queue = moodycamel::BlockingReaderWriterQueue<QueuedEvent>;

// How long an idle delivery thread sleeps between looks at its stop request. The queue's own wait
// spins briefly before it blocks, so events are picked up promptly; this only bounds how late a
// stop that comes without a wake-up event (process exit) is noticed.
constexpr std::int64_t idle_wait_usecs = 20'000;

void release_copied_bytes(std::uint8_t *data) { delete[] data; }

// The state the delivery thread shares with its owner: the thread may outlive the owner when the
// stream is torn down from inside its own callback.
struct DeliveryState : LiveDelivery {
    Queue queue{static_cast<std::size_t>(init_elements)};
};

struct EventQueue {
    std::shared_ptr<DeliveryState> shared;
    std::jthread worker;
    std::int32_t max_elements = init_elements;
    const DeliveryThreadHooks *hooks = nullptr;
    std::shared_ptr<DropRun> open_run; // producer only: the run at the queue's tail, if any
};

StreamEvent take_for_queue(StreamEvent &event) {
    switch (event.index()) {
    case 0:
        return StreamEvent{};
    case 1:
        return StreamEvent{std::in_place_index<1>, std::move(std::get<1>(event))};
    case 2:
        return StreamEvent{std::in_place_index<2>, std::move(std::get<2>(event))};
    case 3: {
        const ChunkView view = std::get<3>(event);
        auto *copy = new std::uint8_t[view.size];
        if (view.size != 0) {
            std::memcpy(copy, view.data, view.size);
        }
        return StreamEvent{std::in_place_index<2>, release_copied_bytes, copy, view.size};
    }
    default:
        throw std::bad_variant_access();
    }
}

void count_drop(EventQueue &owner) {
    if (owner.open_run && owner.open_run->try_add()) {
        return;
    }
    auto run = std::make_shared<DropRun>();
    // Not held to the limit, like any loss message; when even this fails the drop goes unreported.
    owner.open_run = owner.shared->queue.enqueue(QueuedEvent{StreamEvent{}, run}) ? run : nullptr;
}

void push(void *state, StreamEvent *event) {
    auto &owner = *static_cast<EventQueue *>(state);
    auto &queue = owner.shared->queue;
    if (queue.size_approx() >= static_cast<std::size_t>(owner.max_elements)) {
        count_drop(owner); // the caller keeps and releases its event
        return;
    }
    StreamEvent element = take_for_queue(*event);
    if (!queue.enqueue(QueuedEvent{std::move(element), nullptr})) {
        // The element (and any bytes it owns) is released here, on the device's thread.
        element = StreamEvent{};
        queue.enqueue(
            QueuedEvent{StreamEvent{std::in_place_index<1>, allocation_failure_message}, nullptr});
    }
    owner.open_run.reset(); // later drops come after this event
}

// Hands on one overflow message per drop of the run; returns false when a stop cut it short.
bool deliver_drops(DropRun &run, const std::stop_token &stop, StreamCallback &consumer) {
    for (std::uint64_t drops = run.close(); drops != 0; --drops) {
        if (stop.stop_requested()) {
            return false;
        }
        StreamEvent message{std::in_place_index<1>, overflow_message};
        consumer(message);
    }
    return true;
}

void deliver(std::stop_token stop, std::shared_ptr<DeliveryState> shared, StreamCallback consumer,
             const DeliveryThreadHooks *hooks) {
    if (hooks != nullptr && hooks->thread_started != nullptr) {
        hooks->thread_started();
    }
    while (!stop.stop_requested()) {
        QueuedEvent queued;
        if (!shared->queue.wait_dequeue_timed(queued, idle_wait_usecs)) {
            continue;
        }
        if (stop.stop_requested()) {
            break; // a stopped stream discards what is still queued
        }
        if (queued.drops) {
            if (!deliver_drops(*queued.drops, stop, consumer)) {
                break;
            }
            continue;
        }
        const bool end_of_stream = queued.event.index() == 0;
        consumer(queued.event);
        if (end_of_stream) {
            break;
        }
    }
    if (stop.stop_requested()) {
        // Discard what a stopped stream had queued while the consumer, and with it what keeps
        // the device's release functions loaded, still exists. Only what is there now: a device
        // may still be producing (a stop at interpreter exit), and teardown frees the rest.
        QueuedEvent discarded;
        for (auto queued = shared->queue.size_approx(); queued != 0; --queued) {
            if (!shared->queue.try_dequeue(discarded)) {
                break;
            }
        }
    }
    consumer.reset();
    if (hooks != nullptr && hooks->thread_finishing != nullptr) {
        hooks->thread_finishing();
    }
    shared->mark_finished();
}

void join_worker(void *context) { static_cast<std::jthread *>(context)->join(); }

void teardown(EventQueue *owner) {
    owner->worker.request_stop();
    // The device invokes no more once it destroys the callback, so this thread may act as the
    // producer and wake a delivery thread that is waiting on an empty queue.
    try {
        owner->shared->queue.enqueue(QueuedEvent{});
    } catch (const std::bad_alloc &) {
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

void destroy(void *state) {
    if (state == nullptr) {
        return;
    }
    auto *owner = static_cast<EventQueue *>(state);
    teardown(owner);
    delete owner;
}

constexpr StreamCallbackOps queued_callback_ops{push, destroy};

} // namespace

StreamCallback make_queued_callback(StreamCallback &&consumer, std::int32_t max_elements,
                                    const DeliveryThreadHooks *hooks) {
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

std::size_t stop_all_deliveries(std::optional<std::chrono::milliseconds> timeout) {
    return stop_registered_deliveries(timeout);
}

} // namespace vorn::stream
