// EventQueue: the bounded hand-off between a device's thread (the test's thread here) and the
// delivery thread that feeds the consumer.
#include "event_queue.hpp"

#include "chunk_aligner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vorn::ChunkView;
using vorn::OwnedChunk;
using vorn::StreamCallback;
using vorn::StreamCallbackOps;
using vorn::StreamEvent;
using vorn::stream::make_queued_callback;
using vorn::stream::QueueOptions;
using vorn::stream::StreamStatistics;

// Guards every wait of these tests, so a broken queue fails instead of hanging.
constexpr auto hang_guard = 20s;

// --- owned chunks whose releases are counted --------------------------------------------------

std::mutex release_mutex;
std::map<const std::uint8_t *, int> release_counts;

// Only counts: the bytes belong to the test's ChunkStore, so no address is reused mid-test.
void counting_release(std::uint8_t *data) {
    std::lock_guard lock(release_mutex);
    ++release_counts[data];
}

int releases_of(const std::uint8_t *data) {
    std::lock_guard lock(release_mutex);
    const auto found = release_counts.find(data);
    return found == release_counts.end() ? 0 : found->second;
}

class ChunkStore {
  public:
    ChunkStore() {
        std::lock_guard lock(release_mutex);
        release_counts.clear();
    }

    // An owned chunk of `size` bytes counting up from `first`.
    StreamEvent owned(std::uint8_t first, std::size_t size = 1) {
        auto bytes = std::make_unique<std::uint8_t[]>(size);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<std::uint8_t>(first + i);
        }
        StreamEvent event{std::in_place_index<2>, counting_release, bytes.get(), size};
        storage_.push_back(std::move(bytes));
        return event;
    }

  private:
    std::vector<std::unique_ptr<std::uint8_t[]>> storage_;
};

const std::uint8_t *data_of(const StreamEvent &event) { return std::get<2>(event).data; }

// --- a consumer that records what reaches it ----------------------------------------------------

struct Delivered {
    std::size_t index;
    std::string text;
    std::vector<std::uint8_t> bytes;
};

// What the consumer saw; shared between the test and the consumer, which the delivery thread
// destroys.
struct Sink {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivered> events;
    std::thread::id invoke_thread;
    bool gate_closed = false; // a consumer call waits here (after recording) while it is closed
    bool waiting_at_gate = false;
    int keep_owned = 0;                 // this many owned chunks are moved out and kept
    std::vector<OwnedChunk> kept;       // ... here
    std::function<void()> after_record; // runs inside the consumer call, outside the lock
    bool destroyed = false;
    std::thread::id destroy_thread;

    template <typename Pred> bool wait(Pred pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, hang_guard, pred);
    }
    bool wait_for_events(std::size_t count) {
        return wait([&] { return events.size() >= count; });
    }
    bool wait_at_gate() {
        return wait([&] { return waiting_at_gate; });
    }
    bool wait_destroyed() {
        return wait([&] { return destroyed; });
    }
    void open_gate() {
        {
            std::lock_guard lock(mutex);
            gate_closed = false;
        }
        changed.notify_all();
    }
    std::vector<Delivered> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
};

void sink_invoke(void *state, StreamEvent *event) {
    auto &sink = **static_cast<std::shared_ptr<Sink> *>(state);
    std::function<void()> after;
    {
        std::unique_lock lock(sink.mutex);
        sink.invoke_thread = std::this_thread::get_id();
        Delivered seen{event->index(), {}, {}};
        if (auto *text = std::get_if<1>(event)) {
            seen.text = *text;
        } else if (auto *chunk = std::get_if<2>(event)) {
            seen.bytes.assign(chunk->data, chunk->data + chunk->size);
            if (sink.keep_owned > 0) {
                --sink.keep_owned;
                sink.kept.push_back(std::move(*chunk));
            }
        } else if (auto *view = std::get_if<3>(event)) {
            seen.bytes.assign(view->data, view->data + view->size);
        }
        sink.events.push_back(std::move(seen));
        sink.changed.notify_all();
        if (sink.gate_closed) {
            sink.waiting_at_gate = true;
            sink.changed.notify_all();
            sink.changed.wait(lock, [&] { return !sink.gate_closed; });
            sink.waiting_at_gate = false;
        }
        after = std::move(sink.after_record);
        sink.after_record = nullptr;
    }
    if (after) {
        after();
    }
}

