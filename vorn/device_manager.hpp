// The device-manager interface a plug-in implements, and the handles that carry lifetimes across
// the plug-in boundary.
//
// Frozen across the plug-in boundary: the order of DeviceManager's virtual operations, the field
// of manager_deleter and device_deleter, and the entry point's name and type: a plug-in exports
//     VORN_EXPORT vorn::DeviceManager* create_manager();
// (see <vorn/export.hpp>). Ownership of the returned manager passes to the loader.
//
// Lifetimes: the loader wraps the manager in a std::shared_ptr whose deleter holds the loaded
// library, so the library is unloaded only after the manager is gone. A device's keep-alive
// (device_deleter::keep_alive) is released after the device is destroyed; a plug-in puts there
// what must outlive the device, normally its manager's shared_from_this().
#pragma once

#include <vorn/device.hpp>

#include <filesystem>
#include <memory>
#include <string>

namespace boost::dll {
class shared_library;
}

namespace vorn {

struct device_deleter {
    std::shared_ptr<void> keep_alive;

    void operator()(Device *device) const { delete device; }
};

using DevicePtr = std::unique_ptr<Device, device_deleter>;

struct DeviceManager : public std::enable_shared_from_this<DeviceManager> {
    virtual ~DeviceManager() = default;
    virtual std::string info() = 0;
    virtual std::filesystem::path location() = 0;
    virtual std::string list_devices() = 0;
    virtual std::string get_device_options() = 0;
    virtual DevicePtr create_device(const std::string &options) = 0;
};

// Holds the loaded library for as long as the manager's control block lives.
struct manager_deleter {
    std::shared_ptr<boost::dll::shared_library> library;

    void operator()(DeviceManager *manager) const { delete manager; }
};

using ManagerFactory = DeviceManager *();

static_assert(sizeof(device_deleter) == sizeof(std::shared_ptr<void>));
static_assert(sizeof(DevicePtr) == sizeof(Device *) + sizeof(std::shared_ptr<void>));
static_assert(sizeof(manager_deleter) == sizeof(std::shared_ptr<void>));

} // namespace vorn
