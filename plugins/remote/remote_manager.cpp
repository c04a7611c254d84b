// The remote device plug-in: devices served by vorn-serve on another machine (or this one).
#include "remote_device.hpp"
#include "remote_options.hpp"

#include <vorn/plugin.hpp>

#include <algorithm>
#include <map>
#include <mutex>

namespace vorn::remote {
namespace {

class RemoteManager final : public DeviceManager {
  public:
    std::string info() override {
        return "VORN remote device manager 0.1: devices of any plug-in served by vorn-serve, "
               "reached over ZeroMQ. Options: endpoint=tcp://HOST:PORT [device=NAME] "
               "[timeout_ms=N] "
               "[server_key=FILE client_secret=FILE] [-- DEVICE OPTIONS].";
    }

    std::filesystem::path location() override { return plugin_path(); }

    // The devices each server this manager has reached publishes, one line per server.
    std::string list_devices() override {
        std::map<std::string, RemoteOptions> servers;
        {
            std::lock_guard lock(mutex_);
            servers = servers_;
        }
        std::string text;
        for (const auto &[endpoint, options] : servers) {
            RequestChannel channel(context_, options);
            Message reply;
            std::string error;
            std::string names;
            if (channel.call({.op = Op::list_devices, .text = {}}, reply, error)) {
                names = reply.text;
                std::replace(names.begin(), names.end(), '\n', ' ');
            } else {
                names = "(" + error + ")";
            }
            text += endpoint + ": " + names + "\n";
        }
        return text + "remote: create_device('endpoint=tcp://HOST:PORT device=NAME') opens a "
                      "device a vorn-serve publishes (listed above for each server reached).";
    }

    std::string get_device_options() override { return describe_remote_options(); }

    DevicePtr create_device(const std::string &text) override {
        RemoteOptions options = parse_remote_options(text);
        {
            std::lock_guard lock(mutex_);
            servers_.insert_or_assign(options.endpoint, options);
        }
        // The device's keep-alive holds the manager, so the ZeroMQ context outlives it.
        return make_device<RemoteDevice>(*this, context_, std::move(options));
    }

    ~RemoteManager() override {
        if (creator_.inherited()) {
            // Terminating the context would wait forever for I/O threads only the parent has.
            static_cast<void>(new zmq::context_t(std::move(context_)));
        }
    }

  private:
    zmq::context_t context_{1};
    std::mutex mutex_;
    std::map<std::string, RemoteOptions> servers_; // by endpoint: the servers reached
    CreatorProcess creator_;
};

} // namespace
} // namespace vorn::remote

VORN_PLUGIN(vorn::remote::RemoteManager);