void sink_destroy(void *state) {
    if (state == nullptr) {
        return;
    }
    auto *holder = static_cast<std::shared_ptr<Sink> *>(state);
    {
        std::lock_guard lock((*holder)->mutex);
        (*holder)->destroyed = true;
        (*holder)->destroy_thread = std::this_thread::get_id();
    }
    (*holder)->changed.notify_all();
    delete holder;
}

constexpr StreamCallbackOps sink_ops{sink_invoke, sink_destroy};

StreamCallback make_consumer(const std::shared_ptr<Sink> &sink) {
    return StreamCallback{&sink_ops, new std::shared_ptr<Sink>(sink)};
}

void push(StreamCallback &callback, StreamEvent event) { callback(event); }

void push_text(StreamCallback &callback, const std::string &text) {
    push(callback, StreamEvent{std::in_place_index<1>, text});
}

// --- delivery-thread hooks, recorded in order -------------------------------------------------

struct HookLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> steps;
    std::vector<std::thread::id> threads;
    std::function<void()> before_join; // runs in run_blocking before it waits
};

// Never destroyed: a detached delivery thread may still log while the process exits.
HookLog &hook_log = *new HookLog;

void log_step(const std::string &step) {
    std::lock_guard lock(hook_log.mutex);
    hook_log.steps.push_back(step);
    hook_log.threads.push_back(std::this_thread::get_id());
    hook_log.changed.notify_all();
}

void reset_hook_log() {
    std::lock_guard lock(hook_log.mutex);
    hook_log.steps.clear();
    hook_log.threads.clear();
    hook_log.before_join = nullptr;
}

bool wait_for_step(const std::string &step) {
    std::unique_lock lock(hook_log.mutex);
    return hook_log.changed.wait_for(lock, hang_guard, [&] {
        return std::find(hook_log.steps.begin(), hook_log.steps.end(), step) !=
               hook_log.steps.end();
    });
}

void hook_started() { log_step("started"); }
void hook_finishing() { log_step("finishing"); }
bool hook_wait_finished(vorn::stream::LiveDelivery &delivery) {
    log_step("run_blocking");
    std::function<void()> before;
    {
        std::lock_guard lock(hook_log.mutex);
        before = hook_log.before_join;
    }
    if (before) {
        before();
    }
    delivery.wait_finished_until(std::nullopt);
    log_step("joined");
    return true;
}

constexpr vorn::stream::DeliveryThreadHooks recording_hooks{hook_started, hook_finishing, nullptr,
                                                            nullptr, hook_wait_finished};

vorn::stream::QueueOptions with_hooks() {
    vorn::stream::QueueOptions options;
    options.hooks = &recording_hooks;
    return options;
}

vorn::stream::QueueOptions with_lost_bytes(std::shared_ptr<vorn::stream::LostBytes> lost) {
    vorn::stream::QueueOptions options;
    options.lost_bytes = std::move(lost);
    return options;
}

// --- tests ----------------------------------------------------------------------------------

TEST(EventQueue, LimitBelowInitElementsIsRefusedAndLeavesTheConsumerAlone) {
    for (const std::int32_t limit : {63, 0, -1, INT_MIN}) {
        auto sink = std::make_shared<Sink>();
        {
            StreamCallback consumer = make_consumer(sink);
            try {
                make_queued_callback(std::move(consumer), limit);
                ADD_FAILURE() << "limit " << limit << " accepted";
            } catch (const std::runtime_error &e) {
                EXPECT_STREQ(e.what(), "max_elements must be greater than init_elements");
            }
            // Nothing was started: the consumer is still the caller's.
            EXPECT_TRUE(consumer) << limit;
        }
        EXPECT_TRUE(sink->destroyed);
        EXPECT_EQ(sink->destroy_thread, std::this_thread::get_id());
    }

    auto sink = std::make_shared<Sink>();
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);
    EXPECT_TRUE(queued);
    queued.reset();
    EXPECT_TRUE(sink->destroyed);
    EXPECT_NE(sink->destroy_thread, std::this_thread::get_id());
}

