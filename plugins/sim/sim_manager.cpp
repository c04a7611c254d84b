// The simulated device plug-in's manager and entry point: the template a plug-in author copies.
#include "sim_device.hpp"
#include "sim_options.hpp"

#include <vorn/plugin.hpp>

namespace vorn::sim {
namespace {

class SimManager final : public DeviceManager {
  public:
    std::string info() override {
        return "VORN simulated device manager 0.1: software devices with registers, triggers, "
               "block transfers and pattern streams, for demos, tests and as a plug-in template.";
    }

    std::filesystem::path location() override { return plugin_path(); }

    std::string list_devices() override {
        return "sim: any number of simulated devices; create them with create_device(options).";
    }

    std::string get_device_options() override { return describe_sim_options(); }

    DevicePtr create_device(const std::string &options) override {
        return make_device<SimDevice>(*this, parse_sim_options(options));
    }
};

} // namespace
} // namespace vorn::sim

VORN_PLUGIN(vorn::sim::SimManager);
