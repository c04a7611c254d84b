#include "callback_consumers.hpp"

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <spdlog/spdlog.h>

#include <cstring>
#include <cxxabi.h>
#include <memory>

namespace pyvorn {
namespace {

using vorn::ChunkView;
using vorn::OwnedChunk;
using vorn::StreamEvent;

constexpr const char* unsupported_view_message = "Unsupported data type: DataView";

// Nothing may leave the delivery thread: a Python error or any other exception from the callback
// is logged, and delivery goes on. A forced unwind (the runtime ending this thread) must pass.
template <typename Call> void call_guarded(Call&& call) {
    try {
        call();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        spdlog::error("Error in callback: {}", e.what());
    } catch (...) {
        spdlog::error("Error in callback: {}", "unknown exception");
    }
}

template <typename Callback> struct Consumer {
    Callback callback;
    std::shared_ptr<vorn::stream::PieceOwnerSlot> owner_slot;
    std::shared_ptr<void> keep_alive; // the device's: keeps its release functions loaded

    void deliver_text(std::string text) {
        call_guarded([&] { callback(std::nullopt, std::move(text)); });
    }
    void deliver_end() {
        call_guarded([&] { callback(std::nullopt, std::nullopt); });
    }
};

template <typename Callback> void destroy_consumer(void* state) {
    if (state == nullptr) {
        return;
    }
    auto* consumer = static_cast<Consumer<Callback>*>(state);
    if (Py_IsFinalizing()) {
        // Dropping the callable needs the interpreter lock, which a finalizing interpreter no
        // longer hands out; the process is ending, so leave it.
        return;
    }
    delete consumer;
}

void deliver_managed(void* state, StreamEvent* event) {
    auto& consumer = *static_cast<Consumer<ManagedBufferCallback>*>(state);
    if (Py_IsFinalizing()) {
        return;
    }
    switch (event->index()) {
    case 0:
        return consumer.deliver_end();
    case 1:
        return consumer.deliver_text(std::move(std::get<1>(*event)));
    case 2: {
        auto& chunk = std::get<2>(*event);
        // The bytes pass to Python; if the callback fails before they reach a Python object,
        // the buffer still owns them and releases them when it goes.
        std::optional<ManagedBuffer> buffer{std::in_place, chunk.release,
                                            std::exchange(chunk.data, nullptr), chunk.size,
                                            consumer.keep_alive};
        call_guarded([&] { consumer.callback(std::move(buffer), std::nullopt); });
        return;
    }
    case 3:
        return consumer.deliver_text(unsupported_view_message);
    default:
        call_guarded([] { throw std::bad_variant_access(); });
    }
}

std::shared_ptr<const void> copy_of(const ChunkView& view) {
    auto copy = std::make_shared<std::uint8_t[]>(view.size);
    if (view.size != 0) {
        std::memcpy(copy.get(), view.data, view.size);
    }
    return copy;
}

void deliver_view(void* state, StreamEvent* event) {
    auto& consumer = *static_cast<Consumer<DataViewCallback>*>(state);
    if (Py_IsFinalizing()) {
        return;
    }
    switch (event->index()) {
    case 0:
        return consumer.deliver_end();
    case 1:
        return consumer.deliver_text(std::move(std::get<1>(*event)));
    case 2: {
        auto owned = std::make_shared<OwnedChunk>(std::move(std::get<2>(*event)));
        DataView view{owned->data, owned->size, consumer.keep_alive, owned};
        call_guarded([&] { consumer.callback(std::move(view), std::nullopt); });
        return;
    }
    case 3: {
        const ChunkView piece = std::get<3>(*event);
        std::shared_ptr<const void> owner =
            consumer.owner_slot ? consumer.owner_slot->current : nullptr;
        if (!owner) {
            // Lent bytes are only valid during this call, and Python may keep the view.
            owner = copy_of(piece);
            DataView view{static_cast<std::uint8_t*>(const_cast<void*>(owner.get())), piece.size,
                          nullptr, owner};
            call_guarded([&] { consumer.callback(std::move(view), std::nullopt); });
            return;
        }
        DataView view{piece.data, piece.size, consumer.keep_alive, std::move(owner)};
        call_guarded([&] { consumer.callback(std::move(view), std::nullopt); });
        return;
    }
    default:
        call_guarded([] { throw std::bad_variant_access(); });
    }
}

constexpr vorn::StreamCallbackOps managed_consumer_ops{
    deliver_managed, destroy_consumer<ManagedBufferCallback>};
constexpr vorn::StreamCallbackOps view_consumer_ops{deliver_view,
                                                    destroy_consumer<DataViewCallback>};

} // namespace

vorn::StreamCallback make_callback_consumer(const ManagedBufferCallback& callback,
                                            std::shared_ptr<void> keep_alive) {
    auto consumer =
        new Consumer<ManagedBufferCallback>{callback, nullptr, std::move(keep_alive)};
    return vorn::StreamCallback{&managed_consumer_ops, consumer};
}

vorn::StreamCallback
make_callback_consumer(const DataViewCallback& callback,
                       std::shared_ptr<vorn::stream::PieceOwnerSlot> owner_slot,
                       std::shared_ptr<void> keep_alive) {
    auto consumer =
        new Consumer<DataViewCallback>{callback, std::move(owner_slot), std::move(keep_alive)};
    return vorn::StreamCallback{&view_consumer_ops, consumer};
}

} // namespace pyvorn
