#include "override_block_buffer.hpp"

#include <cstring>
#include <new>
#include <string>

namespace py = pybind11;

namespace pyvorn {
namespace {

// An exporter of bytes it owns, counting the buffers exported from it.
struct BlockBytes {
    PyObject_HEAD std::uint8_t *bytes;
    Py_ssize_t length;
    int readonly;
    Py_ssize_t exports;
};

std::uint8_t no_bytes = 0; // a buffer needs a non-null pointer, even for 0 bytes

int get_block_buffer(PyObject *self, Py_buffer *view, int flags) {
    auto *block = reinterpret_cast<BlockBytes *>(self);
    std::uint8_t *bytes = block->bytes != nullptr ? block->bytes : &no_bytes;
    if (PyBuffer_FillInfo(view, self, bytes, block->length, block->readonly, flags) != 0) {
        return -1;
    }
    ++block->exports;
    return 0;
}

void release_block_buffer(PyObject *self, Py_buffer *) {
    --reinterpret_cast<BlockBytes *>(self)->exports;
}

void free_block(PyObject *self) {
    delete[] reinterpret_cast<BlockBytes *>(self)->bytes;
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot block_slots[] = {{Py_bf_getbuffer, reinterpret_cast<void *>(get_block_buffer)},
                             {Py_bf_releasebuffer, reinterpret_cast<void *>(release_block_buffer)},
                             {Py_tp_dealloc, reinterpret_cast<void *>(free_block)},
                             {0, nullptr}};

PyType_Spec block_spec{"pyvorn_device._BlockBytes", sizeof(BlockBytes), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, block_slots};

PyTypeObject *block_type() {
    static PyTypeObject *type = nullptr; // created once, under the interpreter lock
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&block_spec));
        if (type == nullptr) {
            throw py::error_already_set();
        }
    }
    return type;
}

py::object make_block(const std::uint8_t *data, std::uint64_t length, bool readonly) {
    auto *bytes = length != 0 ? new std::uint8_t[length] : nullptr;
    if (length != 0) {
        std::memcpy(bytes, data, length);
    }
    PyTypeObject *type = block_type();
    auto *block = reinterpret_cast<BlockBytes *>(type->tp_alloc(type, 0));
    if (block == nullptr) {
        delete[] bytes;
        throw py::error_already_set();
    }
    block->bytes = bytes;
    block->length = static_cast<Py_ssize_t>(length);
    block->readonly = readonly ? 1 : 0;
    block->exports = 0;
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(block));
}

// Releases the view handed to the override; returns whether anything still holds a buffer of
// the block (a view derived from it, or an export of the view itself).
bool views_remain(py::object &view, const py::object &block) {
    try {
        view.attr("release")();
    } catch (const py::error_already_set &e) {
        if (!e.matches(PyExc_BufferError)) {
            throw;
        }
        return true; // the view itself is exported
    }
    return reinterpret_cast<BlockBytes *>(block.ptr())->exports != 0;
}

} // namespace

py::object call_with_block_view(const py::function &override, const char *method,
                                std::uint32_t addr, std::uint64_t length, std::uint8_t *data,
                                bool copy_back) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        throw std::bad_alloc();
    }
    const py::object block = make_block(data, length, !copy_back);
    py::object view = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(block.ptr()));
    if (!view) {
        throw py::error_already_set();
    }
    const auto copy_back_bytes = [&] {
        if (copy_back && length != 0) {
            std::memcpy(data, reinterpret_cast<BlockBytes *>(block.ptr())->bytes, length);
        }
    };
    py::object result;
    try {
        result = override(addr, length, view);
    } catch (const std::exception &) {
        // A forced unwind is no std::exception and passes untouched: Python may not be called
        // on a thread being ended.
        copy_back_bytes();
        try {
            views_remain(view, block);
        } catch (const py::error_already_set &) {
            // the override's own error is the one to raise
        }
        throw;
    }
    copy_back_bytes();
    if (views_remain(view, block)) {
        throw py::buffer_error(std::string(method) +
                               "(): the override returned while views of its buffer still exist");
    }
    return result;
}

} // namespace pyvorn