TEST(EventQueue, OverflowReplacesEachRunOfDroppedEventsWithOneMessageCountedAtOnce) {
    ChunkStore chunks;
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    auto statistics = std::make_shared<StreamStatistics>();
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64,
                                                 QueueOptions{nullptr, nullptr, nullptr, statistics, {}});

    push_text(queued, "block");
    ASSERT_TRUE(sink->wait_at_gate());

    std::vector<const std::uint8_t *> accepted;
    for (int i = 0; i < 64; ++i) {
        StreamEvent event = chunks.owned(static_cast<std::uint8_t>(i));
        accepted.push_back(data_of(event));
        queued(event);
        EXPECT_EQ(data_of(event), nullptr) << "queued chunk " << i << " was not taken";
    }

    // At the limit nothing is taken: each dropped chunk stays with the caller's event.
    std::vector<const std::uint8_t *> dropped;
    for (int i = 0; i < 3; ++i) {
        StreamEvent event = chunks.owned(static_cast<std::uint8_t>(100 + i));
        dropped.push_back(data_of(event));
        queued(event);
        EXPECT_EQ(data_of(event), dropped.back());
        EXPECT_EQ(releases_of(dropped.back()), 0);
    }
    for (const auto *data : dropped) {
        EXPECT_EQ(releases_of(data), 1) << "the caller's event releases a dropped chunk";
    }
    // Counted when lost, before anything reached the consumer.
    EXPECT_EQ(statistics->dropped.load(), 3u);
    // The end marker is not held to the limit: it comes once, after everything before it.
    push(queued, StreamEvent{});

    sink->open_gate();
    ASSERT_TRUE(sink->wait_destroyed());

    const auto events = sink->snapshot();
    ASSERT_EQ(events.size(), 1u + 64 + 1 + 1);
    EXPECT_EQ(events[0].text, "block");
    for (int i = 0; i < 64; ++i) {
        const auto &event = events[static_cast<std::size_t>(1 + i)];
        ASSERT_EQ(event.index, 2u) << i;
        EXPECT_EQ(event.bytes, std::vector<std::uint8_t>{static_cast<std::uint8_t>(i)});
    }
    EXPECT_EQ(events[65].index, 1u);
    EXPECT_EQ(events[65].text, "Queue Overflow, dropping event");
    EXPECT_EQ(events[66].index, 0u);
    EXPECT_EQ(statistics->drop_runs.load(), 1u);

    queued.reset();
    for (const auto *data : accepted) {
        EXPECT_EQ(releases_of(data), 1);
    }
}

TEST(EventQueue, LentChunkIsDeliveredWithTheBytesItHeldDuringThePush) {
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);
    push_text(queued, "block");
    ASSERT_TRUE(sink->wait_at_gate());

    std::vector<std::uint8_t> device_buffer{1, 2, 3, 4, 5};
    push(queued, StreamEvent{std::in_place_index<3>, ChunkView{device_buffer.data(), 5}});
    std::fill(device_buffer.begin(), device_buffer.end(), 0xEE); // the device reuses its memory
    push(queued, StreamEvent{std::in_place_index<3>, ChunkView{nullptr, 0}});

    sink->open_gate();
    ASSERT_TRUE(sink->wait_for_events(3));
    const auto events = sink->snapshot();
    // The queue holds copies, which reach the consumer as owned chunks.
    EXPECT_EQ(events[1].index, 2u);
    EXPECT_EQ(events[1].bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(events[2].index, 2u);
    EXPECT_TRUE(events[2].bytes.empty());
}

TEST(EventQueue, DeliveredOwnedChunkIsReleasedOnceByItsLastHolder) {
    ChunkStore chunks;
    auto sink = std::make_shared<Sink>();
    sink->keep_owned = 1; // the consumer takes the first chunk, leaves the second
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);

    StreamEvent taken = chunks.owned(10, 4);
    StreamEvent left = chunks.owned(20, 4);
    const auto *taken_data = data_of(taken);
    const auto *left_data = data_of(left);
    queued(taken);
    queued(left);
    push(queued, StreamEvent{});
    ASSERT_TRUE(sink->wait_destroyed());
    // Emptied events release nothing when the caller destroys them.
    taken = StreamEvent{};
    left = StreamEvent{};

    EXPECT_EQ(releases_of(left_data), 1) << "the delivery loop releases what it still holds";
    EXPECT_EQ(releases_of(taken_data), 0) << "released while the consumer still holds it";
    sink->kept.clear();
    EXPECT_EQ(releases_of(taken_data), 1);
    queued.reset();
    EXPECT_EQ(releases_of(taken_data), 1);
    EXPECT_EQ(releases_of(left_data), 1);
}

