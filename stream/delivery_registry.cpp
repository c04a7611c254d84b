#include "delivery_registry.hpp"

#include <algorithm>
#include <vector>

namespace vorn::stream {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::weak_ptr<LiveDelivery>> deliveries;
};

// Never destroyed: delivery threads may still unregister while static destructors run.
Registry &registry() {
    static auto *instance = new Registry();
    return *instance;
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

void register_delivery(const std::shared_ptr<LiveDelivery> &delivery) {
    auto &reg = registry();
    std::lock_guard lock(reg.mutex);
    std::erase_if(reg.deliveries, [](const auto &entry) { return entry.expired(); });
    reg.deliveries.push_back(delivery);
}

void unregister_delivery(const LiveDelivery *delivery) {
    auto &reg = registry();
    std::lock_guard lock(reg.mutex);
    std::erase_if(reg.deliveries, [delivery](const auto &entry) {
        auto live = entry.lock();
        return !live || live.get() == delivery;
    });
}

std::size_t stop_registered_deliveries(std::optional<std::chrono::milliseconds> timeout) {
    std::vector<std::shared_ptr<LiveDelivery>> live;
    {
        auto &reg = registry();
        std::lock_guard lock(reg.mutex);
        for (const auto &entry : reg.deliveries) {
            if (auto delivery = entry.lock()) {
                live.push_back(std::move(delivery));
            }
        }
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

} // namespace vorn::stream
