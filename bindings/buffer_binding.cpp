#include "buffer_objects.hpp"
#include "instance_guards.hpp"
#include "registration.hpp"

namespace py = pybind11;

namespace pyvorn {
namespace {

// Flat, writable unsigned bytes. The exported view holds a reference to the Python object, so
// the bytes stay alive while any view of them exists.
py::buffer_info export_bytes(std::uint8_t *data, std::uint64_t size) {
    static std::uint8_t no_bytes = 0; // a moved-from buffer exports an empty run
    return py::buffer_info(data != nullptr ? data : &no_bytes, 1,
                           py::format_descriptor<std::uint8_t>::format(), 1,
                           {data != nullptr ? static_cast<py::ssize_t>(size) : py::ssize_t{0}},
                           {py::ssize_t{1}}, false);
}

} // namespace

void register_buffer_objects(py::module_ &m) {
    py::class_<ManagedBuffer> managed_buffer(m, "ManagedBuffer", py::buffer_protocol());
    managed_buffer.def_buffer(
        [](ManagedBuffer &buffer) { return export_bytes(buffer.data, buffer.size); });
    refuse_pickling(managed_buffer);
    refuse_uninitialised_instances<ManagedBuffer>();

    py::class_<DataView> data_view(m, "DataView", py::buffer_protocol());
    data_view.def_buffer([](DataView &view) { return export_bytes(view.data, view.size); });
    refuse_pickling(data_view);
    refuse_uninitialised_instances<DataView>();
}

} // namespace pyvorn