TEST(EventQueue, EndMarkerEndsDeliveryAndTheConsumerIsDestroyedOnTheDeliveryThread) {
    ChunkStore chunks;
    auto sink = std::make_shared<Sink>();
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);

    push(queued, chunks.owned(1, 2));
    push_text(queued, "warning");
    push(queued, StreamEvent{});
    ASSERT_TRUE(sink->wait_destroyed());

    const auto events = sink->snapshot();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].bytes, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(events[1].text, "warning");
    EXPECT_EQ(events[2].index, 0u);
    EXPECT_EQ(sink->destroy_thread, sink->invoke_thread);
    EXPECT_NE(sink->destroy_thread, std::this_thread::get_id());

    // After the end marker events are queued but never delivered; teardown releases them.
    StreamEvent late = chunks.owned(50, 3);
    const auto *late_data = data_of(late);
    queued(late);
    EXPECT_EQ(data_of(late), nullptr);
    EXPECT_EQ(releases_of(late_data), 0);
    queued.reset();
    EXPECT_EQ(releases_of(late_data), 1);
    EXPECT_EQ(sink->snapshot().size(), 3u);
}

TEST(EventQueue, TeardownOfAnIdleQueueJoinsItsThread) {
    auto sink = std::make_shared<Sink>();
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);
    queued.reset();
    // The join waited for the consumer to be destroyed on the delivery thread.
    EXPECT_TRUE(sink->destroyed);
    EXPECT_NE(sink->destroy_thread, std::this_thread::get_id());
    EXPECT_TRUE(sink->snapshot().empty());
}

TEST(EventQueue, TeardownDiscardsQueuedEventsUndelivered) {
    reset_hook_log();
    ChunkStore chunks;
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64, with_hooks());

    push_text(queued, "block");
    ASSERT_TRUE(sink->wait_at_gate());
    std::vector<const std::uint8_t *> behind;
    for (std::uint8_t i = 0; i < 3; ++i) {
        StreamEvent event = chunks.owned(i);
        behind.push_back(data_of(event));
        queued(event);
    }
    push_text(queued, "never");
    push(queued, StreamEvent{});

    // Once teardown has requested the stop and waits, let the busy consumer call return.
    {
        std::lock_guard lock(hook_log.mutex);
        hook_log.before_join = [&] { sink->open_gate(); };
    }
    std::thread destroyer([&] { queued.reset(); });
    destroyer.join();

    const auto events = sink->snapshot();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "block");
    EXPECT_TRUE(sink->destroyed);
    EXPECT_EQ(sink->destroy_thread, sink->invoke_thread);
    for (const auto *data : behind) {
        EXPECT_EQ(releases_of(data), 1);
    }
}

TEST(EventQueue, DestroyingTheCallbackFromInsideItsOwnConsumerDoesNotWaitForItself) {
    reset_hook_log();
    ChunkStore chunks;
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64, with_hooks());

    push_text(queued, "first");
    ASSERT_TRUE(sink->wait_at_gate());
    StreamEvent behind = chunks.owned(7);
    const auto *behind_data = data_of(behind);
    queued(behind);
    // From here on this thread pushes nothing: the consumer destroys the callback, as a device
    // whose stream is stopped from inside its own callback would.
    {
        std::lock_guard lock(sink->mutex);
        sink->after_record = [&queued] { queued.reset(); };
    }
    sink->open_gate();
    ASSERT_TRUE(sink->wait_destroyed());
    ASSERT_TRUE(wait_for_step("finishing"));

    EXPECT_FALSE(queued);
    EXPECT_EQ(sink->destroy_thread, sink->invoke_thread);
    const auto events = sink->snapshot();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "first");
    EXPECT_EQ(releases_of(behind_data), 1);
}

TEST(EventQueue, HooksRunOnTheDeliveryThreadAndAroundTheJoin) {
    reset_hook_log();
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64, with_hooks());
    push_text(queued, "hello");
    // A delivery still busy at teardown must be waited for through run_blocking.
    ASSERT_TRUE(sink->wait_at_gate());
    {
        std::lock_guard lock(hook_log.mutex);
        hook_log.before_join = [&] { sink->open_gate(); };
    }
    queued.reset();

    std::vector<std::string> steps;
    std::vector<std::thread::id> threads;
    {
        std::lock_guard lock(hook_log.mutex);
        steps = hook_log.steps;
        threads = hook_log.threads;
    }
    ASSERT_EQ(steps, (std::vector<std::string>{"started", "run_blocking", "finishing", "joined"}));
    const auto delivery = sink->invoke_thread;
    EXPECT_EQ(threads[0], delivery);
    EXPECT_EQ(threads[1], std::this_thread::get_id());
    EXPECT_EQ(threads[2], delivery);
    EXPECT_EQ(threads[3], std::this_thread::get_id());
    EXPECT_EQ(sink->destroy_thread, delivery);
    EXPECT_EQ(sink->snapshot().size(), 1u);
}

