// A minimal third-party plug-in: one device that echoes registers and block writes.
#include <vorn/device_manager.hpp>
#include <vorn/export.hpp>

#include <cstring>
#include <map>
#include <vector>

namespace {

class EchoDevice final : public vorn::Device {
  public:
    vorn::BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value,
                                         std::uint32_t mask) override {
        staged_[addr] = (staged_[addr] & ~mask) | (value & mask);
        return vorn::BasicDeviceStatus::Success;
    }
    vorn::BasicDeviceStatus send_registers() override {
        committed_ = staged_;
        return vorn::BasicDeviceStatus::Success;
    }
    std::uint32_t get_register(std::uint32_t addr) override { return committed_[addr]; }
    vorn::BasicDeviceStatus read_registers() override { return vorn::BasicDeviceStatus::Success; }
    vorn::BasicDeviceStatus trigger(std::uint32_t, std::int32_t) override {
        return vorn::BasicDeviceStatus::Failure;
    }
    std::uint64_t write(std::uint32_t, std::uint64_t length, std::uint8_t *data) override {
        last_.assign(data, data + length);
        return length;
    }
    std::uint64_t read(std::uint32_t, std::uint64_t length, std::uint8_t *data) override {
        const auto count = length < last_.size() ? length : last_.size();
        if (count != 0) {
            std::memcpy(data, last_.data(), count);
        }
        return count;
    }
    std::optional<std::string> get_info() override { return "echo device"; }

  private:
    std::map<std::uint32_t, std::uint32_t> staged_, committed_;
    std::vector<std::uint8_t> last_;
};

class EchoManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "echo manager"; }
    std::filesystem::path location() override { return "echo"; }
    std::string list_devices() override { return "echo"; }
    std::string get_device_options() override { return "none"; }
    vorn::DevicePtr create_device(const std::string &) override {
        return vorn::DevicePtr(new EchoDevice(), vorn::device_deleter{shared_from_this()});
    }
};

} // namespace

VORN_EXPORT_ABI_TAG();
VORN_EXPORT vorn::DeviceManager *create_manager() { return new EchoManager(); }
