// A plug-in's stream handle together with what keeps the plug-in's code loaded, and the guards
// the module puts around every stream handle it gives out.
#pragma once

#include "event_queue.hpp"

#include <vorn/device.hpp>

#include <memory>
#include <mutex>
#include <sys/types.h>

namespace vorn::stream {

// A stream may outlive its device and its manager in Python. The handle's code lives in the
// plug-in, so the device's keep-alive is held here, in the module's code, and dropped only after
// the plug-in's handle has been destroyed. (Dropping it inside the plug-in's own destructor could
// unload the library while that destructor still runs.)
//
// stop() does not depend on the plug-in's own stop() being safe to call from two threads at once:
//  - on an ordinary thread every call reaches the plug-in's stop, one call after another (never
//    two at once), and returns only once that stop has returned and the stream's delivery thread
//    has ended (through hooks->wait_finished, which may give up on an interrupt);
//  - on a delivery thread (a callback stopping its own stream or another one) it never waits:
//    it asks the stream to stop, and the stream ends after its current callback;
//  - in a child process made by fork() the stream is inert: its threads are not there, so
//    neither stop() nor the destructor calls into the plug-in.
class KeptAliveStream final : public Device::DataStream {
  public:
    KeptAliveStream(std::unique_ptr<Device::DataStream> stream, std::shared_ptr<void> keep_alive,
                    std::shared_ptr<LiveDelivery> delivery, const DeliveryThreadHooks *hooks,
                    std::shared_ptr<StreamStatistics> statistics = nullptr);
    ~KeptAliveStream() override;
    void stop() override;

    // The stream's counts (null when none were kept); they stay after the stream has ended.
    const StreamStatistics *statistics() const { return statistics_.get(); }
    // Whether the stream's delivery thread still runs. Any thread.
    bool delivering() const { return delivery_ && !delivery_->finished(); }

  private:
    bool inherited_by_fork() const;
    void wait_for_delivery();

    std::shared_ptr<void> keep_alive_; // declared first: destroyed after stream_
    std::unique_ptr<Device::DataStream> stream_;
    std::shared_ptr<LiveDelivery> delivery_;
    const DeliveryThreadHooks *hooks_;
    std::shared_ptr<StreamStatistics> statistics_;
    pid_t owner_process_;
    void stop_device(); // stop_mutex_ held

    std::recursive_mutex stop_mutex_; // a signal handler run by a wait may call stop() again
    bool in_device_stop_ = false;     // guarded by stop_mutex_: such a call skips the device
};

} // namespace vorn::stream
