#include "device_calls.hpp"
#include "instance_guards.hpp"
#include "registration.hpp"

#include <fmt/format.h>
#include <pybind11/stl.h>

namespace py = pybind11;

namespace pyvorn {

using vorn::Device;

DeviceClass register_device(py::module_ &m) {
    DeviceClass device(m, "Device");
    device.def(py::init<>())
        .def("__repr__",
             [](const Device &self) {
                 return fmt::format("<pyvorn_device.Device at {}>", fmt::ptr(&self));
             })
        .def("set_register_sync",
             [](const DeviceSelf &self, std::uint32_t addr, std::uint32_t value,
                std::uint32_t mask) {
                 return call_device(
                     self, [&](Device &d) { return d.set_register_sync(addr, value, mask); });
             })
        .def("set_register",
             [](const DeviceSelf &self, std::uint32_t addr, std::uint32_t value,
                std::uint32_t mask) {
                 return call_device(self,
                                    [&](Device &d) { return d.set_register(addr, value, mask); });
             })
        .def("send_registers",
             [](const DeviceSelf &self) {
                 return call_device(self, [](Device &d) { return d.send_registers(); });
             })
        .def("get_register_sync",
             [](const DeviceSelf &self, std::uint32_t addr) {
                 return call_device(self, [&](Device &d) { return d.get_register_sync(addr); });
             })
        .def("get_register",
             [](const DeviceSelf &self, std::uint32_t addr) {
                 return call_device(self, [&](Device &d) { return d.get_register(addr); });
             })
        .def("read_registers",
             [](const DeviceSelf &self) {
                 return call_device(self, [](Device &d) { return d.read_registers(); });
             })
        .def("trigger", [](const DeviceSelf &self, std::uint32_t addr, std::int32_t value) {
            return call_device(self, [&](Device &d) { return d.trigger(addr, value); });
        });
    return device;
}

void register_device_queries(DeviceClass &device) {
    device
        .def("get_status",
             [](const DeviceSelf &self) {
                 return call_device(self, [](Device &d) { return d.get_status(); });
             })
        .def("get_info", [](const DeviceSelf &self) {
            return call_device(self, [](Device &d) { return d.get_info(); });
        });
    // Device's last registration step, so these come after its methods.
    refuse_pickling(device);
    refuse_uninitialised_instances<Device>();
}

} // namespace pyvorn
