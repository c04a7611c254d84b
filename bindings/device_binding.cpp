#include "instance_guards.hpp"
#include "registration.hpp"

#include <fmt/format.h>

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
        .def("set_register_sync", &Device::set_register_sync)
        .def("set_register", &Device::set_register)
        .def("send_registers", &Device::send_registers)
        .def("get_register_sync", &Device::get_register_sync)
        .def("get_register", &Device::get_register)
        .def("read_registers", &Device::read_registers)
        .def("trigger", &Device::trigger);
    return device;
}

void register_device_queries(DeviceClass &device) {
    device.def("get_status", &Device::get_status).def("get_info", &Device::get_info);
    // Device's last registration step, so these come after its methods.
    refuse_pickling(device);
    refuse_uninitialised_instances<Device>();
}

} // namespace pyvorn
