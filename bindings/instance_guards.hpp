// Guards the bound classes against two ways Python can reach an object pybind11 never built.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <typeinfo>

namespace pyvorn {

// `Type.__new__(Type)` makes an object whose __init__ never ran; pybind11 would hand its methods
// raw, uninitialised storage. Such objects are refused with a cast error (RuntimeError) instead.
// Call once per bound type, after registering it.
template <typename Bound> void refuse_uninitialised_instances() {
    pybind11::detail::get_type_info(typeid(Bound))->operator_new = [](std::size_t) -> void * {
        throw pybind11::cast_error("");
    };
}

// Pickle protocols 0 and 1 rebuild an object through pybind11's common base, which aborts the
// process. Objects that cannot be pickled say so for every protocol.
template <typename Class> void refuse_pickling(Class &cls) {
    cls.def("__reduce__", [](const pybind11::object &self) -> pybind11::object {
        const auto name = pybind11::str(self.get_type().attr("__name__")).cast<std::string>();
        throw pybind11::type_error("cannot pickle '" + name + "' object");
    });
}

} // namespace pyvorn
