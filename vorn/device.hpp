// The device interface: the contract between pyvorn_device and a device-manager plug-in.
//
// Frozen across the plug-in boundary (a plug-in built against an older copy of this header
// calls and overrides by position):
//  - the order of the virtual operations of BasicDevice and BasicDevice::DataStream;
//  - the field order of StreamCallback, StreamCallbackOps, OwnedChunk and ChunkView;
//  - the order of the StreamEvent alternatives (their index is part of the contract).
// The static_asserts at the end pin the layouts.
//
// Ownership and threads:
//  - A device takes the StreamCallback of start_read_stream by moving it into its own storage.
//  - It calls invoke from any one thread at a time, never concurrently, and never after it has
//    destroyed the callback.
//  - Destroying the callback waits for the module's delivery thread, which needs the Python
//    interpreter lock: destroy it in DataStream::stop() or on a thread of the device's own.
//  - An OwnedChunk's release may run on any thread and must not call into Python.
//  - The module calls a device's operations from one thread at a time: calls into one device
//    from several Python threads never overlap. It makes them without the Python interpreter
//    lock, so an operation may block on I/O for as long as it needs without stopping other
//    Python threads, and a stream callback may call into its own device meanwhile (it waits for
//    the call in progress).
//
// Fork: a child made by fork() inherits the plug-in's objects, but not their threads, and shares
// their descriptors (eventfds, pipes, sockets, a ZeroMQ context's I/O threads' mailboxes) with
// the parent. In any process other than the one that created it, an object neither signals,
// joins nor waits on anything it holds: its destructor leaks what it would stop or close (the
// child is a copy that exits or execs soon), and operations that need the parent's threads fail.
// The module does the same with stream handles: in a child it neither stops nor destroys them.
// CreatorProcess below makes the test one line.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorn {

enum class BasicDeviceStatus : std::int32_t { Success = 0, Failure = 1 };

// Remembers the process that created an object, for the fork rule above.
class CreatorProcess {
  public:
    // Whether the calling process is a child that inherited the object. Any thread.
    bool inherited() const { return ::getpid() != pid_; }

  private:
    pid_t pid_ = ::getpid();
};

// Bytes whose ownership travels with the event; release(data) runs exactly once.
struct OwnedChunk {
    void (*release)(std::uint8_t *) = nullptr;
    std::uint8_t *data = nullptr;
    std::uint64_t size = 0;

    OwnedChunk() = default;
    OwnedChunk(void (*release_fn)(std::uint8_t *), std::uint8_t *bytes, std::uint64_t length)
        : release(release_fn), data(bytes), size(length) {}
    OwnedChunk(const OwnedChunk &) = delete;
    OwnedChunk &operator=(const OwnedChunk &) = delete;
    OwnedChunk(OwnedChunk &&other) noexcept
        : release(other.release), data(std::exchange(other.data, nullptr)), size(other.size) {}
    OwnedChunk &operator=(OwnedChunk &&other) noexcept {
        if (this != &other) {
            reset();
            release = other.release;
            data = std::exchange(other.data, nullptr);
            size = other.size;
        }
        return *this;
    }
    ~OwnedChunk() { reset(); }

    void reset() noexcept {
        if (data != nullptr) {
            release(std::exchange(data, nullptr));
        }
    }
};

// Bytes the device lends for the duration of one invoke call only.
struct ChunkView {
    std::uint8_t *data = nullptr;
    std::uint64_t size = 0;
};

// Index 0: end of stream; 1: error text; 2: owned bytes; 3: lent bytes.
using StreamEvent = std::variant<std::monostate, std::string, OwnedChunk, ChunkView>;

struct StreamCallbackOps {
    // Delivers one event; the receiver may move the payload out of *event.
    void (*invoke)(void *state, StreamEvent *event);
    // Frees the state; does nothing for a null state.
    void (*destroy)(void *state);
};

// Move-only, type-erased callable through which a device delivers its stream events.
class StreamCallback {
  public:
    const StreamCallbackOps *ops = nullptr;
    void *state = nullptr;

