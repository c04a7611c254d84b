// A device on Linux kernel interfaces: registers and blocks in a memory-mapped window
// (regs=), streams read from a file (stream=).
//
// Registers: 32-bit little-endian words at 4-aligned byte offsets into the window. set_register
// stages (addr, value, mask); send_registers applies the staged writes in the order staged,
// each as (old & ~mask) | (value & mask), reading the old value only where the mask is not all
// ones, then clears the stage. The fetched set: every address ever staged with set_register or
// asked for with get_register, get_register_sync or set_register_sync. read_registers loads each
// of them into a snapshot that get_register reads (0 for an address not fetched yet; the next
// read_registers fetches it). The _sync forms touch the window at once and leave the stage
// alone. An unaligned address or one outside the window gives Failure and touches nothing.
// Triggers: trigger stores the value at once, no stage and no mask.
// Blocks: write/read copy between the window and the buffer; a transfer that does not fit in the
// window copies nothing and returns 0.
#pragma once

#include "file_stream.hpp"
#include "linux_options.hpp"
#include "register_window.hpp"

#include <vorn/device.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace vorn::linux_dev {

class LinuxDevice final : public Device {
  public:
    // Opens and maps regs= if given; throws as RegisterWindow does.
    explicit LinuxDevice(LinuxOptions options);
    // Ends the threads of the streams it started (their handles stay valid until stopped).
    ~LinuxDevice() override;

    BasicDeviceStatus set_register_sync(std::uint32_t addr, std::uint32_t value,
                                        std::uint32_t mask) override;
    BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value,
                                   std::uint32_t mask) override;
    BasicDeviceStatus send_registers() override;
    std::optional<std::uint32_t> get_register_sync(std::uint32_t addr) override;
    std::uint32_t get_register(std::uint32_t addr) override;
    BasicDeviceStatus read_registers() override;
    BasicDeviceStatus trigger(std::uint32_t addr, std::int32_t value) override;
    std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    // Throws std::runtime_error without stream= or when the file cannot be opened,
    // std::invalid_argument for a bad address or chunk size.
    std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr,
                                                                 StreamCallback &&callback,
                                                                 std::uint64_t chunk_size) override;
    std::optional<std::string> get_status() override;
    std::optional<std::string> get_info() override;

  private:
    struct StagedWrite {
        std::uint32_t addr;
        std::uint32_t value;
        std::uint32_t mask;
    };

    bool holds(std::uint32_t addr) const { return window_ && window_->holds_register(addr); }
    // mutex_ held; both fail only when a regular file behind the window shrank.
    bool apply(const StagedWrite &write);
    std::optional<std::uint32_t> load(std::uint32_t addr);

    LinuxOptions options_;
    std::unique_ptr<RegisterWindow> window_;
    std::shared_ptr<DeviceCounters> counters_ = std::make_shared<DeviceCounters>();
    std::mutex mutex_; // C++ callers may share a device between threads
    std::vector<StagedWrite> staged_;
    std::set<std::uint32_t> fetched_;
    std::map<std::uint32_t, std::uint32_t> snapshot_;
    std::vector<std::weak_ptr<FileReader>> readers_;
};

} // namespace vorn::linux_dev
