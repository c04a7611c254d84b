// One registration function per area, called by the module entry in registration order.
#pragma once

#include "py_device.hpp"

#include <pybind11/pybind11.h>

namespace pyvorn {

using DeviceClass = pybind11::class_<vorn::Device, PyDevice, vorn::DevicePtr>;

void register_return_code(pybind11::module_ &m);
void register_data_stream(pybind11::module_ &m);
void register_buffer_objects(pybind11::module_ &m);
// Device: the class, __init__, __repr__ and the register and trigger operations.
DeviceClass register_device(pybind11::module_ &m);
void register_block_transfers(DeviceClass &device);
void register_stream_methods(DeviceClass &device);
void register_device_queries(DeviceClass &device);
void register_device_manager(pybind11::module_ &m);

} // namespace pyvorn
