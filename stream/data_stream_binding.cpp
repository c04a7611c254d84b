#include "bindings/instance_guards.hpp"
#include "bindings/lock_release.hpp"
#include "bindings/registration.hpp"
#include "python_delivery_hooks.hpp"

#include <pybind11/stl.h>

namespace py = pybind11;

namespace pyvorn {
namespace {

using DataStream = vorn::Device::DataStream;

// Registered as DataStream's trampoline; Python cannot construct a DataStream, so this only
// completes the registration.
class PyDataStream : public DataStream {
  public:
    void stop() override { PYBIND11_OVERRIDE_PURE(void, DataStream, stop, ); }
};

} // namespace

void register_data_stream(py::module_ &m) {
    // stop() runs released: the device may wait for its delivery thread, which needs the lock.
    // Ctrl-C ends the wait (the stop stays requested) and is raised here.
    const auto stop = [](DataStream &self) {
        const InterruptibleWaits interruptible;
        without_interpreter_lock([&] { self.stop(); });
        if (PyErr_Occurred() != nullptr) {
            throw py::error_already_set();
        }
    };
    py::class_<DataStream, PyDataStream, std::unique_ptr<DataStream>> data_stream(m, "DataStream");
    data_stream.def("stop", stop)
        .def("__enter__", [](DataStream &self) -> DataStream & { return self; })
        .def("__exit__", [stop](DataStream &self, const std::optional<py::type> &,
                                const std::optional<py::object> &,
                                const std::optional<py::object> &) { stop(self); });
    refuse_pickling(data_stream);
    refuse_uninitialised_instances<DataStream>();
}

} // namespace pyvorn