TEST(EventQueue, StopAllDeliveriesStopsEveryRunningDelivery) {
    auto first = std::make_shared<Sink>();
    auto second = std::make_shared<Sink>();
    StreamCallback first_queued = make_queued_callback(make_consumer(first), 64);
    StreamCallback second_queued = make_queued_callback(make_consumer(second), 64);
    push_text(first_queued, "one");
    ASSERT_TRUE(first->wait_for_events(1));

    EXPECT_EQ(vorn::stream::stop_all_deliveries(hang_guard), 0u);
    // Both deliveries ended while their callbacks still exist.
    EXPECT_TRUE(first->destroyed);
    EXPECT_TRUE(second->destroyed);
    push_text(first_queued, "too late");
    first_queued.reset();
    second_queued.reset();
    EXPECT_EQ(first->snapshot().size(), 1u);
    EXPECT_TRUE(second->snapshot().empty());
}

TEST(EventQueue, StopAllDeliveriesCountsADeliveryStuckInItsConsumer) {
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);
    push_text(queued, "busy");
    ASSERT_TRUE(sink->wait_at_gate());

    EXPECT_EQ(vorn::stream::stop_all_deliveries(0ms), 1u);
    push_text(queued, "behind the stop");
    sink->open_gate();
    ASSERT_TRUE(sink->wait_destroyed());
    EXPECT_EQ(vorn::stream::stop_all_deliveries(hang_guard), 0u);
    EXPECT_EQ(sink->snapshot().size(), 1u);
    queued.reset();
}

} // namespace

namespace {

// A consumer that throws std::bad_alloc for its first chunk, as one whose payload objects
// cannot be allocated would.
struct FailingFirstChunk {
    std::shared_ptr<Sink> sink;
    bool failed = false;
};

void fail_first_chunk(void *state, StreamEvent *event) {
    auto &consumer = *static_cast<FailingFirstChunk *>(state);
    if (event->index() == 2 && !consumer.failed) {
        consumer.failed = true;
        throw std::bad_alloc();
    }
    sink_invoke(&consumer.sink, event);
}

void destroy_failing(void *state) {
    if (state == nullptr) {
        return;
    }
    auto *consumer = static_cast<FailingFirstChunk *>(state);
    sink_destroy(new std::shared_ptr<Sink>(consumer->sink));
    delete consumer;
}

constexpr StreamCallbackOps failing_ops{fail_first_chunk, destroy_failing};

TEST(EventQueue, AConsumerThatCannotAllocateLosesOnlyThatEvent) {
    ChunkStore chunks;
    auto sink = std::make_shared<Sink>();
    StreamCallback queued =
        make_queued_callback(StreamCallback{&failing_ops, new FailingFirstChunk{sink}}, 64);
    StreamEvent lost = chunks.owned(1, 3);
    const auto *lost_data = data_of(lost);
    queued(lost);
    push(queued, chunks.owned(9, 2));
    push(queued, StreamEvent{});
    ASSERT_TRUE(sink->wait_destroyed());

    const auto events = sink->snapshot();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].text, "Memory Allocation Failure, dropping event");
    EXPECT_EQ(events[1].bytes, (std::vector<std::uint8_t>{9, 10}));
    EXPECT_EQ(events[2].index, 0u);
    EXPECT_EQ(releases_of(lost_data), 1);
}

// Alignment 4; bytes 6-11 are dropped at the limit. Pieces never join bytes across the gap, and
// after it they start again on the stream's grid.
TEST(EventQueue, AlignedPiecesRestartOnTheGridAfterDroppedBytes) {
    ChunkStore chunks;
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    auto slot = std::make_shared<vorn::stream::PieceOwnerSlot>();
    auto lost = std::make_shared<vorn::stream::LostBytes>();
    StreamCallback queued = make_queued_callback(
        vorn::stream::make_aligned_callback(make_consumer(sink), 4, slot, lost), 64,
        with_lost_bytes(lost));

    push(queued, chunks.owned(0, 6));
    ASSERT_TRUE(sink->wait_at_gate()); // the piece 0-3 is being delivered
    for (int i = 0; i < 64; ++i) {
        push(queued, chunks.owned(0, 0)); // empty chunks fill the queue
    }
    push(queued, chunks.owned(6, 6)); // dropped
    sink->open_gate();
    ASSERT_TRUE(sink->wait_for_events(2)); // the piece and the loss message: the queue is empty
    push(queued, chunks.owned(12, 6));
    push(queued, StreamEvent{});
    ASSERT_TRUE(sink->wait_destroyed());

    std::vector<std::vector<std::uint8_t>> pieces;
    std::vector<std::string> texts;
    for (const auto &event : sink->snapshot()) {
        if (event.index == 3) {
            pieces.push_back(event.bytes);
        } else if (event.index == 1) {
            texts.push_back(event.text);
        }
    }
    EXPECT_EQ(texts, std::vector<std::string>{"Queue Overflow, dropping event"});
    EXPECT_EQ(pieces, (std::vector<std::vector<std::uint8_t>>{
                          {0, 1, 2, 3}, {12, 13, 14, 15}, {16, 17}}));
}

