#include "registration.hpp"

namespace py = pybind11;

// The order matters: every type is registered before the first signature that names it.
PYBIND11_MODULE(pyvorn_device, m) {
    m.doc() = "Python binding for VORN Device";
    pyvorn::register_return_code(m);
    pyvorn::register_data_stream(m);
    pyvorn::register_buffer_objects(m);
    auto device = pyvorn::register_device(m);
    pyvorn::register_block_transfers(device);
    pyvorn::register_stream_methods(device);
    pyvorn::register_device_queries(device);
    pyvorn::register_device_manager(m);
}
