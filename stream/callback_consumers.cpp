#include "callback_consumers.hpp"

#include "callback_error_log.hpp"
#include "recycled_blocks.hpp"

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>

namespace py = pybind11;

namespace pyvorn {
namespace {

using vorn::ChunkView;
using vorn::OwnedChunk;
using vorn::StreamEvent;

constexpr const char *unsupported_view_message = "Unsupported data type: DataView";

using vorn::stream::StreamStatistics;

template <typename Payload>
using PayloadCallback = std::function<void(std::optional<Payload>, std::optional<std::string>)>;

// The Python callable behind the callback, called directly: the std::function pybind11 makes of
// it builds an argument tuple and casts every argument per call. A bound C++ function that
// pybind11 unwrapped to a plain pointer is wrapped back into a Python callable that hands it
// the payload as pybind11 would have.
// Caller: holds the interpreter lock.
template <typename Payload> py::object python_callable(const PayloadCallback<Payload> &callback) {
    using Wrapper = py::detail::type_caster_std_function_specializations::func_wrapper<
        void, std::optional<Payload>, std::optional<std::string>>;
    if (const auto *wrapper = callback.template target<Wrapper>()) {
        return wrapper->hfunc.f;
    }
    return py::cpp_function([callback](const py::object &payload, const py::object &text) {
        std::optional<Payload> native;
        if (!payload.is_none()) {
            native.emplace(std::move(payload.cast<Payload &>()));
        }
        std::optional<std::string> words;
        if (!text.is_none()) {
            words = text.cast<std::string>();
        }
        callback(std::move(native), std::move(words));
    });
}

ManagedBuffer empty_payload(ManagedBuffer *) { return ManagedBuffer{nullptr, nullptr, 0}; }
DataView empty_payload(DataView *) { return DataView{}; }

// Releases the bytes. The keep-alive stays: it is the consumer's own, which outlives the object
// it keeps, and setting it again for the next event then costs nothing.
void clear(ManagedBuffer &buffer) {
    if (auto *bytes = std::exchange(buffer.data, nullptr)) {
        buffer.release(bytes);
    }
    buffer.size = 0;
}

void clear(DataView &view) {
    view.data = nullptr;
    view.size = 0;
    view.owner.reset();
}

// One payload object handed to the callback event after event for as long as nobody else holds
// it: making, registering and freeing a pybind11 instance per event costs more than the call.
// Python cannot tell: an object is reused only when the callback kept no reference, weak
// reference or exported view of it, and it is emptied right after its call, when a dropped one
// would have been freed. Delivery thread only, with the interpreter lock held.
template <typename Payload> class ReusedPayload {
  public:
    // An empty payload to fill for the next call. Throws what pybind11 throws when it cannot
    // make the object.
    Payload &next() {
        if (!object_) {
            object_ = py::cast(empty_payload(static_cast<Payload *>(nullptr)),
                               py::return_value_policy::move);
            native_ = &object_.template cast<Payload &>();
        }
        return *native_;
    }
    PyObject *object() const { return object_.ptr(); }

    // After the call: the bytes go now, the object stays only if Python holds nothing of it.
    void recycle() {
        if (!object_) {
            return;
        }
        const auto *instance = reinterpret_cast<py::detail::instance *>(object_.ptr());
        if (Py_REFCNT(object_.ptr()) == 1 && instance->weakrefs == nullptr) {
            clear(*native_);
        } else {
            object_ = py::object();
            native_ = nullptr;
        }
    }

  private:
    py::object object_;
    Payload *native_ = nullptr;
};

template <typename Payload> struct Consumer {
    // Declared first so it goes last: dropping the callable may drop the stream, its device and
    // manager, and the consumer's own members must not outlive the plug-in's code.
    std::shared_ptr<void> keep_alive; // the device's: keeps its release functions loaded
    py::object callable;
    std::shared_ptr<vorn::stream::PieceOwnerSlot> owner_slot;
    std::shared_ptr<StreamStatistics> statistics;
    ReusedPayload<Payload> payload;
    vorn::stream::CallbackErrorLog error_log;

    // cb(first, second); a Python error arrives as py::error_already_set.
    void call(PyObject *first, PyObject *second) {
        PyObject *args[] = {first, second};
        PyObject *result = PyObject_Vectorcall(callable.ptr(), args, 2, nullptr);
        if (result == nullptr) {
            throw py::error_already_set();
        }
        Py_DECREF(result);
    }

    // Nothing may leave the delivery thread: a Python error (or any error making the arguments)
    // arrives as a std::exception and is logged, and delivery goes on. Nothing else is caught, so
    // a forced unwind (the runtime ending this thread) passes on as it must.
    template <typename Call> void call_guarded(Call &&call) {
        try {
            call();
        } catch (const std::exception &e) {
            StreamStatistics::add(statistics->callback_errors);
            error_log.error(e.what());
        }
    }
    void count_payload(std::uint64_t size) {
        StreamStatistics::add(statistics->events);
        StreamStatistics::add(statistics->bytes, size);
    }
    // Fills the reused payload object and calls cb(payload, None).
    template <typename Fill> void deliver_payload(Fill &&fill) {
        call_guarded([&] {
            Payload &native = payload.next();
            fill(native);
            count_payload(native.size);
            call(payload.object(), Py_None);
        });
        payload.recycle();
    }

    void deliver_text(const std::string &text) {
        call_guarded([&] {
            auto decoded = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
                text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
            if (!decoded) {
                throw py::error_already_set();
            }
            call(Py_None, decoded.ptr());
        });
    }
    void deliver_end() {
        call_guarded([&] { call(Py_None, Py_None); });
    }
    // Defined per payload type below.
    void deliver_owned(OwnedChunk &chunk);
    void deliver_lent(const ChunkView &view);
};

// The bytes pass to the Python object; if it cannot be made, the chunk still owns them.
template <> void Consumer<ManagedBuffer>::deliver_owned(OwnedChunk &chunk) {
    deliver_payload([&](ManagedBuffer &buffer) {
        buffer.release = chunk.release;
        buffer.data = std::exchange(chunk.data, nullptr);
        buffer.size = chunk.size;
        buffer.keep_alive = keep_alive;
    });
}

template <> void Consumer<ManagedBuffer>::deliver_lent(const ChunkView &) {
    deliver_text(unsupported_view_message);
}

std::shared_ptr<std::uint8_t[]> copy_of(const ChunkView &view) {
    auto copy = std::make_shared<std::uint8_t[]>(view.size);
    if (view.size != 0) {
        std::memcpy(copy.get(), view.data, view.size);
    }
    return copy;
}

// Allocation failures of the native owners leave the event with the delivery loop, which
// reports it as lost in its place.
template <> void Consumer<DataView>::deliver_owned(OwnedChunk &chunk) {
    auto owned = std::allocate_shared<OwnedChunk>(
        vorn::stream::RecyclingAllocator<OwnedChunk>{}, std::move(chunk));
    deliver_payload([&](DataView &view) {
        view.data = owned->data;
        view.size = owned->size;
        view.keep_alive = keep_alive;
        view.owner = std::move(owned);
    });
}

template <> void Consumer<DataView>::deliver_lent(const ChunkView &piece) {
    std::shared_ptr<const void> owner = owner_slot ? owner_slot->current : nullptr;
    std::shared_ptr<void> code_keep_alive = keep_alive;
    auto *data = piece.data;
    if (!owner) {
        // Lent bytes are only valid during this call, and Python may keep the view.
        auto copy = copy_of(piece);
        data = copy.get();
        owner = std::move(copy);
        code_keep_alive = nullptr;
    }
    deliver_payload([&](DataView &view) {
        view.data = data;
        view.size = piece.size;
        view.keep_alive = std::move(code_keep_alive);
        view.owner = std::move(owner);
    });
}

template <typename Payload> void deliver(void *state, StreamEvent *event) {
    auto &consumer = *static_cast<Consumer<Payload> *>(state);
    if (Py_IsFinalizing()) {
        return; // the interpreter no longer runs Python code for other threads
    }
    // Events normally come inside a batch that holds the lock already.
    std::optional<py::gil_scoped_acquire> lock;
    if (PyGILState_Check() == 0) {
        lock.emplace();
    }
    switch (event->index()) {
    case 0:
        return consumer.deliver_end();
    case 1:
        return consumer.deliver_text(std::get<1>(*event));
    case 2:
        return consumer.deliver_owned(std::get<2>(*event));
    case 3:
        return consumer.deliver_lent(std::get<3>(*event));
    default:
        consumer.call_guarded([] { throw std::bad_variant_access(); });
    }
}

template <typename Payload> void destroy_consumer(void *state) {
    if (state == nullptr) {
        return;
    }
    auto *consumer = static_cast<Consumer<Payload> *>(state);
    if (Py_IsFinalizing()) {
        // Dropping the callable needs the interpreter lock, which a finalizing interpreter no
        // longer hands out; the process is ending, so leave it.
        return;
    }
    // The callable and the payload object are Python objects; whoever destroys the consumer
    // waits for it with the lock released (or holds it).
    py::gil_scoped_acquire lock;
    delete consumer;
}

constexpr vorn::StreamCallbackOps managed_consumer_ops{deliver<ManagedBuffer>,
                                                       destroy_consumer<ManagedBuffer>};
constexpr vorn::StreamCallbackOps view_consumer_ops{deliver<DataView>, destroy_consumer<DataView>};

} // namespace

vorn::StreamCallback make_callback_consumer(const ManagedBufferCallback &callback,
                                            std::shared_ptr<void> keep_alive,
                                            std::shared_ptr<StreamStatistics> statistics) {
    auto consumer = new Consumer<ManagedBuffer>{std::move(keep_alive),
                                                python_callable<ManagedBuffer>(callback), nullptr,
                                                std::move(statistics), {}, {}};
    return vorn::StreamCallback{&managed_consumer_ops, consumer};
}

vorn::StreamCallback
make_callback_consumer(const DataViewCallback &callback,
                       std::shared_ptr<vorn::stream::PieceOwnerSlot> owner_slot,
                       std::shared_ptr<void> keep_alive,
                       std::shared_ptr<StreamStatistics> statistics) {
    auto consumer =
        new Consumer<DataView>{std::move(keep_alive), python_callable<DataView>(callback),
                               std::move(owner_slot), std::move(statistics), {}, {}};
    return vorn::StreamCallback{&view_consumer_ops, consumer};
}

} // namespace pyvorn
