// The remote device plug-in: devices served by vorn-serve on another machine (or this one).
#include "remote_device.hpp"
#include "remote_options.hpp"

#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

#include <dlfcn.h>

namespace vorn::remote {
namespace {

class RemoteManager final : public DeviceManager {
  public:
    std::string info() override {
        return "VORN remote device manager 0.1: devices of any plug-in served by vorn-serve, "
               "reached over ZeroMQ. Options: endpoint=tcp://HOST:PORT [timeout_ms=N] "
               "[server_key=FILE client_secret=FILE] -- DEVICE OPTIONS.";
    }

    std::filesystem::path location() override {
        Dl_info found{};
        if (dladdr(reinterpret_cast<void *>(&plugin_anchor), &found) == 0 ||
            found.dli_fname == nullptr) {
            return {};
        }
        return std::filesystem::absolute(std::filesystem::path(found.dli_fname));
    }

    std::string list_devices() override {
        return "remote: the devices of the plug-in a vorn-serve serves; create them with "
               "create_device('endpoint=tcp://HOST:PORT -- DEVICE OPTIONS').";
    }

    std::string get_device_options() override { return describe_remote_options(); }

    DevicePtr create_device(const std::string &options) override {
        auto device = std::make_unique<RemoteDevice>(context_, parse_remote_options(options));
        // The manager (its ZeroMQ context, and through its deleter this library) outlives
        // every device.
        return DevicePtr(device.release(), device_deleter{shared_from_this()});
    }

    static void plugin_anchor() {}

    ~RemoteManager() override {
        if (creator_.inherited()) {
            // Terminating the context would wait forever for I/O threads only the parent has.
            static_cast<void>(new zmq::context_t(std::move(context_)));
        }
    }

  private:
    zmq::context_t context_{1};
    CreatorProcess creator_;
};

} // namespace
} // namespace vorn::remote

VORN_EXPORT vorn::DeviceManager *create_manager() { return new vorn::remote::RemoteManager(); }
