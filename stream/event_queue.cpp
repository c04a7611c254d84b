#include "event_queue.hpp"

#include "byte_pool.hpp"

#include <readerwriterqueue/readerwriterqueue.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace vorn::stream {
namespace {

// A run of consecutive events lost the same way (a full queue, or a failed allocation), counted in
// one queue element, so memory stays bounded however long the loss lasts. The producer counts
// into the run while nothing has been queued behind it; the delivery thread closes the run when
// it takes it and hands on ONE message for the whole run, in the lost events' place: a callback
// slower than its device must not spend its time reading one message per lost event. The mutex
// is held for a few instructions on either side, and only while events are lost.
class DropRun {
  public:
    DropRun(std::uint64_t first_bytes, bool allocation_failure)
        : allocation_failure(allocation_failure), bytes_(first_bytes) {}

    const bool allocation_failure; // which message stands for the run

    // Producer: counts one more drop unless the delivery thread has closed the run.
    bool try_add(std::uint64_t bytes) {
        std::lock_guard lock(mutex_);
        if (closed_) {
            return false;
        }
        ++count_;
        bytes_ += bytes;
        return true;
    }
    // Delivery thread: no more drops join this run; returns how many it holds, and their bytes.
    std::pair<std::uint64_t, std::uint64_t> close() {
        std::lock_guard lock(mutex_);
        closed_ = true;
        return {count_, bytes_};
    }

  private:
    std::mutex mutex_;
    bool closed_ = false;
    std::uint64_t count_ = 1;
    std::uint64_t bytes_;
};

// A queued event; or, when `drops` is set, a run of lost events.
struct QueuedEvent {
    StreamEvent event;
    std::shared_ptr<DropRun> drops;
};

using Queue = moodycamel::BlockingReaderWriterQueue<QueuedEvent>;

// How long an idle delivery thread sleeps between looks at its stop request. The queue's own wait
// spins briefly before it blocks, so events are picked up promptly; this only bounds how late a
// stop that comes without a wake-up event (process exit) is noticed.
constexpr std::int64_t idle_wait_usecs = 20'000;

thread_local bool is_delivery_thread = false;

// The state the delivery thread shares with its owner: the thread may outlive the owner when the
// stream is torn down from a delivery thread.
struct DeliveryState {
    std::shared_ptr<void> keep_alive; // declared first: goes after the queue's chunks
    Queue queue{static_cast<std::size_t>(init_elements)};
    std::shared_ptr<LiveDelivery> live = std::make_shared<LiveDelivery>();
    std::shared_ptr<LostBytes> lost_bytes;
    std::shared_ptr<StreamStatistics> statistics;
    // Set when the end marker could not be queued: delivered once the queue is empty.
    std::atomic<bool> end_not_queued{false};
    // Set by teardown: the device pushes no more, so an ending thread empties the whole queue.
    std::atomic<bool> producer_gone{false};
    // Delivery thread only: the last thing handed on was the message for a failed allocation.
    bool reported_allocation_failure = false;
};

struct EventQueue {
    std::shared_ptr<DeliveryState> shared;
    std::thread worker;
    std::int32_t max_elements = init_elements;
    const DeliveryThreadHooks *hooks = nullptr;
    std::shared_ptr<DropRun> open_run; // producer only: the run at the queue's tail, if any
    BytePool *copies = BytePool::create(); // buffers for copies of lent chunks
    CreatorProcess creator;                // a child made by fork() has no delivery thread

