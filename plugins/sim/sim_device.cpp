#include "sim_device.hpp"

#include "sim_stream.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vorn::sim {

SimDevice::SimDevice(SimOptions options)
    : options_(std::move(options)), memory_(options_.block_size) {}

BasicDeviceStatus SimDevice::set_register(std::uint32_t addr, std::uint32_t value,
                                          std::uint32_t mask) {
    std::lock_guard lock(mutex_);
    auto staged = staged_.find(addr);
    std::uint32_t current = 0;
    if (staged != staged_.end()) {
        current = staged->second;
    } else if (auto committed = device_side_.find(addr); committed != device_side_.end()) {
        current = committed->second;
    }
    staged_[addr] = (current & ~mask) | (value & mask);
    return BasicDeviceStatus::Success;
}

BasicDeviceStatus SimDevice::send_registers() {
    std::lock_guard lock(mutex_);
    if (options_.fail_send) {
        return BasicDeviceStatus::Failure;
    }
    for (const auto &[addr, value] : staged_) {
        device_side_[addr] = value;
    }
    staged_.clear();
    return BasicDeviceStatus::Success;
}

std::uint32_t SimDevice::get_register(std::uint32_t addr) {
    std::lock_guard lock(mutex_);
    auto found = snapshot_.find(addr);
    return found != snapshot_.end() ? found->second : 0;
}

BasicDeviceStatus SimDevice::read_registers() {
    std::lock_guard lock(mutex_);
    if (options_.fail_read) {
        return BasicDeviceStatus::Failure;
    }
    snapshot_ = device_side_;
    return BasicDeviceStatus::Success;
}

BasicDeviceStatus SimDevice::trigger(std::uint32_t addr, std::int32_t value) {
    std::lock_guard lock(mutex_);
    ++device_side_[trigger_count_register];
    device_side_[last_trigger_address_register] = addr;
    device_side_[last_trigger_value_register] = static_cast<std::uint32_t>(value);
    return BasicDeviceStatus::Success;
}

std::uint64_t SimDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    std::lock_guard lock(mutex_);
    try {
        return memory_.write(addr, length, data) ? length : 0;
    } catch (const std::bad_alloc &) {
        return 0; // nothing was written
    }
}

std::uint64_t SimDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    std::lock_guard lock(mutex_);
    return memory_.read(addr, length, data) ? length : 0;
}

std::optional<std::unique_ptr<Device::DataStream>>
SimDevice::start_read_stream(std::uint32_t /*addr*/, StreamCallback &&callback,
                             std::uint64_t chunk_size) {
    std::lock_guard lock(mutex_);
    try {
        auto stream = std::make_unique<SimStream>(std::move(callback), options_, chunk_size);
        ++streams_started_;
        return stream;
    } catch (const std::bad_alloc &) {
        return std::nullopt; // a chunk size no buffer can have: refused, the callback unused
    } catch (const std::length_error &) {
        return std::nullopt;
    }
}

std::optional<std::string> SimDevice::get_status() {
    std::lock_guard lock(mutex_);
    return "ok: " + std::to_string(device_side_.size()) + " registers set, " +
           std::to_string(streams_started_) + " streams started";
}

std::optional<std::string> SimDevice::get_info() {
    return "Simulated VORN device '" + options_.name + "'";
}

} // namespace vorn::sim
