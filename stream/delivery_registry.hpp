// The process-wide list of running delivery threads, so that they can all be stopped before the
// interpreter finalizes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace vorn::stream {

// What the registry knows of one delivery thread: its stop request and whether it has ended.
// Small on purpose: the registry and a waiting exit hold it, never the thread's queue, so no
// queued chunk outlives the stream's teardown. Thread-safe.
class LiveDelivery {
  public:
    std::stop_source stop;
    std::string name; // for messages; set before the delivery is registered, then read-only

    // Called by the delivery thread as its very last step.
    void mark_finished();
    bool finished() const;
    // Blocks until mark_finished or the deadline (none: no limit); returns whether the thread
    // finished.
    bool wait_finished_until(std::optional<std::chrono::steady_clock::time_point> deadline);

  private:
    mutable std::mutex mutex_;
    std::condition_variable finished_changed_;
    bool finished_ = false;
};

// Any thread; takes the registry's mutex briefly. A delivery stays registered until its thread
// unregisters it as it ends, also when its stream was torn down without waiting for it.
void register_delivery(std::shared_ptr<LiveDelivery> delivery);
void unregister_delivery(const LiveDelivery *delivery);

// Requests a stop of every registered delivery, then waits for each until the common deadline
// (`timeout` from now; none: no limit). Returns how many were still running at the deadline.
// A child process made by fork() starts with none registered: its parent's threads are not there.
std::size_t stop_registered_deliveries(std::optional<std::chrono::milliseconds> timeout);

// The names of the registered deliveries that have not ended. Any thread.
std::vector<std::string> running_delivery_names();

} // namespace vorn::stream
