#include "delivery_registry.hpp"

#include <pthread.h>

#include <algorithm>
#include <vector>

namespace vorn::stream {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<LiveDelivery>> deliveries;
};

Registry *make_registry();

// Never destroyed: delivery threads may still unregister while static destructors run.
Registry *current_registry = make_registry();

// The child of a fork() has none of its parent's threads; the old registry (whose mutex another
// thread may have held at the fork) is abandoned rather than touched.
void forget_deliveries_in_child() { current_registry = new Registry(); }

Registry *make_registry() {
    pthread_atfork(nullptr, nullptr, forget_deliveries_in_child);
    return new Registry();
}

} // namespace

void LiveDelivery::mark_finished() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    finished_changed_.notify_all();
}

bool LiveDelivery::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool LiveDelivery::wait_finished_until(
    std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock lock(mutex_);
    if (!deadline) {
        finished_changed_.wait(lock, [this] { return finished_; });
        return true;
    }
    return finished_changed_.wait_until(lock, *deadline, [this] { return finished_; });
}

void register_delivery(std::shared_ptr<LiveDelivery> delivery) {
    auto &reg = *current_registry;
    std::lock_guard lock(reg.mutex);
    reg.deliveries.push_back(std::move(delivery));
}

void unregister_delivery(const LiveDelivery *delivery) {
    auto &reg = *current_registry;
    std::lock_guard lock(reg.mutex);
    std::erase_if(reg.deliveries, [delivery](const auto &entry) { return entry.get() == delivery; });
}

std::size_t stop_registered_deliveries(std::optional<std::chrono::milliseconds> timeout) {
    std::vector<std::shared_ptr<LiveDelivery>> live;
    {
        auto &reg = *current_registry;
        std::lock_guard lock(reg.mutex);
        live = reg.deliveries;
    }
    for (const auto &delivery : live) {
        delivery->stop.request_stop();
    }
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (timeout) {
        deadline = std::chrono::steady_clock::now() + *timeout;
    }
    return static_cast<std::size_t>(std::count_if(live.begin(), live.end(), [&](const auto &d) {
        return !d->wait_finished_until(deadline);
    }));
}

std::vector<std::string> running_delivery_names() {
    auto &reg = *current_registry;
    std::lock_guard lock(reg.mutex);
    std::vector<std::string> names;
    for (const auto &delivery : reg.deliveries) {
        if (!delivery->finished()) {
            names.push_back(delivery->name);
        }
    }
    return names;
}

} // namespace vorn::stream
