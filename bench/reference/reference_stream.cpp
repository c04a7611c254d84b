#include "reference_stream.hpp"

#include <chrono>
#include <cstring>

namespace vorn::bench {
namespace {

struct ChunkObject {
    PyObject_HEAD std::uint8_t *data;
    Py_ssize_t size;
};

int chunk_getbuffer(PyObject *self, Py_buffer *view, int flags) {
    auto *chunk = reinterpret_cast<ChunkObject *>(self);
    return PyBuffer_FillInfo(view, self, chunk->data, chunk->size, 1, flags);
}

void chunk_dealloc(PyObject *self) {
    auto *chunk = reinterpret_cast<ChunkObject *>(self);
    vorn::ChunkPool::release(chunk->data);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot chunk_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(chunk_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void *>(chunk_getbuffer)},
    {0, nullptr},
};

PyType_Spec chunk_spec = {"vorn_bench_reference.Chunk", sizeof(ChunkObject), 0,
                          Py_TPFLAGS_DEFAULT, chunk_slots};

PyTypeObject *chunk_type = nullptr;

constexpr auto idle_wait = std::chrono::milliseconds(20);

} // namespace

bool ready_chunk_type() {
    if (chunk_type == nullptr) {
        chunk_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&chunk_spec));
    }
    return chunk_type != nullptr;
}

PyObject *make_chunk_object(std::uint8_t *data, std::uint64_t size) {
    auto *chunk = PyObject_New(ChunkObject, chunk_type);
    if (chunk == nullptr) {
        vorn::ChunkPool::release(data);
        return nullptr;
    }
    chunk->data = data;
    chunk->size = static_cast<Py_ssize_t>(size);
    return reinterpret_cast<PyObject *>(chunk);
}

ReferenceStream::ReferenceStream(PyObject *callback, std::uint64_t chunk_size, std::uint64_t rate,
                                 bool lent, std::size_t max_queue)
    : callback_(Py_NewRef(callback)), interpreter_(PyInterpreterState_Get()),
      chunk_size_(chunk_size), lent_(lent), pool_(vorn::ChunkPool::create(chunk_size)),
      lent_chunk_(lent ? chunk_size : 0), ring_(max_queue), pacing_(rate) {
    producer_ = std::thread([this] { produce(); });
    delivery_ = std::thread([this] { deliver(); });
}

ReferenceStream::~ReferenceStream() {
    if (producer_.joinable() || delivery_.joinable()) {
        // Not stopped from Python: let the delivery thread take the lock while waiting.
        Py_BEGIN_ALLOW_THREADS stop();
        Py_END_ALLOW_THREADS
    }
    Chunk left;
    while (ring_.pop(left)) {
        vorn::ChunkPool::release(left.data);
    }
    pool_.reset();
    Py_DECREF(callback_);
}

void ReferenceStream::stop() {
    stop_ = true;
    pacing_.stop();
    {
        std::lock_guard lock(wake_mutex_);
    }
    wake_.notify_all();
    if (producer_.joinable()) {
        producer_.join();
    }
    if (delivery_.joinable()) {
        delivery_.join();
    }
}

void ReferenceStream::wake_consumer() {
    if (consumer_sleeping_.load(std::memory_order_seq_cst)) {
        std::lock_guard lock(wake_mutex_);
        wake_.notify_one();
    }
}

void ReferenceStream::produce() {
    std::uint64_t sequence = 0;
    for (;;) {
        std::uint64_t due = pacing_.wait_due(sequence);
        if (due == 0) {
            return;
        }
        for (; due != 0; --due, ++sequence) {
            std::uint8_t *bytes = pool_->take();
            if (lent_) {
                stamp(lent_chunk_.data(), chunk_size_, sequence);
                std::memcpy(bytes, lent_chunk_.data(), chunk_size_);
            } else {
                stamp(bytes, chunk_size_, sequence);
            }
            if (ring_.push(Chunk{bytes, chunk_size_})) {
                wake_consumer();
            } else {
                drops_.fetch_add(1, std::memory_order_relaxed);
                vorn::ChunkPool::release(bytes);
            }
        }
    }
}

void ReferenceStream::deliver() {
    PyThreadState *state = PyThreadState_New(interpreter_);
    while (!stop_.load()) {
        Chunk chunk;
        if (!ring_.pop(chunk)) {
            std::unique_lock lock(wake_mutex_);
            consumer_sleeping_.store(true, std::memory_order_seq_cst);
            // The ring is looked at again after the flag is up: a push either sees the flag or
            // is seen here.
            wake_.wait_for(lock, idle_wait, [&] { return stop_.load() || ring_.pop(chunk); });
            consumer_sleeping_.store(false, std::memory_order_relaxed);
            if (chunk.data == nullptr) {
                continue;
            }
        }
        // One kept thread state: taking the lock costs no thread-state creation.
        PyEval_RestoreThread(state);
        PyObject *payload = make_chunk_object(chunk.data, chunk.size);
        PyObject *result = nullptr;
        if (payload != nullptr) {
            PyObject *args[] = {payload, Py_None};
            result = PyObject_Vectorcall(callback_, args, 2, nullptr);
            Py_DECREF(payload);
        }
        if (result == nullptr) {
            PyErr_WriteUnraisable(callback_);
        } else {
            Py_DECREF(result);
        }
        PyEval_SaveThread();
        delivered_.fetch_add(1, std::memory_order_relaxed);
    }
    PyEval_RestoreThread(state);
    PyThreadState_Clear(state);
    PyThreadState_DeleteCurrent();
}

} // namespace vorn::bench
