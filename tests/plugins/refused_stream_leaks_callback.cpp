// Fault: refuses every stream but keeps the callback, never destroying it.
#include "stream_fault_base.hpp"

using vorn::test::GoodStream;

struct RefusingDevice final : vorn::test::FaultDevice<GoodStream> {
    using FaultDevice::FaultDevice;
    std::optional<std::unique_ptr<DataStream>>
    start_read_stream(std::uint32_t, vorn::StreamCallback &&callback, std::uint64_t) override {
        new vorn::StreamCallback(std::move(callback)); // leaked with the callback inside
        return std::nullopt;
    }
};

struct RefusingManager final : vorn::test::FaultManager<GoodStream> {
    vorn::DevicePtr create_device(const std::string &) override {
        return vorn::DevicePtr(new RefusingDevice(false), vorn::device_deleter{shared_from_this()});
    }
};

VORN_TEST_MANAGER_PLUGIN(RefusingManager)