    EventQueue() = default;
    EventQueue(const EventQueue &) = delete;
    EventQueue &operator=(const EventQueue &) = delete;
    ~EventQueue() { copies->close(); }
};

std::uint64_t bytes_of(const StreamEvent &event) {
    if (const auto *owned = std::get_if<2>(&event)) {
        return owned->size;
    }
    if (const auto *lent = std::get_if<3>(&event)) {
        return lent->size;
    }
    return 0;
}

StreamEvent take_for_queue(StreamEvent &event, BytePool &copies) {
    switch (event.index()) {
    case 1:
        return StreamEvent{std::in_place_index<1>, std::move(std::get<1>(event))};
    case 2:
        return StreamEvent{std::in_place_index<2>, std::move(std::get<2>(event))};
    case 3: {
        const ChunkView view = std::get<3>(event);
        OwnedChunk copy = copies.take(view.size);
        if (view.size != 0) {
            std::memcpy(copy.data, view.data, view.size);
        }
        return StreamEvent{std::in_place_index<2>, std::move(copy)};
    }
    default:
        throw std::bad_variant_access();
    }
}

// Several threads write these counters (the device's on a loss, the delivery thread on a failed
// allocation of its own), so they are added to atomically.
void count_loss(DeliveryState &shared, std::atomic<std::uint64_t> StreamStatistics::*counter) {
    if (shared.statistics) {
        ((*shared.statistics).*counter).fetch_add(1, std::memory_order_relaxed);
    }
}

// Counted now, on the device's thread: what is lost is known here, and a stop that discards the
// queue must not discard the count.
void count_drop(EventQueue &owner, std::uint64_t bytes, bool allocation_failure) {
    auto &shared = *owner.shared;
    count_loss(shared, allocation_failure ? &StreamStatistics::allocation_failures
                                          : &StreamStatistics::dropped);
    if (owner.open_run && owner.open_run->allocation_failure == allocation_failure &&
        owner.open_run->try_add(bytes)) {
        return;
    }
    try {
        auto run = std::make_shared<DropRun>(bytes, allocation_failure);
        // Not held to the limit, like any loss message.
        owner.open_run = shared.queue.enqueue(QueuedEvent{StreamEvent{}, run}) ? run : nullptr;
    } catch (const std::bad_alloc &) {
        owner.open_run = nullptr; // counted, but no message can stand for it
    }
}

// The end of the stream must arrive, so it is not held to the limit either (one element).
void push_end(EventQueue &owner) {
    if (!owner.shared->queue.enqueue(QueuedEvent{})) {
        owner.shared->end_not_queued = true;
    }
    owner.open_run.reset();
}

void push(void *state, StreamEvent *event) {
    auto &owner = *static_cast<EventQueue *>(state);
    if (event->index() == 0) {
        push_end(owner);
        return;
    }
    auto &queue = owner.shared->queue;
    if (queue.size_approx() >= static_cast<std::size_t>(owner.max_elements)) {
        count_drop(owner, bytes_of(*event), false); // the caller keeps and releases its event
        return;
    }
    StreamEvent element = take_for_queue(*event, *owner.copies);
    if (!queue.enqueue(QueuedEvent{std::move(element), nullptr})) {
        const std::uint64_t lost = bytes_of(element);
        // The element (and any bytes it owns) is released here, on the device's thread.
        element = StreamEvent{};
        count_drop(owner, lost, true);
        return;
    }
    owner.open_run.reset(); // later drops come after this event
    if (auto &statistics = owner.shared->statistics) {
        const std::uint64_t depth = queue.size_approx();
        if (depth > statistics->max_queue_depth.load(std::memory_order_relaxed)) {
            statistics->max_queue_depth.store(depth, std::memory_order_relaxed); // one producer
        }
    }
}

void note_lost(DeliveryState &shared, std::uint64_t bytes) {
    if (shared.lost_bytes) {
        shared.lost_bytes->pending += bytes;
    }
}

// Hands an event to the consumer. A consumer that cannot allocate what the event needs loses the
// event, which is reported in its place like any other loss; consecutive such losses share one
// message. Delivery goes on.
void hand_on(DeliveryState &shared, StreamCallback &consumer, StreamEvent &event) {
    try {
        consumer(event);
        shared.reported_allocation_failure = false;
    } catch (const std::bad_alloc &) {
        note_lost(shared, bytes_of(event));
        count_loss(shared, &StreamStatistics::allocation_failures);
        if (shared.reported_allocation_failure) {
            return; // the message in place of the previous loss stands for this one too
        }
        try {
            StreamEvent message{std::in_place_index<1>, allocation_failure_message};
            consumer(message);
            shared.reported_allocation_failure = true;
        } catch (const std::bad_alloc &) {
            // nothing left to report it with
        }
    }
}

// Hands on the one message that stands for a run of lost events (counted when they were lost).
void deliver_drops(DeliveryState &shared, DropRun &run, StreamCallback &consumer) {
    const auto [drops, bytes] = run.close();
    static_cast<void>(drops);
    note_lost(shared, bytes);
    StreamEvent message{std::in_place_index<1>,
                        run.allocation_failure ? allocation_failure_message : overflow_message};
    if (!run.allocation_failure && shared.statistics) {
        StreamStatistics::add(shared.statistics->drop_runs); // the delivery thread's own count
    }
    hand_on(shared, consumer, message);
}

// Releases what is queued while the consumer, and with it what keeps the device's release
// functions loaded, still exists. Once the device has gone, everything; otherwise (a stop at
// interpreter exit, the device still producing) only what is there now, and teardown frees the
// rest.
void discard_queued(DeliveryState &shared) {
    QueuedEvent discarded;
    if (shared.producer_gone) {
        while (shared.queue.try_dequeue(discarded)) {
        }
        return;
    }
    for (auto queued = shared.queue.size_approx(); queued != 0; --queued) {
        if (!shared.queue.try_dequeue(discarded)) {
            break;
        }
    }
}

// Hands on what one queued element stands for; returns false when delivery ends (a stop, the end
// of the stream).
bool deliver_one(DeliveryState &shared, QueuedEvent &queued, const std::stop_token &stop,
                 StreamCallback &consumer) {
    if (stop.stop_requested()) {
        return false; // a stopped stream discards what is still queued
    }
    if (queued.drops) {
        deliver_drops(shared, *queued.drops, consumer);
        return true;
    }
    const bool end_of_stream = queued.event.index() == 0;
    hand_on(shared, consumer, queued.event);
    return !end_of_stream;
}

// Events already queued behind the first are delivered in one batch (for Python: under one
// taking of the interpreter lock), at most this many.
constexpr int max_batch = 256;

void start_batch(const DeliveryThreadHooks *hooks) {
    if (hooks != nullptr && hooks->batch_started != nullptr) {
        hooks->batch_started();
    }
}

void finish_batch(const DeliveryThreadHooks *hooks) {
    if (hooks != nullptr && hooks->batch_finished != nullptr) {
        hooks->batch_finished();
    }
}

void deliver(std::stop_token stop, std::shared_ptr<DeliveryState> shared, StreamCallback consumer,
             const DeliveryThreadHooks *hooks) {
    is_delivery_thread = true;
    if (hooks != nullptr && hooks->thread_started != nullptr) {
        hooks->thread_started();
    }
    while (!stop.stop_requested()) {
        QueuedEvent queued;
        if (!shared->queue.wait_dequeue_timed(queued, idle_wait_usecs)) {
            if (shared->end_not_queued && shared->queue.size_approx() == 0) {
                StreamEvent end;
                start_batch(hooks);
                hand_on(*shared, consumer, end);
                finish_batch(hooks);
                break;
            }
            continue;
        }
        start_batch(hooks);
        bool going_on = deliver_one(*shared, queued, stop, consumer);
        for (int delivered = 1; going_on && delivered < max_batch; ++delivered) {
            QueuedEvent next;
            if (!shared->queue.try_dequeue(next)) {
                break;
            }
            going_on = deliver_one(*shared, next, stop, consumer);
        }
        finish_batch(hooks);
        if (!going_on) {
            break;
        }
    }
    if (stop.stop_requested()) {
        discard_queued(*shared);
    }
    consumer.reset();
    if (hooks != nullptr && hooks->thread_finishing != nullptr) {
        hooks->thread_finishing();
    }
    const auto live = shared->live;
    shared.reset();
    live->mark_finished();
    unregister_delivery(live.get());
}

void teardown(EventQueue *owner) {
    auto &shared = *owner->shared;
    shared.producer_gone = true; // the device invokes no more once it destroys the callback
    shared.live->stop.request_stop();
    // So this thread may act as the producer and wake a delivery thread that waits on an empty
    // queue.
    try {
        shared.queue.enqueue(QueuedEvent{});
    } catch (const std::bad_alloc &) {
        // the thread still sees the stop request at its next timed wake-up
    }
    const bool own_thread = owner->worker.get_id() == std::this_thread::get_id();
    if (own_thread) {
        // This thread is the queue's consumer: release what the device queued, while the
        // device's code is certainly loaded (its stop is on the stack).
        discard_queued(shared);
    }
    if (own_thread || is_delivery_thread) {
        // Never wait from a delivery thread: the stream ends after its current event.
        owner->worker.detach();
        return;
    }
    if (!owner->worker.joinable()) {
        return;
    }
    const bool finished = owner->hooks == nullptr || owner->hooks->wait_finished == nullptr ||
                          owner->hooks->wait_finished(*shared.live);
    if (finished) {
        owner->worker.join(); // it has ended, or ends in a moment without needing anything
    } else {
        owner->worker.detach(); // the wait was interrupted; it ends after its current event
    }
}

void destroy(void *state) {
    if (state == nullptr) {
        return;
    }
    auto *owner = static_cast<EventQueue *>(state);
    if (owner->creator.inherited()) {
        return; // the thread to stop and wait for is the parent's: leave everything as it is
    }
    teardown(owner);
    delete owner;
}

constexpr StreamCallbackOps queued_callback_ops{push, destroy};

} // namespace

