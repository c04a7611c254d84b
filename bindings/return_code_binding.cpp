#include "instance_guards.hpp"
#include "registration.hpp"

namespace pyvorn {

void register_return_code(pybind11::module_ &m) {
    pybind11::enum_<vorn::BasicDeviceStatus> return_code(m, "ReturnCode");
    return_code.value("Success", vorn::BasicDeviceStatus::Success)
        .value("Failure", vorn::BasicDeviceStatus::Failure);
    // Rebuilt from its value, for every pickle protocol (0 and 1 would otherwise abort).
    return_code.def("__reduce__", [](const pybind11::object &self) {
        return pybind11::make_tuple(self.get_type(), pybind11::make_tuple(pybind11::int_(self)));
    });
    refuse_uninitialised_instances<vorn::BasicDeviceStatus>();
}

} // namespace pyvorn
