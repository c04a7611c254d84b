#include "device_calls.hpp"
#include "instance_guards.hpp"
#include "lock_release.hpp"
#include "registration.hpp"

#include "loader.hpp"

#include <pybind11/stl/filesystem.h>

namespace py = pybind11;

namespace pyvorn {

// A plug-in's path, converted like std::filesystem::path, except that an exception other than
// a TypeError raised while converting (KeyboardInterrupt from __fspath__ or a Ctrl-C arriving in
// it) reaches the caller unchanged instead of becoming "incompatible function arguments".
struct PluginPath {
    std::filesystem::path value;
};

} // namespace pyvorn

namespace pybind11::detail {

template <> class type_caster<pyvorn::PluginPath> {
  public:
    PYBIND11_TYPE_CASTER(pyvorn::PluginPath, const_name("os.PathLike"));

    bool load(handle source, bool convert) {
        auto text = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
        if (!text) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
                throw error_already_set();
            }
            PyErr_Clear(); // not a path: the next overload, or the usual TypeError
            return false;
        }
        // str or bytes now: converting them runs no Python code.
        path_caster<std::filesystem::path> path;
        if (!path.load(text, convert)) {
            return false;
        }
        value.value = static_cast<std::filesystem::path &>(path);
        return true;
    }
};

} // namespace pybind11::detail

namespace pyvorn {

using vorn::DeviceManager;

void register_device_manager(py::module_ &m) {
    py::class_<DeviceManager, std::shared_ptr<DeviceManager>> manager(m, "DeviceManager");
    manager.def("info", [](DeviceManager &manager) { return manager.info(); })
        .def("location", [](DeviceManager &manager) { return manager.location(); })
        .def("list_devices", [](DeviceManager &manager) { return manager.list_devices(); })
        .def("get_device_options",
             [](DeviceManager &manager) { return manager.get_device_options(); })
        .def("create_device", [](DeviceManager &manager, const std::string &options) {
            // Device creation may take long (hardware enumeration); other Python threads may run
            // meanwhile, and nothing here touches Python objects.
            auto device =
                without_interpreter_lock([&] { return manager.create_device(options); });
            if (device) {
                auto &keep_alive = device.get_deleter().keep_alive;
                // A device that outlives its manager in Python still runs the plug-in's code.
                keep_alive = make_call_guard(keep_alive ? std::move(keep_alive)
                                                        : manager.shared_from_this());
            }
            return device;
        });
    refuse_pickling(manager);
    refuse_uninitialised_instances<DeviceManager>();

    // The lock stays held: loading runs the plug-in's initialisers and create_manager.
    m.def("get_device_manager",
          [](const PluginPath &path) { return vorn::get_device_manager(path.value); });
}

} // namespace pyvorn
