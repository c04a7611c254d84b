// PyDevice: the device behind every Device object made from Python. Each operation looks for a
// Python method of the same name on the object and calls it; without one, pure operations raise
// and the others keep the interface's base behaviour.
//
// Any thread may call these: each override takes the interpreter lock itself (a no-op when the
// thread holds it) for the look-up and the Python call only, and gives it back before running
// base behaviour or raising the pure-virtual error.
#pragma once

#include <vorn/device_manager.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace pyvorn {

class PyDevice : public vorn::Device {
  public:
    using Status = vorn::BasicDeviceStatus;

    PyDevice() = default;
    ~PyDevice() override = default;

    Status set_register_sync(std::uint32_t addr, std::uint32_t value, std::uint32_t mask) override;
    Status set_register(std::uint32_t addr, std::uint32_t value, std::uint32_t mask) override;
    Status send_registers() override;
    std::optional<std::uint32_t> get_register_sync(std::uint32_t addr) override;
    std::uint32_t get_register(std::uint32_t addr) override;
    Status read_registers() override;
    Status trigger(std::uint32_t addr, std::int32_t value) override;
    // A Python override receives (addr, length, data) with data a memoryview of the `length`
    // bytes, read-only for write and writable for read, released when the override returns.
    // It sees a copy, written back after a read: views derived from it may outlive the call
    // without reaching the caller's memory, and the call then fails with BufferError.
    std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override;
    std::optional<std::string> get_status() override;
    std::optional<std::string> get_info() override;
};

} // namespace pyvorn
