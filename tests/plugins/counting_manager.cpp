// A well-behaved plug-in that counts constructions and destructions of its managers and devices,
// so tests can see what is alive and in which order things are destroyed. The counters are read
// through the exported counting_* functions (only while the library is loaded), or through the
// manager's info(): "managers=<alive> devices=<alive>".
#include <vorn/plugin.hpp>

#include <atomic>
#include <string>

namespace {

std::atomic<int> managers_constructed{0};
std::atomic<int> managers_destroyed{0};
std::atomic<int> devices_constructed{0};
std::atomic<int> devices_destroyed{0};
// Devices destroyed when no manager was alive any more: the keep-alive failed to keep it.
std::atomic<int> devices_orphaned{0};

int managers_alive() { return managers_constructed - managers_destroyed; }

class CountingDevice final : public vorn::Device {
  public:
    CountingDevice() { ++devices_constructed; }
    ~CountingDevice() override {
        if (managers_alive() == 0) {
            ++devices_orphaned;
        }
        ++devices_destroyed;
    }

    vorn::BasicDeviceStatus set_register(std::uint32_t, std::uint32_t, std::uint32_t) override {
        return vorn::BasicDeviceStatus::Success;
    }
    vorn::BasicDeviceStatus send_registers() override { return vorn::BasicDeviceStatus::Success; }
    std::uint32_t get_register(std::uint32_t) override { return 0; }
    vorn::BasicDeviceStatus read_registers() override { return vorn::BasicDeviceStatus::Success; }
    vorn::BasicDeviceStatus trigger(std::uint32_t, std::int32_t) override {
        return vorn::BasicDeviceStatus::Success;
    }
    std::uint64_t write(std::uint32_t, std::uint64_t length, std::uint8_t *) override {
        return length;
    }
    std::uint64_t read(std::uint32_t, std::uint64_t, std::uint8_t *) override { return 0; }
};

class CountingManager final : public vorn::DeviceManager {
  public:
    CountingManager() { ++managers_constructed; }
    ~CountingManager() override { ++managers_destroyed; }

    std::string info() override {
        return "managers=" + std::to_string(managers_alive()) +
               " devices=" + std::to_string(devices_constructed - devices_destroyed);
    }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return "counting"; }
    std::string get_device_options() override { return {}; }
    vorn::DevicePtr create_device(const std::string &) override {
        return vorn::DevicePtr(new CountingDevice(), vorn::device_deleter{shared_from_this()});
    }
};

} // namespace

VORN_PLUGIN(CountingManager);

VORN_EXPORT int counting_managers_constructed() { return managers_constructed; }
VORN_EXPORT int counting_managers_destroyed() { return managers_destroyed; }
VORN_EXPORT int counting_devices_constructed() { return devices_constructed; }
VORN_EXPORT int counting_devices_destroyed() { return devices_destroyed; }
VORN_EXPORT int counting_devices_orphaned() { return devices_orphaned; }
