// Fault: refuses every stream but keeps the callback, never destroying it.
#include "stream_fault_base.hpp"

struct Unused final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
};

class RefusingManager final : public vorn::DeviceManager {
    struct RefusingDevice final : vorn::test::FaultDevice<Unused> {
        using FaultDevice::FaultDevice;
        std::optional<std::unique_ptr<DataStream>>
        start_read_stream(std::uint32_t, vorn::StreamCallback &&callback, std::uint64_t) override {
            new vorn::StreamCallback(std::move(callback)); // leaked with the callback inside
            return std::nullopt;
        }
    };

  public:
    std::string info() override { return "refusing manager"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return "refusing0"; }
    std::string get_device_options() override { return ""; }
    vorn::DevicePtr create_device(const std::string &) override {
        return vorn::DevicePtr(new RefusingDevice(false), vorn::device_deleter{shared_from_this()});
    }
};

VORN_EXPORT vorn::DeviceManager *create_manager() { return new RefusingManager(); }
