#include "registration.hpp"

namespace pyvorn {

void register_return_code(pybind11::module_& m) {
    pybind11::enum_<vorn::BasicDeviceStatus>(m, "ReturnCode")
        .value("Success", vorn::BasicDeviceStatus::Success)
        .value("Failure", vorn::BasicDeviceStatus::Failure);
}

} // namespace pyvorn
