// A plug-in's stream handle together with what keeps the plug-in's code loaded.
#pragma once

#include <vorn/device.hpp>

#include <memory>

namespace pyvorn {

// A stream may outlive its device and its manager in Python. The handle's code lives in the
// plug-in, so the device's keep-alive is held here, in the module's code, and dropped only after
// the plug-in's handle has been destroyed. (Dropping it inside the plug-in's own destructor could
// unload the library while that destructor still runs.)
class KeptAliveStream final : public vorn::Device::DataStream {
  public:
    KeptAliveStream(std::unique_ptr<vorn::Device::DataStream> stream,
                    std::shared_ptr<void> keep_alive);
    ~KeptAliveStream() override;
    void stop() override;

  private:
    std::shared_ptr<void> keep_alive_; // declared first: destroyed after stream_
    std::unique_ptr<vorn::Device::DataStream> stream_;
};

} // namespace pyvorn
