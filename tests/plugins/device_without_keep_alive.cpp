// Fault: devices come without a keep-alive, so nothing of the plug-in keeps its library loaded
// once the manager is gone.
#include <vorn/plugin.hpp>

#include <string>

namespace {

class PlainDevice final : public vorn::Device {
  public:
    vorn::BasicDeviceStatus set_register(std::uint32_t, std::uint32_t, std::uint32_t) override {
        return vorn::BasicDeviceStatus::Success;
    }
    vorn::BasicDeviceStatus send_registers() override { return vorn::BasicDeviceStatus::Success; }
    std::uint32_t get_register(std::uint32_t addr) override { return addr + 1; }
    vorn::BasicDeviceStatus read_registers() override { return vorn::BasicDeviceStatus::Success; }
    vorn::BasicDeviceStatus trigger(std::uint32_t, std::int32_t) override {
        return vorn::BasicDeviceStatus::Success;
    }
    std::uint64_t write(std::uint32_t, std::uint64_t length, std::uint8_t *) override {
        return length;
    }
    std::uint64_t read(std::uint32_t, std::uint64_t, std::uint8_t *) override { return 0; }
    std::optional<std::string> get_info() override { return std::string(40, 'i'); }
};

class PlainManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "devices without keep-alive"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return "plain"; }
    std::string get_device_options() override { return {}; }
    vorn::DevicePtr create_device(const std::string &) override {
        return vorn::DevicePtr(new PlainDevice());
    }
};

} // namespace

VORN_PLUGIN(PlainManager);
