#include "linux_device.hpp"

#include <stdexcept>

namespace vorn::linux_dev {

LinuxDevice::LinuxDevice(LinuxOptions options) : options_(std::move(options)) {
    if (!options_.regs.empty()) {
        window_ = std::make_unique<RegisterWindow>(options_);
    }
}

LinuxDevice::~LinuxDevice() {
    // The readers must not outlive the device; the callbacks stay for the handles' stop().
    for (auto &weak : readers_) {
        if (auto reader = weak.lock()) {
            reader->end_for_device();
        }
    }
}

bool LinuxDevice::apply(const StagedWrite &write) {
    std::uint32_t value = write.value;
    if (write.mask != 0xFFFFFFFFu) {
        const auto old = load(write.addr);
        if (!old) {
            return false;
        }
        value = (*old & ~write.mask) | (write.value & write.mask);
    }
    if (!window_->store(write.addr, value)) {
        return false;
    }
    counters_->register_writes.fetch_add(1, std::memory_order_relaxed);
    return true;
}

std::optional<std::uint32_t> LinuxDevice::load(std::uint32_t addr) {
    counters_->register_reads.fetch_add(1, std::memory_order_relaxed);
    return window_->load(addr);
}

BasicDeviceStatus LinuxDevice::set_register_sync(std::uint32_t addr, std::uint32_t value,
                                                 std::uint32_t mask) {
    std::lock_guard lock(mutex_);
    if (!holds(addr)) {
        return BasicDeviceStatus::Failure;
    }
    fetched_.insert(addr);
    return apply({addr, value, mask}) ? BasicDeviceStatus::Success : BasicDeviceStatus::Failure;
}

BasicDeviceStatus LinuxDevice::set_register(std::uint32_t addr, std::uint32_t value,
                                            std::uint32_t mask) {
    std::lock_guard lock(mutex_);
    if (!holds(addr)) {
        return BasicDeviceStatus::Failure;
    }
    fetched_.insert(addr);
    staged_.push_back({addr, value, mask});
    return BasicDeviceStatus::Success;
}

BasicDeviceStatus LinuxDevice::send_registers() {
    std::lock_guard lock(mutex_);
    if (!window_) {
        return BasicDeviceStatus::Failure;
    }
    bool all_applied = true;
    for (const auto &write : staged_) {
        all_applied = apply(write) && all_applied;
    }
    staged_.clear();
    return all_applied ? BasicDeviceStatus::Success : BasicDeviceStatus::Failure;
}

std::optional<std::uint32_t> LinuxDevice::get_register_sync(std::uint32_t addr) {
    std::lock_guard lock(mutex_);
    if (!holds(addr)) {
        return std::nullopt;
    }
    fetched_.insert(addr);
    const auto value = load(addr);
    if (value) {
        snapshot_[addr] = *value;
    }
    return value;
}

std::uint32_t LinuxDevice::get_register(std::uint32_t addr) {
    std::lock_guard lock(mutex_);
    if (!holds(addr)) {
        return 0;
    }
    fetched_.insert(addr);
    const auto found = snapshot_.find(addr);
    return found != snapshot_.end() ? found->second : 0;
}

BasicDeviceStatus LinuxDevice::read_registers() {
    std::lock_guard lock(mutex_);
    if (!window_) {
        return BasicDeviceStatus::Failure;
    }
    bool all_loaded = true;
    for (const auto addr : fetched_) {
        if (const auto value = load(addr)) {
            snapshot_[addr] = *value;
        } else {
            all_loaded = false;
        }
    }
    return all_loaded ? BasicDeviceStatus::Success : BasicDeviceStatus::Failure;
}

BasicDeviceStatus LinuxDevice::trigger(std::uint32_t addr, std::int32_t value) {
    std::lock_guard lock(mutex_);
    return holds(addr) && apply({addr, static_cast<std::uint32_t>(value), 0xFFFFFFFFu})
               ? BasicDeviceStatus::Success
               : BasicDeviceStatus::Failure;
}

std::uint64_t LinuxDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    std::lock_guard lock(mutex_);
    if (!window_ || !window_->holds_block(addr, length)) {
        return 0;
    }
    return window_->copy_in(addr, data, length) ? length : 0;
}

std::uint64_t LinuxDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    std::lock_guard lock(mutex_);
    if (!window_ || !window_->holds_block(addr, length)) {
        return 0;
    }
    return window_->copy_out(addr, data, length) ? length : 0;
}

std::optional<std::unique_ptr<Device::DataStream>>
LinuxDevice::start_read_stream(std::uint32_t addr, StreamCallback &&callback,
                               std::uint64_t chunk_size) {
    if (options_.stream.empty()) {
        throw std::runtime_error("device '" + options_.name +
                                 "' has no stream: create it with stream=PATH");
    }
    auto reader = std::make_shared<FileReader>(options_.stream, addr, std::move(callback),
                                               chunk_size, counters_);
    std::lock_guard lock(mutex_);
    std::erase_if(readers_, [](const auto &weak) { return weak.expired(); });
    readers_.push_back(reader);
    return std::make_unique<FileStream>(std::move(reader));
}

std::optional<std::string> LinuxDevice::get_status() {
    std::string text = "regs: ";
    if (window_) {
        text += window_->path() + " offset=" + std::to_string(window_->offset()) +
                " size=" + std::to_string(window_->size());
        if (options_.uio_map) {
            text += " uio_map=" + std::to_string(*options_.uio_map);
        }
    } else {
        text += "none";
    }
    text += "; stream: " + (options_.stream.empty() ? std::string("none") : options_.stream);
    text += "; register writes=" + std::to_string(counters_->register_writes.load()) +
            " reads=" + std::to_string(counters_->register_reads.load()) +
            "; stream bytes=" + std::to_string(counters_->stream_bytes.load());
    return text;
}

std::optional<std::string> LinuxDevice::get_info() {
    return "Linux device '" + options_.name + "'";
}

} // namespace vorn::linux_dev
