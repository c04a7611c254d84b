// One device stream served to a client: the device's producer thread hands events to an outbox;
// the server thread sends them on. The producer never waits for the network: when the outbox is
// full, chunks are dropped and counted, and the next event after a run of drops is preceded by
// one error text saying how many were lost.
#pragma once

#include "protocol.hpp"

#include <vorn/device.hpp>

#include <zmq.hpp>

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

class StreamOutbox {
  public:
    // `wake_fd`: an eventfd the server thread polls; written when the outbox stops being empty.
    StreamOutbox(int wake_fd, std::size_t byte_limit, std::size_t item_limit);

    // Producer thread (one at a time, as the device contract says). Never blocks on the
    // server thread beyond a short lock; may allocate; drops a chunk rather than wait.
    void push(StreamEvent &event);

    enum class Drained { empty, more, blocked };

    // Server thread: offers items in order to `send`, which returns false when the network
    // cannot take more now; stops there (blocked), or after `max_items` (more).
    Drained drain(const std::function<bool(OutItem &)> &send, std::size_t max_items);

    // The callback a device gets for this outbox; it shares ownership of the outbox.
    static StreamCallback make_callback(std::shared_ptr<StreamOutbox> outbox);

    std::uint64_t dropped_total() const;

  private:
    void append(OutItem &&item, std::size_t bytes);
    void flush_drops();

    int wake_fd_;
    std::size_t byte_limit_;
    std::size_t item_limit_;
    mutable std::mutex mutex_;
    std::deque<OutItem> items_;
    std::size_t bytes_ = 0;
    std::uint64_t pending_drops_ = 0;
    std::uint64_t dropped_total_ = 0;
};

} // namespace vorn::remote
