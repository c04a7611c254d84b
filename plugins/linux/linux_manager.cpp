// The Linux device manager and the plug-in's entry point.
#include "linux_device.hpp"
#include "linux_options.hpp"
#include "uio_sysfs.hpp"

#include <vorn/plugin.hpp>

namespace vorn::linux_dev {
namespace {

class LinuxManager final : public DeviceManager {
  public:
    std::string info() override {
        return "VORN Linux device manager 0.1: registers and block transfers on a memory-mapped "
               "window (UIO maps, PCI resource files, /dev/mem, regular files) and streams read "
               "from character devices, FIFOs or files.";
    }

    std::filesystem::path location() override { return plugin_path(); }

    std::string list_devices() override { return describe_uio_devices(); }

    std::string get_device_options() override { return describe_linux_options(); }

    DevicePtr create_device(const std::string &options) override {
        return make_device<LinuxDevice>(*this, parse_linux_options(options));
    }
};

} // namespace
} // namespace vorn::linux_dev

VORN_PLUGIN(vorn::linux_dev::LinuxManager);