TEST(EventQueue, AStreamStoppedFromItsOwnCallbackIsWaitedForAtExit) {
    auto sink = std::make_shared<Sink>();
    sink->gate_closed = true;
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);
    push_text(queued, "stop yourself");
    ASSERT_TRUE(sink->wait_at_gate()); // from here on this thread pushes nothing
    std::mutex callback_mutex;
    std::condition_variable callback_changed;
    bool may_return = false;
    bool stopped = false;
    {
        std::lock_guard lock(sink->mutex);
        sink->after_record = [&] {
            queued.reset(); // stops its own stream, then goes on working
            std::unique_lock wait(callback_mutex);
            stopped = true;
            callback_changed.notify_all();
            callback_changed.wait_for(wait, hang_guard, [&] { return may_return; });
        };
    }
    sink->open_gate();
    {
        std::unique_lock wait(callback_mutex);
        ASSERT_TRUE(callback_changed.wait_for(wait, hang_guard, [&] { return stopped; }));
    }
    // The exit hook must not see the delivery as gone while its callback still runs.
    EXPECT_EQ(vorn::stream::stop_all_deliveries(50ms), 1u);
    {
        std::lock_guard lock(callback_mutex);
        may_return = true;
    }
    callback_changed.notify_all();
    EXPECT_EQ(vorn::stream::stop_all_deliveries(hang_guard), 0u);
    EXPECT_TRUE(sink->destroyed);
}

TEST(EventQueue, TwoCallbacksThatStopEachOtherDoNotWaitForEachOther) {
    for (int round = 0; round < 20; ++round) {
        auto first = std::make_shared<Sink>();
        auto second = std::make_shared<Sink>();
        first->gate_closed = second->gate_closed = true;
        StreamCallback a = make_queued_callback(make_consumer(first), 64);
        StreamCallback b = make_queued_callback(make_consumer(second), 64);
        push_text(a, "a");
        push_text(b, "b");
        // Both callbacks are running, and this thread pushes nothing more.
        ASSERT_TRUE(first->wait_at_gate());
        ASSERT_TRUE(second->wait_at_gate());
        {
            std::scoped_lock lock(first->mutex, second->mutex);
            first->after_record = [&b] { b.reset(); };
            second->after_record = [&a] { a.reset(); };
        }
        first->open_gate();
        second->open_gate();
        ASSERT_TRUE(first->wait_destroyed()) << "round " << round;
        ASSERT_TRUE(second->wait_destroyed()) << "round " << round;
        EXPECT_EQ(vorn::stream::stop_all_deliveries(hang_guard), 0u);
    }
}

// The exit hook's wait holds only small records of the deliveries, never their queues: chunks a
// device queued after its delivery ended are released by the stream's teardown, while the
// device's code is still there.
TEST(EventQueue, AnExitWaitDoesNotKeepQueuedChunksPastTeardown) {
    ChunkStore chunks;
    auto stuck = std::make_shared<Sink>();
    stuck->gate_closed = true;
    StreamCallback busy = make_queued_callback(make_consumer(stuck), 64);
    push_text(busy, "busy");
    ASSERT_TRUE(stuck->wait_at_gate());

    auto sink = std::make_shared<Sink>();
    StreamCallback queued = make_queued_callback(make_consumer(sink), 64);
    std::thread exit_hook([] { vorn::stream::stop_all_deliveries(std::nullopt); });
    ASSERT_TRUE(sink->wait_destroyed()); // its delivery has ended; the device still produces
    StreamEvent late = chunks.owned(5, 2);
    const auto *late_data = data_of(late);
    queued(late);
    queued.reset();
    EXPECT_EQ(releases_of(late_data), 1) << "the chunk outlived its stream's teardown";

    stuck->open_gate();
    exit_hook.join();
    busy.reset();
}

} // namespace
