#include "callback_consumers.hpp"

#include "recycled_blocks.hpp"

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <spdlog/spdlog.h>

#include <cstring>
#include <memory>

namespace pyvorn {
namespace {

using vorn::ChunkView;
using vorn::OwnedChunk;
using vorn::StreamEvent;

constexpr const char *unsupported_view_message = "Unsupported data type: DataView";

using vorn::stream::StreamStatistics;

template <typename Callback> struct Consumer {
    // Declared first so it goes last: dropping the callable may drop the stream, its device and
    // manager, and the consumer's own members must not outlive the plug-in's code.
    std::shared_ptr<void> keep_alive; // the device's: keeps its release functions loaded
    Callback callback;
    std::shared_ptr<vorn::stream::PieceOwnerSlot> owner_slot;
    std::shared_ptr<StreamStatistics> statistics;

    // Nothing may leave the delivery thread: a Python error (or any error converting the
    // arguments) arrives as a std::exception and is logged, and delivery goes on. Nothing else is
    // caught, so a forced unwind (the runtime ending this thread) passes on as it must.
    template <typename Call> void call_guarded(Call &&call) {
        try {
            call();
        } catch (const std::exception &e) {
            StreamStatistics::add(statistics->callback_errors);
            spdlog::error("Error in callback: {}", e.what());
        }
    }
    void count_payload(std::uint64_t size) {
        StreamStatistics::add(statistics->events);
        StreamStatistics::add(statistics->bytes, size);
    }

    void deliver_text(std::string text) {
        call_guarded([&] { callback(std::nullopt, std::move(text)); });
    }
    void deliver_end() {
        call_guarded([&] { callback(std::nullopt, std::nullopt); });
    }
    // Defined per payload type below.
    void deliver_owned(OwnedChunk &chunk);
    void deliver_lent(const ChunkView &view);
};

// The bytes pass to Python; if the callback fails before they reach a Python object, the buffer
// still owns them and releases them when it goes.
template <> void Consumer<ManagedBufferCallback>::deliver_owned(OwnedChunk &chunk) {
    std::optional<ManagedBuffer> buffer{std::in_place, chunk.release,
                                        std::exchange(chunk.data, nullptr), chunk.size, keep_alive};
    count_payload(chunk.size);
    call_guarded([&] { callback(std::move(buffer), std::nullopt); });
}

template <> void Consumer<ManagedBufferCallback>::deliver_lent(const ChunkView &) {
    deliver_text(unsupported_view_message);
}

std::shared_ptr<std::uint8_t[]> copy_of(const ChunkView &view) {
    auto copy = std::make_shared<std::uint8_t[]>(view.size);
    if (view.size != 0) {
        std::memcpy(copy.get(), view.data, view.size);
    }
    return copy;
}

// Allocation failures of the payload objects leave the event with the delivery loop, which
// reports it as lost in its place.
template <> void Consumer<DataViewCallback>::deliver_owned(OwnedChunk &chunk) {
    auto owned = std::allocate_shared<OwnedChunk>(vorn::stream::RecyclingAllocator<OwnedChunk>{}, std::move(chunk));
    DataView view{owned->data, owned->size, keep_alive, owned};
    count_payload(view.size);
    call_guarded([&] { callback(std::move(view), std::nullopt); });
}

template <> void Consumer<DataViewCallback>::deliver_lent(const ChunkView &piece) {
    std::shared_ptr<const void> owner = owner_slot ? owner_slot->current : nullptr;
    DataView view{piece.data, piece.size, keep_alive, owner};
    if (!owner) {
        // Lent bytes are only valid during this call, and Python may keep the view.
        auto copy = copy_of(piece);
        view = DataView{copy.get(), piece.size, nullptr, copy};
    }
    count_payload(view.size);
    call_guarded([&] { callback(std::move(view), std::nullopt); });
}

template <typename Callback> void deliver(void *state, StreamEvent *event) {
    auto &consumer = *static_cast<Consumer<Callback> *>(state);
    if (Py_IsFinalizing()) {
        return; // the interpreter no longer runs Python code for other threads
    }
    switch (event->index()) {
    case 0:
        return consumer.deliver_end();
    case 1:
        return consumer.deliver_text(std::move(std::get<1>(*event)));
    case 2:
        return consumer.deliver_owned(std::get<2>(*event));
    case 3:
        return consumer.deliver_lent(std::get<3>(*event));
    default:
        consumer.call_guarded([] { throw std::bad_variant_access(); });
    }
}

template <typename Callback> void destroy_consumer(void *state) {
    if (state == nullptr) {
        return;
    }
    auto *consumer = static_cast<Consumer<Callback> *>(state);
    if (Py_IsFinalizing()) {
        // Dropping the callable needs the interpreter lock, which a finalizing interpreter no
        // longer hands out; the process is ending, so leave it.
        return;
    }
    delete consumer;
}

constexpr vorn::StreamCallbackOps managed_consumer_ops{deliver<ManagedBufferCallback>,
                                                       destroy_consumer<ManagedBufferCallback>};
constexpr vorn::StreamCallbackOps view_consumer_ops{deliver<DataViewCallback>,
                                                    destroy_consumer<DataViewCallback>};

} // namespace

vorn::StreamCallback make_callback_consumer(const ManagedBufferCallback &callback,
                                            std::shared_ptr<void> keep_alive,
                                            std::shared_ptr<StreamStatistics> statistics) {
    auto consumer = new Consumer<ManagedBufferCallback>{std::move(keep_alive), callback, nullptr,
                                                        std::move(statistics)};
    return vorn::StreamCallback{&managed_consumer_ops, consumer};
}

vorn::StreamCallback
make_callback_consumer(const DataViewCallback &callback,
                       std::shared_ptr<vorn::stream::PieceOwnerSlot> owner_slot,
                       std::shared_ptr<void> keep_alive,
                       std::shared_ptr<StreamStatistics> statistics) {
    auto consumer = new Consumer<DataViewCallback>{std::move(keep_alive), callback,
                                                   std::move(owner_slot), std::move(statistics)};
    return vorn::StreamCallback{&view_consumer_ops, consumer};
}

} // namespace pyvorn
