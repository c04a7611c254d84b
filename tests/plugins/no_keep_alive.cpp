// Fault: devices come without a keep-alive, so the library can unload while a device lives.
#include "stream_fault_base.hpp"

using vorn::test::GoodStream;

struct NoKeepAliveManager final : vorn::test::FaultManager<GoodStream> {
    vorn::DevicePtr create_device(const std::string &) override {
        return vorn::DevicePtr(new vorn::test::FaultDevice<GoodStream>(false));
    }
};

VORN_TEST_MANAGER_PLUGIN(NoKeepAliveManager)
