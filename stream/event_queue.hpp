// The bounded hand-off between a device's thread and a stream's delivery thread.
#pragma once

#include <vorn/device.hpp>

#include <chrono>
#include <cstdint>
#include <optional>

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
    // On the tearing-down thread: runs wait(context), which joins the delivery thread, in a state
    // where that thread can finish (for Python: with the interpreter lock released).
    void (*run_blocking)(void (*wait)(void *), void *context) = nullptr;
};

// Starts a delivery thread that hands each queued event to `consumer` (moved in; destroyed on
// that thread when delivery ends) and returns the callback a device pushes events into.
//
// Caller: any thread. Throws std::runtime_error "max_elements must be greater than
// init_elements" for a limit below 64 (nothing is started), or std::system_error when the thread
// cannot be started.
//
// The returned callback:
//  - invoke: producer side, one device thread at a time; never blocks. Lent chunks are copied,
//    owned chunks moved. At the limit the event is left with the caller and counted as a drop:
//    the consumer receives one "Queue Overflow, dropping event" per drop, in the dropped event's
//    place. Drops are counted rather than queued one by one, so memory stays bounded.
//  - destroy: stops delivery (events still queued are discarded) and waits for the delivery
//    thread, through hooks->run_blocking when given. From the delivery thread itself it does not
//    wait: the thread finishes its current event and ends on its own.
StreamCallback make_queued_callback(StreamCallback &&consumer, std::int32_t max_elements,
                                    const DeliveryThreadHooks *hooks = nullptr);

// Asks every live delivery thread of the process to stop and waits until each has ended or
// `timeout` has passed (none: until each has ended). Used before the interpreter finalizes.
// Caller: any thread that holds nothing a delivery thread needs. Returns the number of threads
// still running at the timeout.
std::size_t stop_all_deliveries(std::optional<std::chrono::milliseconds> timeout);

} // namespace vorn::stream