    StreamCallback() = default;
    StreamCallback(const StreamCallbackOps *callback_ops, void *callback_state)
        : ops(callback_ops), state(callback_state) {}
    StreamCallback(const StreamCallback &) = delete;
    StreamCallback &operator=(const StreamCallback &) = delete;
    StreamCallback(StreamCallback &&other) noexcept
        : ops(other.ops), state(std::exchange(other.state, nullptr)) {}
    StreamCallback &operator=(StreamCallback &&other) noexcept {
        if (this != &other) {
            reset();
            ops = other.ops;
            state = std::exchange(other.state, nullptr);
        }
        return *this;
    }
    ~StreamCallback() { reset(); }

    void operator()(StreamEvent &event) const { ops->invoke(state, &event); }
    explicit operator bool() const { return state != nullptr; }

    // Destroys the callable now; the callback is empty afterwards. Not noexcept, unlike the
    // destructor: call it explicitly where the thread may be unwound by the runtime.
    void reset() {
        if (ops != nullptr) {
            ops->destroy(std::exchange(state, nullptr));
        }
    }
};

template <typename Addr, typename Value, typename Status> class BasicDevice {
  public:
    // The handle of one running stream.
    class DataStream {
      public:
        virtual ~DataStream() = default;
        virtual void stop() = 0;
    };

    virtual ~BasicDevice() = default;

    // Stage, then send.
    virtual Status set_register_sync(Addr addr, Value value, Value mask) {
        set_register(addr, value, mask);
        return send_registers();
    }
    virtual Status set_register(Addr addr, Value value, Value mask) = 0;
    virtual Status send_registers() = 0;

    // Fetch, then read; empty when the fetch fails.
    virtual std::optional<Value> get_register_sync(Addr addr) {
        if (read_registers() != Status::Success) {
            return std::nullopt;
        }
        return get_register(addr);
    }
    virtual Value get_register(Addr addr) = 0;
    virtual Status read_registers() = 0;

    virtual Status trigger(Addr addr, std::int32_t value) = 0;

    virtual std::uint64_t write(Addr addr, std::uint64_t length, std::uint8_t *data) = 0;
    virtual std::uint64_t read(Addr addr, std::uint64_t length, std::uint8_t *data) = 0;

    // A device that streams moves the callback into its own storage and returns a handle.
    virtual std::optional<std::unique_ptr<DataStream>>
    start_read_stream(Addr /*addr*/, StreamCallback && /*callback*/, std::uint64_t /*chunk_size*/) {
        return std::nullopt;
    }

    virtual std::optional<std::string> get_status() { return std::nullopt; }
    virtual std::optional<std::string> get_info() { return std::nullopt; }
};

using Device = BasicDevice<std::uint32_t, std::uint32_t, BasicDeviceStatus>;

// Layouts that plug-ins compiled against this header rely on.
static_assert(sizeof(BasicDeviceStatus) == 4);
static_assert(sizeof(OwnedChunk) == 3 * sizeof(void *) && offsetof(OwnedChunk, release) == 0 &&
              offsetof(OwnedChunk, data) == sizeof(void *) &&
              offsetof(OwnedChunk, size) == 2 * sizeof(void *));
static_assert(sizeof(ChunkView) == 2 * sizeof(void *) && offsetof(ChunkView, data) == 0 &&
              offsetof(ChunkView, size) == sizeof(void *));
static_assert(sizeof(StreamCallbackOps) == 2 * sizeof(void *) &&
              offsetof(StreamCallbackOps, invoke) == 0 &&
              offsetof(StreamCallbackOps, destroy) == sizeof(void *));
static_assert(sizeof(StreamCallback) == 2 * sizeof(void *) && offsetof(StreamCallback, ops) == 0 &&
              offsetof(StreamCallback, state) == sizeof(void *));
static_assert(sizeof(Device) == sizeof(void *), "a device is only its virtual-table pointer");
static_assert(std::is_same_v<std::variant_alternative_t<0, StreamEvent>, std::monostate> &&
              std::is_same_v<std::variant_alternative_t<1, StreamEvent>, std::string> &&
              std::is_same_v<std::variant_alternative_t<2, StreamEvent>, OwnedChunk> &&
              std::is_same_v<std::variant_alternative_t<3, StreamEvent>, ChunkView>);

} // namespace vorn
