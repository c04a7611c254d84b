// A plug-in that calls another device from a thread of its own, the way a plug-in's worker
// thread would. create_device("target=0x<address>") takes the address of a live vorn::Device
// (what repr() of a Python Device shows), runs a fixed sequence of calls on it from a newly
// started thread, and returns a device whose get_info() reports the results:
//   "set_register_sync=<status> get_register_sync=<value|none> trigger=<status>
//    get_status=<text|none>"
// with "error:<what()>" for a call that threw.
//
// The calls run inside create_device because the binding releases the interpreter lock there:
// a Python device's methods need that lock on the worker thread while this thread waits for it.
#include <vorn/plugin.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using vorn::BasicDeviceStatus;
using vorn::Device;

vorn::Device *parse_target(const std::string &options) {
    const std::string prefix = "target=0x";
    if (options.rfind(prefix, 0) != 0 || options.size() == prefix.size()) {
        throw std::invalid_argument("expected target=0x<address>, got '" + options + "'");
    }
    std::size_t used = 0;
    const auto address = std::stoull(options.substr(prefix.size()), &used, 16);
    if (used != options.size() - prefix.size()) {
        throw std::invalid_argument("bad address in '" + options + "'");
    }
    return reinterpret_cast<vorn::Device *>(static_cast<std::uintptr_t>(address));
}

template <typename Call> std::string report(Call &&call) {
    try {
        return call();
    } catch (const std::exception &e) {
        return std::string("error:") + e.what();
    } catch (...) {
        return "error:unknown";
    }
}

std::string status_text(BasicDeviceStatus status) {
    return std::to_string(static_cast<std::int32_t>(status));
}

std::string call_sequence(Device &target) {
    std::string text = "set_register_sync=" +
                       report([&] { return status_text(target.set_register_sync(1, 2, 3)); });
    text += " get_register_sync=" + report([&] {
                const auto value = target.get_register_sync(5);
                return value ? std::to_string(*value) : std::string("none");
            });
    text += " trigger=" + report([&] { return status_text(target.trigger(7, -1)); });
    text += " get_status=" + report([&] { return target.get_status().value_or("none"); });
    return text;
}

class ReportDevice final : public Device {
  public:
    explicit ReportDevice(std::string report) : report_(std::move(report)) {}

    BasicDeviceStatus set_register(std::uint32_t, std::uint32_t, std::uint32_t) override {
        return BasicDeviceStatus::Failure;
    }
    BasicDeviceStatus send_registers() override { return BasicDeviceStatus::Failure; }
    std::uint32_t get_register(std::uint32_t) override { return 0; }
    BasicDeviceStatus read_registers() override { return BasicDeviceStatus::Failure; }
    BasicDeviceStatus trigger(std::uint32_t, std::int32_t) override {
        return BasicDeviceStatus::Failure;
    }
    std::uint64_t write(std::uint32_t, std::uint64_t, std::uint8_t *) override { return 0; }
    std::uint64_t read(std::uint32_t, std::uint64_t, std::uint8_t *) override { return 0; }
    std::optional<std::string> get_info() override { return report_; }

  private:
    std::string report_;
};

class ThreadCallerManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "thread_caller"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return {}; }
    std::string get_device_options() override { return "target=0x<address of a Device>"; }

    vorn::DevicePtr create_device(const std::string &options) override {
        Device *target = parse_target(options);
        std::string text;
        std::thread caller([&] { text = call_sequence(*target); });
        caller.join();
        return vorn::DevicePtr(new ReportDevice(std::move(text)),
                               vorn::device_deleter{shared_from_this()});
    }
};

} // namespace

VORN_PLUGIN(ThreadCallerManager);
