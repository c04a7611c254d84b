#include "device_calls.hpp"
#include "registration.hpp"

#include <stdexcept>

namespace py = pybind11;

namespace pyvorn {
namespace {

using vorn::Device;

// The device works directly on the exporter's memory: one flat run of unsigned bytes. The buffer
// stays exported for as long as the run lives, so no Python code can resize or free it while the
// device works on it with the interpreter lock released.
struct ByteRun {
    py::buffer_info info;

    ByteRun(const py::buffer &buffer, bool device_writes) : info(buffer.request()) {
        if (device_writes && info.readonly) {
            throw std::runtime_error("buffer is readonly");
        }
        if (info.ndim != 1) {
            throw std::runtime_error("ndim != 1");
        }
        if (info.format != "B") {
            throw std::runtime_error("Unsupported buffer format!");
        }
        if (info.strides[0] != 1) {
            throw std::runtime_error("strides[0] != 1");
        }
    }
    std::uint64_t length() const { return static_cast<std::uint64_t>(info.size); }
    std::uint8_t *bytes() const { return static_cast<std::uint8_t *>(info.ptr); }
};

std::uint64_t write_to_device(const DeviceSelf &self, std::uint32_t addr,
                              const py::buffer &source) {
    const ByteRun run(source, false);
    return call_device(self,
                       [&](Device &device) { return device.write(addr, run.length(), run.bytes()); });
}

std::uint64_t read_from_device(const DeviceSelf &self, std::uint32_t addr,
                               const py::buffer &destination) {
    const ByteRun run(destination, true);
    return call_device(self,
                       [&](Device &device) { return device.read(addr, run.length(), run.bytes()); });
}

} // namespace

void register_block_transfers(DeviceClass &device) {
    device.def("write", &write_to_device).def("read", &read_from_device);
}

} // namespace pyvorn
