#include "py_device.hpp"

#include "override_block_buffer.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

using vorn::Device;

// Calls the Python override of a block transfer with a view of the bytes that nothing in Python
// can keep pointing into the caller's memory.
std::optional<std::uint64_t> call_block_override(const PyDevice *self, const char *name,
                                                 std::uint32_t addr, std::uint64_t length,
                                                 std::uint8_t *data, bool readonly) {
    py::gil_scoped_acquire gil;
    py::function override = py::get_override(static_cast<const Device *>(self), name);
    if (!override) {
        return std::nullopt;
    }
    py::object result = call_with_block_view(override, name, addr, length, data, !readonly);
    return py::detail::cast_safe<std::uint64_t>(std::move(result));
}

// Calls the Python override `name` of a status-returning operation, if there is one. A result of
// None is refused as a failed conversion: left to the generic cast it would surface as an
// argument mismatch of the Python caller's own call.
template <typename... Args>
std::optional<PyDevice::Status> call_status_override(const PyDevice *self, const char *name,
                                                     Args... args) {
    py::gil_scoped_acquire gil;
    py::function override = py::get_override(static_cast<const Device *>(self), name);
    if (!override) {
        return std::nullopt;
    }
    py::object result = override(args...);
    if (result.is_none()) {
        throw py::cast_error("");
    }
    return py::cast<PyDevice::Status>(std::move(result));
}

} // namespace

PyDevice::Status PyDevice::set_register_sync(std::uint32_t addr, std::uint32_t value,
                                             std::uint32_t mask) {
    if (auto status = call_status_override(this, "set_register_sync", addr, value, mask)) {
        return *status;
    }
    return Device::set_register_sync(addr, value, mask);
}

PyDevice::Status PyDevice::set_register(std::uint32_t addr, std::uint32_t value,
                                        std::uint32_t mask) {
    if (auto status = call_status_override(this, "set_register", addr, value, mask)) {
        return *status;
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::set_register\"");
}

PyDevice::Status PyDevice::send_registers() {
    if (auto status = call_status_override(this, "send_registers")) {
        return *status;
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::send_registers\"");
}

std::optional<std::uint32_t> PyDevice::get_register_sync(std::uint32_t addr) {
    PYBIND11_OVERRIDE(std::optional<std::uint32_t>, Device, get_register_sync, addr);
}

std::uint32_t PyDevice::get_register(std::uint32_t addr) {
    PYBIND11_OVERRIDE_PURE(std::uint32_t, Device, get_register, addr);
}

PyDevice::Status PyDevice::read_registers() {
    if (auto status = call_status_override(this, "read_registers")) {
        return *status;
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::read_registers\"");
}

PyDevice::Status PyDevice::trigger(std::uint32_t addr, std::int32_t value) {
    if (auto status = call_status_override(this, "trigger", addr, value)) {
        return *status;
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::trigger\"");
}

std::uint64_t PyDevice::write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    if (auto written = call_block_override(this, "write", addr, length, data, true)) {
        return *written;
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::write\"");
}

std::uint64_t PyDevice::read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) {
    if (auto filled = call_block_override(this, "read", addr, length, data, false)) {
        return *filled;
    }
    py::pybind11_fail("Tried to call pure virtual function \"Device::read\"");
}

std::optional<std::string> PyDevice::get_status() {
    PYBIND11_OVERRIDE(std::optional<std::string>, Device, get_status, );
}

std::optional<std::string> PyDevice::get_info() {
    PYBIND11_OVERRIDE(std::optional<std::string>, Device, get_info, );
}

} // namespace pyvorn
