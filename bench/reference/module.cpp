// vorn_bench_reference: the benchmark's reference design and native baselines.
#include "reference_stream.hpp"
#include "virtual_target.hpp"

#include <pybind11/pybind11.h>


#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

namespace py = pybind11;
using namespace vorn::bench;

namespace {

// Copies of `size` bytes per second over `seconds`, from one source into a rotation of eight
// destinations: a device's lent buffer copied into a pool with a few chunks in flight.
double memcpy_rate(std::uint64_t size, double seconds) {
    constexpr std::size_t rotation = 8;
    std::vector<std::uint8_t> source(size, 1);
    std::vector<std::vector<std::uint8_t>> destinations(rotation, std::vector<std::uint8_t>(size));
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::uint64_t copies = 0;
    auto now = start;
    while (now < end) {
        for (int i = 0; i < 64; ++i, ++copies) {
            std::memcpy(destinations[copies % rotation].data(), source.data(), size);
        }
        now = std::chrono::steady_clock::now();
    }
    return static_cast<double>(copies) / std::chrono::duration<double>(now - start).count();
}

} // namespace

PYBIND11_MODULE(vorn_bench_reference, m) {
    if (!ready_chunk_type()) {
        throw py::error_already_set();
    }
    py::class_<ReferenceStream>(m, "ReferenceStream")
        .def(py::init([](py::object callback, std::uint64_t chunk_size, std::uint64_t rate,
                         bool lent, std::size_t max_queue) {
                 return std::make_unique<ReferenceStream>(callback.ptr(), chunk_size, rate, lent,
                                                          max_queue);
             }),
             py::arg("callback"), py::arg("chunk_size"), py::arg("rate"), py::arg("lent"),
             py::arg("max_queue") = 4096)
        // Released: the delivery thread needs the lock to finish its event.
        .def("stop", &ReferenceStream::stop, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("delivered", &ReferenceStream::delivered)
        .def_property_readonly("drops", &ReferenceStream::drops);
    m.def("memcpy_rate", &memcpy_rate, py::arg("size"), py::arg("seconds"),
          py::call_guard<py::gil_scoped_release>());
    py::class_<VirtualTarget>(m, "VirtualTarget")
        .def(py::init(&make_virtual_target))
        .def("get", &VirtualTarget::get)
        .def("set", &VirtualTarget::set)
        // What releasing the lock around a call and taking a per-object mutex costs by itself.
        .def("get_released", [](VirtualTarget &target, std::uint32_t addr) {
            static std::mutex calls;
            const py::gil_scoped_release released; // touches no Python object
            const std::lock_guard lock(calls);
            return target.get(addr);
        });
}
