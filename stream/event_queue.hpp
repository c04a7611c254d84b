// The bounded hand-off between a device's thread and a stream's delivery thread.
#pragma once

#include "delivery_registry.hpp"
#include "lost_bytes.hpp"
#include "stream_statistics.hpp"

#include <vorn/device.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vorn::stream {

// Capacity the queue starts with; also the smallest accepted limit.
inline constexpr std::int32_t init_elements = 64;

inline constexpr const char *overflow_message = "Queue Overflow, dropping event";
inline constexpr const char *allocation_failure_message =
    "Memory Allocation Failure, dropping event";

// Optional hooks through which an embedding (the Python binding) prepares the delivery thread.
// Every pointer may be null.
struct DeliveryThreadHooks {
    // On the delivery thread: first thing, and last thing after the consumer is destroyed.
    void (*thread_started)() = nullptr;
    void (*thread_finishing)() = nullptr;
    // On the delivery thread, around each batch of events handed to the consumer (the events
    // already queued, up to a bound): for Python, the interpreter lock is taken once per batch
    // instead of once per event.
    void (*batch_started)() = nullptr;
    void (*batch_finished)() = nullptr;
    // On a thread that waits for a delivery thread to end: waits in a state where that thread
    // can finish (for Python: with the interpreter lock released). Returns false when the wait
    // was given up (an interrupt); the delivery then ends on its own after its current event.
    bool (*wait_finished)(LiveDelivery &delivery) = nullptr;
};

// What a queue may be given besides its consumer; every member may be empty.
struct QueueOptions {
    const DeliveryThreadHooks *hooks = nullptr;
    // Learns the size of what each loss message stands for.
    std::shared_ptr<LostBytes> lost_bytes;
    // Keeps the code of queued chunks' release functions (a plug-in's) loaded for as long as the
    // queue holds chunks, on whichever thread the queue goes.
    std::shared_ptr<void> keep_alive;
    // Counts the events lost, the overflow messages delivered, and the deepest the queue has been.
    std::shared_ptr<StreamStatistics> statistics;
    // Names the stream in messages (the wait at process exit).
    std::string name;
};

// Starts a delivery thread that hands each queued event to `consumer` (moved in; destroyed on
// that thread when delivery ends) and returns the callback a device pushes events into.
//
// Caller: any thread. Throws std::runtime_error "max_elements must be greater than
// init_elements" for a limit below 64 (nothing is started), or std::system_error when the thread
// cannot be started.
//
// The returned callback:
//  - invoke: producer side, one device thread at a time; never waits. Lent chunks are copied
//    (std::bad_alloc from that copy leaves invoke), owned chunks moved. At the limit the event is
//    left with the caller and counted as a drop there and then (statistics->dropped): a run of
//    consecutive drops reaches the consumer as ONE "Queue Overflow, dropping event", in the run's
//    place, so a slow consumer does not spend its time on messages. An event the queue cannot
//    allocate room for is lost the same way, as "Memory Allocation Failure, dropping event". Runs
//    are counted rather than queued event by event, so memory stays bounded. The end marker is
//    never dropped: it is queued beyond the limit and delivered once, after everything queued
//    before it.
//  - destroy: stops delivery (events still queued are released undelivered, before it returns)
//    and waits for the delivery thread, through options.hooks->wait_finished when given. On any delivery
//    thread it does not wait: waiting for itself is impossible, and two streams that stop each
//    other from their callbacks would wait for each other. The stream then ends after its
//    current event.
StreamCallback make_queued_callback(StreamCallback &&consumer, std::int32_t max_elements,
                                    QueueOptions options = {});

// The delivery of a callback made by make_queued_callback (null for any other callback), for
// waiting until it has ended. Any thread, while the callback exists.
std::shared_ptr<LiveDelivery> delivery_of(const StreamCallback &callback);

// Whether the calling thread is the delivery thread of some stream.
bool on_delivery_thread();

// Asks every live delivery thread of the process to stop and waits until each has ended or
// `timeout` has passed (none: until each has ended). Used before the interpreter finalizes.
// Caller: any thread that holds nothing a delivery thread needs. Returns the number of threads
// still running at the timeout.
std::size_t stop_all_deliveries(std::optional<std::chrono::milliseconds> timeout);

} // namespace vorn::stream
