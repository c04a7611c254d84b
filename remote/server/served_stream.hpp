// One device stream served to a client: the device's producer thread hands events to an outbox;
// the server thread sends them on. The producer never waits for the network: when the stream's
// bytes in flight (in the outbox, or handed to ZeroMQ and not yet written to the kernel) would
// pass the limit, chunks are dropped and counted, and the next event after a run of drops is
// preceded by one error text saying how many were lost.
//
// Wake-ups are coalesced: while the server is draining a busy outbox (it drained items less
// than one tick ago and promised to look again within a tick), a new chunk does not wake it;
// a text, the end marker, or `flush_bytes` waiting do. An idle outbox wakes it at once, so a
// slow stream gets no added latency, and a fast one costs one wake-up per batch, not per chunk.
#pragma once

#include "protocol.hpp"

#include <vorn/device.hpp>

#include <zmq.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace vorn::remote {

struct OutItem {
    Op op = Op::stream_end;
    std::string text;       // stream_text only
    zmq::message_t payload; // stream_chunk only: owns the device's chunk, or a copy of a lent one
};

// Bytes handed to ZeroMQ and not yet freed by it, shared by the messages that carry them.
using InFlightBytes = std::shared_ptr<std::atomic<std::uint64_t>>;

// A message of the bytes `fill` writes into a buffer of `capacity` (it returns how many; the
// message carries exactly those, an empty one for none). `capacity` is added to `counter` now
// and taken off when ZeroMQ frees the message, on whichever thread that is.
zmq::message_t counted_message(std::size_t capacity, const InFlightBytes &counter,
                               const std::function<std::uint64_t(std::uint8_t *)> &fill);
// As above, around bytes the device owns: its release runs when ZeroMQ frees the message.
zmq::message_t counted_message(OwnedChunk &&chunk, const InFlightBytes &counter);

class StreamOutbox {
  public:
    // `wake_fd`: an eventfd the server thread polls; written when the server must come (see
    // above). `byte_limit`: the stream's bytes in flight, outbox and socket together.
    // `flush_bytes`: how much a busy outbox gathers before it wakes the server.
    StreamOutbox(int wake_fd, std::size_t byte_limit, std::size_t item_limit,
                 std::size_t flush_bytes = 1u << 20);

    // Producer thread (one at a time, as the device contract says). Never blocks on the
    // server thread beyond a short lock; may allocate; drops a chunk rather than wait.
    void push(StreamEvent &event);

    // empty: nothing was waiting, and the next item wakes the server. sent: all sent, and the
    // server must drain again within a tick (chunks that come meanwhile do not wake it).
    enum class Drained { empty, sent, more, blocked };

    // Server thread: offers items in order to `send`, which returns false when the network
    // cannot take more now; stops there (blocked), or after `max_items` (more).
    Drained drain(const std::function<bool(OutItem &)> &send, std::size_t max_items);

    // The callback a device gets for this outbox; it shares ownership of the outbox.
    static StreamCallback make_callback(std::shared_ptr<StreamOutbox> outbox);

    std::uint64_t dropped_total() const;

    // Chunk bytes accepted and not yet freed by ZeroMQ. Any thread.
    std::uint64_t bytes_in_flight() const { return in_flight_->load(std::memory_order_relaxed); }

  private:
    void append(OutItem &&item, std::size_t bytes);
    void flush_drops();

    int wake_fd_;
    std::size_t byte_limit_;
    std::size_t item_limit_;
    std::size_t flush_bytes_;
    mutable std::mutex mutex_;
    std::deque<OutItem> items_;
    std::size_t bytes_ = 0; // in the outbox only: what a wake-up decision looks at
    InFlightBytes in_flight_ = std::make_shared<std::atomic<std::uint64_t>>(0);
    std::uint64_t pending_drops_ = 0;
    std::uint64_t dropped_total_ = 0;
    bool signalled_ = false; // the eventfd was written since the last drain
    bool ticking_ = false;   // the server drained items and will look again within a tick
};

} // namespace vorn::remote
