#include "bindings/instance_guards.hpp"
#include "bindings/lock_release.hpp"
#include "bindings/registration.hpp"
#include "python_delivery_hooks.hpp"

#include "kept_alive_stream.hpp"

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

constexpr const char *statistics_doc = R"(A dict of what the stream has delivered and lost so far:
events: payloads handed to the callback; bytes: their bytes;
dropped: events lost to a full queue, counted when lost (also those a stop discarded the text of);
drop_runs: "Queue Overflow, dropping event" texts delivered, one per run of consecutive drops;
allocation_failures: events lost to a failed allocation, counted when lost;
callback_errors: exceptions the callback raised (each logged);
max_queue_depth: the most events that ever waited in the queue;
running: whether the stream still delivers.
The counts are read without a lock, and stay once the stream has ended.)";

py::dict statistics_of(const DataStream &self) {
    const auto *kept = dynamic_cast<const vorn::stream::KeptAliveStream *>(&self);
    const auto *counts = kept != nullptr ? kept->statistics() : nullptr;
    const auto read = [counts](const std::atomic<std::uint64_t> vorn::stream::StreamStatistics::*
                                   counter) -> std::uint64_t {
        return counts != nullptr ? (counts->*counter).load(std::memory_order_relaxed) : 0;
    };
    using vorn::stream::StreamStatistics;
    py::dict result;
    result["events"] = read(&StreamStatistics::events);
    result["bytes"] = read(&StreamStatistics::bytes);
    result["dropped"] = read(&StreamStatistics::dropped);
    result["drop_runs"] = read(&StreamStatistics::drop_runs);
    result["allocation_failures"] = read(&StreamStatistics::allocation_failures);
    result["callback_errors"] = read(&StreamStatistics::callback_errors);
    result["max_queue_depth"] = read(&StreamStatistics::max_queue_depth);
    result["running"] = kept != nullptr && kept->delivering();
    return result;
}

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
                                const std::optional<py::object> &) { stop(self); })
        // Registered after the stream's own methods, which keep their order.
        .def("statistics", &statistics_of, statistics_doc);
    refuse_pickling(data_stream);
    refuse_uninitialised_instances<DataStream>();
}

} // namespace pyvorn
