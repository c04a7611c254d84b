#include "device_calls.hpp"

namespace pyvorn {
namespace {

struct CallGuard {
    std::shared_ptr<void> inner; // released after the device, with the guard
    std::mutex calls;
};

// The deleter's type marks a guard: std::get_deleter tells it from any other keep-alive.
struct CallGuardDeleter {
    void operator()(CallGuard *guard) const { delete guard; }
};

} // namespace

std::shared_ptr<void> make_call_guard(std::shared_ptr<void> inner) {
    auto guard = std::make_unique<CallGuard>();
    guard->inner = std::move(inner);
    return std::shared_ptr<CallGuard>(guard.release(), CallGuardDeleter{});
}

std::mutex *call_lock_of(const std::shared_ptr<void> &keep_alive) {
    if (keep_alive == nullptr || std::get_deleter<CallGuardDeleter>(keep_alive) == nullptr) {
        return nullptr;
    }
    return &static_cast<CallGuard *>(keep_alive.get())->calls;
}

} // namespace pyvorn
