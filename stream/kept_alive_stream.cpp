#include "kept_alive_stream.hpp"

#include <unistd.h>

namespace vorn::stream {

KeptAliveStream::KeptAliveStream(std::unique_ptr<Device::DataStream> stream,
                                 std::shared_ptr<void> keep_alive,
                                 std::shared_ptr<LiveDelivery> delivery,
                                 const DeliveryThreadHooks *hooks,
                                 std::shared_ptr<StreamStatistics> statistics)
    : keep_alive_(std::move(keep_alive)), stream_(std::move(stream)),
      delivery_(std::move(delivery)), hooks_(hooks), statistics_(std::move(statistics)),
      owner_process_(getpid()) {}

KeptAliveStream::~KeptAliveStream() {
    if (inherited_by_fork()) {
        // Whatever the plug-in's handle would join or wake does not exist in this process.
        (void)stream_.release();
        static_cast<void>(new std::shared_ptr<void>(std::move(keep_alive_)));
        return;
    }
    stop();
}

bool KeptAliveStream::inherited_by_fork() const { return getpid() != owner_process_; }

void KeptAliveStream::stop() {
    if (inherited_by_fork()) {
        return;
    }
    if (on_delivery_thread()) {
        std::unique_lock lock(stop_mutex_, std::try_to_lock);
        if (lock && !in_device_stop_) {
            stop_device();
        }
        return; // a stop in progress elsewhere ends the stream; waiting here could deadlock
    }
    std::lock_guard lock(stop_mutex_);
    if (!in_device_stop_) {
        stop_device(); // every call reaches the device: what a second stop does is its affair
    }
    wait_for_delivery();
}

void KeptAliveStream::stop_device() {
    struct Flag {
        bool &flag;
        explicit Flag(bool &set) : flag(set) { flag = true; }
        ~Flag() { flag = false; }
    } inside{in_device_stop_};
    stream_->stop();
}

// Only a delivery that was asked to stop is waited for: a plug-in may keep its callback until
// the handle is destroyed, and that delivery never ends before.
void KeptAliveStream::wait_for_delivery() {
    if (!delivery_ || !delivery_->stop.stop_requested() || delivery_->finished()) {
        return;
    }
    if (hooks_ != nullptr && hooks_->wait_finished != nullptr) {
        hooks_->wait_finished(*delivery_);
    } else {
        delivery_->wait_finished_until(std::nullopt);
    }
}

} // namespace vorn::stream