StreamCallback make_queued_callback(StreamCallback &&consumer, std::int32_t max_elements,
                                    QueueOptions options) {
    if (max_elements < init_elements) {
        throw std::runtime_error("max_elements must be greater than init_elements");
    }
    auto owner = std::make_unique<EventQueue>();
    owner->shared = std::make_shared<DeliveryState>();
    owner->shared->keep_alive = std::move(options.keep_alive);
    owner->shared->lost_bytes = std::move(options.lost_bytes);
    owner->shared->statistics = std::move(options.statistics);
    owner->max_elements = max_elements;
    owner->hooks = options.hooks;
    auto &live = owner->shared->live;
    live->name = std::move(options.name);
    // Registered before the thread starts, which unregisters it as its last step.
    register_delivery(live);
    try {
        owner->worker = std::thread(deliver, live->stop.get_token(), owner->shared,
                                    std::move(consumer), options.hooks);
    } catch (...) {
        unregister_delivery(live.get());
        throw;
    }
    return StreamCallback{&queued_callback_ops, owner.release()};
}

std::shared_ptr<LiveDelivery> delivery_of(const StreamCallback &callback) {
    if (callback.ops != &queued_callback_ops || callback.state == nullptr) {
        return nullptr;
    }
    return static_cast<EventQueue *>(callback.state)->shared->live;
}

bool on_delivery_thread() { return is_delivery_thread; }

std::size_t stop_all_deliveries(std::optional<std::chrono::milliseconds> timeout) {
    return stop_registered_deliveries(timeout);
}

} // namespace vorn::stream
