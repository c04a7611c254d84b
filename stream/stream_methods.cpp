#include "bindings/device_calls.hpp"
#include "bindings/registration.hpp"
#include "callback_consumers.hpp"
#include "chunk_aligner.hpp"
#include "event_queue.hpp"
#include "kept_alive_stream.hpp"
#include "python_delivery_hooks.hpp"

#include <pybind11/functional.h>
#include <pybind11/stl.h>

#include <limits>
#include <stdexcept>

namespace py = pybind11;

namespace pyvorn {
namespace {

using vorn::Device;
using StreamResult = std::optional<std::unique_ptr<Device::DataStream>>;

constexpr std::uint64_t default_chunk_size = 0;
constexpr std::uint64_t default_max_queue_elements = 4096;

// The queue's limit is a signed 32-bit value; a larger request is refused rather than truncated.
std::int32_t queue_limit(std::uint64_t max_queue_elements) {
    if (max_queue_elements > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::runtime_error("max_elements must not be greater than 2147483647");
    }
    return static_cast<std::int32_t>(max_queue_elements);
}

template <typename Callback> void require_startable(const Callback &callback) {
    if (!callback) {
        throw py::type_error("callback must be callable");
    }
    if (interpreter_exiting()) {
        throw std::runtime_error("cannot start a stream: the interpreter is exiting");
    }
}

// What the device's Python object keeps alive besides the device (for a plug-in's device, its
// manager and so its library).
std::shared_ptr<void> keep_alive_of(const Device &device) {
    const auto *type = py::detail::get_type_info(typeid(Device));
    const py::handle self = py::detail::get_object_handle(&device, type);
    if (!self) {
        return nullptr;
    }
    auto holder = reinterpret_cast<py::detail::instance *>(self.ptr())->get_value_and_holder(type);
    return holder.holder<vorn::DevicePtr>().get_deleter().keep_alive;
}

using vorn::stream::StreamStatistics;

StreamResult hand_chain_to_device(const DeviceSelf &self, std::uint32_t addr,
                                  vorn::StreamCallback chain,
                                  std::uint64_t chunk_size, std::shared_ptr<void> keep_alive,
                                  std::shared_ptr<StreamStatistics> statistics) {
    stop_deliveries_at_exit();
    auto delivery = vorn::stream::delivery_of(chain);
    StreamResult result = call_device(self, [&](Device &device) {
        return device.start_read_stream(addr, std::move(chain), chunk_size);
    });
    // What the device did not take ends here; its teardown waits with the lock released.
    chain.reset();
    if (!result || !*result) {
        return std::nullopt;
    }
    return std::make_unique<vorn::stream::KeptAliveStream>(
        std::move(*result), std::move(keep_alive), std::move(delivery), &python_delivery_hooks(),
        std::move(statistics));
}

// "the stream calling <repr of the callback>", for the exit wait's message. Holds the lock.
template <typename Payload>
std::string
stream_name(const std::function<void(std::optional<Payload>, std::optional<std::string>)> &callback) {
    using Wrapper = py::detail::type_caster_std_function_specializations::func_wrapper<
        void, std::optional<Payload>, std::optional<std::string>>;
    const auto *wrapper = callback.template target<Wrapper>();
    if (wrapper == nullptr) {
        return "a stream";
    }
    py::error_scope keep_pending_error;
    try {
        return "the stream calling " + py::str(py::repr(wrapper->hfunc.f)).template cast<std::string>();
    } catch (const std::exception &) {
        return "a stream";
    }
}

vorn::stream::QueueOptions queue_options(std::shared_ptr<void> keep_alive,
                                         std::shared_ptr<vorn::stream::LostBytes> lost_bytes,
                                         std::shared_ptr<StreamStatistics> statistics,
                                         std::string name) {
    return {&python_delivery_hooks(), std::move(lost_bytes), std::move(keep_alive),
            std::move(statistics), std::move(name)};
}

StreamResult start_read_stream(const DeviceSelf &self, std::uint32_t addr,
                               const ManagedBufferCallback &callback, std::uint64_t chunk_size,
                               std::uint64_t max_queue_elements) {
    require_startable(callback);
    const auto limit = queue_limit(max_queue_elements);
    auto statistics = std::make_shared<StreamStatistics>();
    auto keep_alive = keep_alive_of(*self.device);
    auto chain = vorn::stream::make_queued_callback(
        make_callback_consumer(callback, keep_alive, statistics), limit,
        queue_options(keep_alive, nullptr, statistics, stream_name(callback)));
    return hand_chain_to_device(self, addr, std::move(chain), chunk_size, std::move(keep_alive),
                                statistics);
}

StreamResult start_aligned_read_stream(const DeviceSelf &self, std::uint32_t addr,
                                       std::uint64_t alignment,
                                       const DataViewCallback &callback, std::uint64_t chunk_size,
                                       std::uint64_t max_queue_elements) {
    require_startable(callback);
    if (alignment == 0) {
        throw std::runtime_error("alignment must be greater than 0");
    }
    const auto limit = queue_limit(max_queue_elements);
    auto owner_slot = std::make_shared<vorn::stream::PieceOwnerSlot>();
    auto lost_bytes = std::make_shared<vorn::stream::LostBytes>();
    auto statistics = std::make_shared<StreamStatistics>();
    auto keep_alive = keep_alive_of(*self.device);
    auto aligner = vorn::stream::make_aligned_callback(
        make_callback_consumer(callback, owner_slot, keep_alive, statistics), alignment,
        owner_slot, lost_bytes, statistics);
    auto chain = vorn::stream::make_queued_callback(
        std::move(aligner), limit,
        queue_options(keep_alive, lost_bytes, statistics, stream_name(callback)));
    return hand_chain_to_device(self, addr, std::move(chain), chunk_size, std::move(keep_alive),
                                statistics);
}

} // namespace

void register_stream_methods(DeviceClass &device) {
    device
        .def("start_read_stream", &start_read_stream, py::arg("addr"), py::arg("callback"),
             py::kw_only(), py::arg("chunk_size") = default_chunk_size,
             py::arg("max_queue_elements") = default_max_queue_elements,
             py::return_value_policy::move)
        .def("start_aligned_read_stream", &start_aligned_read_stream, py::arg("addr"),
             py::arg("alignment"), py::arg("callback"), py::kw_only(),
             py::arg("chunk_size") = default_chunk_size,
             py::arg("max_queue_elements") = default_max_queue_elements,
             py::return_value_policy::move);
}

} // namespace pyvorn
