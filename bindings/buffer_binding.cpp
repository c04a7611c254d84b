#include "buffer_objects.hpp"
#include "instance_guards.hpp"
#include "registration.hpp"

#include <cstdint>

namespace py = pybind11;

namespace pyvorn {
namespace {

// Flat, writable unsigned bytes, described straight from the object: pybind11's generic exporter
// looks the type up and allocates a description per request, which costs more than a stream
// callback's own work. The view holds a reference to the object, so the bytes stay alive while
// any view of them exists.
template <typename Payload> int export_bytes(PyObject *self, Py_buffer *view, int flags) {
    static const py::detail::type_info *const type = py::detail::get_type_info(typeid(Payload));
    auto holder = reinterpret_cast<py::detail::instance *>(self)->get_value_and_holder(type, false);
    const auto *payload = holder ? static_cast<const Payload *>(holder.value_ptr()) : nullptr;
    if (payload == nullptr || !holder.holder_constructed()) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "the object holds no bytes");
        return -1;
    }
    static std::uint8_t no_bytes = 0; // a moved-from buffer exports an empty run
    std::uint8_t *bytes = payload->data != nullptr ? payload->data : &no_bytes;
    const auto length = payload->data != nullptr ? static_cast<Py_ssize_t>(payload->size) : 0;
    return PyBuffer_FillInfo(view, self, bytes, length, 0, flags);
}

template <typename Payload> void install_exporter(const py::class_<Payload> &cls) {
    auto *heap_type = reinterpret_cast<PyHeapTypeObject *>(cls.ptr());
    heap_type->as_buffer.bf_getbuffer = export_bytes<Payload>;
    heap_type->as_buffer.bf_releasebuffer = nullptr; // the description owns nothing
}

} // namespace

void register_buffer_objects(py::module_ &m) {
    py::class_<ManagedBuffer> managed_buffer(m, "ManagedBuffer", py::buffer_protocol());
    install_exporter(managed_buffer);
    refuse_pickling(managed_buffer);
    refuse_uninitialised_instances<ManagedBuffer>();

    py::class_<DataView> data_view(m, "DataView", py::buffer_protocol());
    install_exporter(data_view);
    refuse_pickling(data_view);
    refuse_uninitialised_instances<DataView>();
}

} // namespace pyvorn
