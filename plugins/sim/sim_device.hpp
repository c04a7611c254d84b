// The simulated device: registers with masks, triggers, block transfers and streams.
//
// Registers: set_register stages a host-side value, (old & ~mask) | (value & mask);
// send_registers commits every staged value to the device side; read_registers snapshots the
// device side; get_register reads the snapshot (0 for a register never written).
// Triggers count on the device side, readable after read_registers:
//   0xFFFF0000 trigger count, 0xFFFF0004 last trigger address, 0xFFFF0008 last trigger value.
// Block transfers: a space of block_size bytes (an option) that behaves like memory: any range
// reads back what was last written there, and zeros where nothing was. A transfer returns its
// length; one that does not lie entirely within the space transfers nothing and returns 0.
#pragma once

#include "sim_memory.hpp"
#include "sim_options.hpp"

#include <vorn/device.hpp>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace vorn::sim {

inline constexpr std::uint32_t trigger_count_register = 0xFFFF0000u;
inline constexpr std::uint32_t last_trigger_address_register = 0xFFFF0004u;
inline constexpr std::uint32_t last_trigger_value_register = 0xFFFF0008u;

class SimDevice final : public Device {
  public:
    explicit SimDevice(SimOptions options);

    BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value,
                                   std::uint32_t mask) override;
    BasicDeviceStatus send_registers() override;
    std::uint32_t get_register(std::uint32_t addr) override;
    BasicDeviceStatus read_registers() override;
    BasicDeviceStatus trigger(std::uint32_t addr, std::int32_t value) override;
    std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    std::optional<std::unique_ptr<DataStream>> start_read_stream(std::uint32_t addr,
                                                                 StreamCallback &&callback,
                                                                 std::uint64_t chunk_size) override;
    std::optional<std::string> get_status() override;
    std::optional<std::string> get_info() override;

  private:
    using Registers = std::unordered_map<std::uint32_t, std::uint32_t>;

    SimOptions options_;
    std::mutex mutex_; // create_device may run beside other Python threads; keep it simple
    Registers device_side_;
    Registers staged_;
    Registers snapshot_;
    SimMemory memory_;
    std::uint64_t streams_started_ = 0;
};

} // namespace vorn::sim
