#include "served_stream.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vorn::remote {
namespace {

// What a counted message frees: the device's chunk (its release runs here) or our own bytes.
struct Counted {
    InFlightBytes counter;
    std::uint64_t bytes;
    OwnedChunk chunk;
    std::unique_ptr<std::uint8_t[]> own;
    // Orders the fields' writes before their reads on the thread that frees the message: the
    // hand-over between them runs through ZeroMQ's own pipes, which a race detector cannot see.
    std::atomic<bool> published{false};
};

Counted *publish(Counted *counted) {
    counted->published.store(true, std::memory_order_release);
    return counted;
}

// zmq frees a sent message on its own I/O thread; the device's release runs there.
void release_counted(void * /*data*/, void *hint) {
    auto *counted = static_cast<Counted *>(hint);
    [[maybe_unused]] const bool published = counted->published.load(std::memory_order_acquire);
    counted->counter->fetch_sub(counted->bytes, std::memory_order_relaxed);
    delete counted;
}

void invoke_outbox(void *state, StreamEvent *event) {
    (*static_cast<std::shared_ptr<StreamOutbox> *>(state))->push(*event);
}

void destroy_outbox(void *state) { delete static_cast<std::shared_ptr<StreamOutbox> *>(state); }

constexpr StreamCallbackOps outbox_ops{invoke_outbox, destroy_outbox};

} // namespace

zmq::message_t counted_message(std::size_t capacity, const InFlightBytes &counter,
                               const std::function<std::uint64_t(std::uint8_t *)> &fill) {
    if (capacity == 0) {
        return {};
    }
    auto counted = std::unique_ptr<Counted>(new Counted{
        counter, capacity, {}, std::make_unique_for_overwrite<std::uint8_t[]>(capacity)});
    const std::uint64_t filled = std::min<std::uint64_t>(fill(counted->own.get()), capacity);
    if (filled == 0) {
        return {};
    }
    counter->fetch_add(capacity, std::memory_order_relaxed);
    auto *data = counted->own.get();
    return zmq::message_t(data, filled, release_counted, publish(counted.release()));
}

zmq::message_t counted_message(OwnedChunk &&chunk, const InFlightBytes &counter) {
    if (chunk.size == 0) {
        return {}; // the caller's event still releases it
    }
    auto *counted = new Counted{counter, chunk.size, std::move(chunk), {}};
    counter->fetch_add(counted->bytes, std::memory_order_relaxed);
    // Read before publishing: an argument list does not order publish() after the other reads.
    auto *data = counted->chunk.data;
    const std::size_t size = counted->chunk.size;
    return zmq::message_t(data, size, release_counted, publish(counted));
}

StreamOutbox::StreamOutbox(int wake_fd, std::size_t byte_limit, std::size_t item_limit,
                           std::size_t flush_bytes)
    : wake_fd_(wake_fd), byte_limit_(byte_limit), item_limit_(item_limit),
      flush_bytes_(flush_bytes) {}

StreamCallback StreamOutbox::make_callback(std::shared_ptr<StreamOutbox> outbox) {
    return StreamCallback(&outbox_ops, new std::shared_ptr<StreamOutbox>(std::move(outbox)));
}

void StreamOutbox::push(StreamEvent &event) {
    std::lock_guard lock(mutex_);
    switch (event.index()) {
    case 0:
        flush_drops();
        append(OutItem{Op::stream_end, {}, {}}, 0);
        return;
    case 1:
        flush_drops();
        append(OutItem{Op::stream_text, std::move(std::get<1>(event)), {}}, 0);
        return;
    default:
        break;
    }
    const std::uint64_t size =
        event.index() == 2 ? std::get<2>(event).size : std::get<3>(event).size;
    if (bytes_in_flight() + size > byte_limit_ || items_.size() >= item_limit_) {
        ++pending_drops_;
        ++dropped_total_;
        return; // an owned chunk is released by the caller's event
    }
    flush_drops();
    OutItem item{Op::stream_chunk, {}, {}};
    if (event.index() == 2) {
        item.payload = counted_message(std::move(std::get<2>(event)), in_flight_);
    } else {
        const ChunkView &view = std::get<3>(event);
        item.payload = counted_message(view.size, in_flight_, [&view](std::uint8_t *bytes) {
            std::memcpy(bytes, view.data, view.size);
            return view.size;
        });
    }
    append(std::move(item), size);
}

void StreamOutbox::flush_drops() {
    if (pending_drops_ != 0) {
        append(
            OutItem{Op::stream_text,
                    "remote: " + std::to_string(pending_drops_) + " chunks dropped by the server",
                    {}},
            0);
        pending_drops_ = 0;
    }
}

void StreamOutbox::append(OutItem &&item, std::size_t bytes) {
    const bool was_empty = items_.empty();
    const bool urgent = item.op != Op::stream_chunk;
    items_.push_back(std::move(item));
    bytes_ += bytes;
    if (!signalled_ && (urgent || bytes_ >= flush_bytes_ || (was_empty && !ticking_))) {
        signalled_ = true;
        const std::uint64_t one = 1;
        // A full eventfd counter still wakes the poller, so a failed write loses nothing.
        [[maybe_unused]] auto written = ::write(wake_fd_, &one, sizeof(one));
    }
}

StreamOutbox::Drained StreamOutbox::drain(const std::function<bool(OutItem &)> &send,
                                          std::size_t max_items) {
    // Sent without the lock, so the producer is never held up by the network.
    std::deque<OutItem> taken;
    {
        std::lock_guard lock(mutex_);
        signalled_ = false;
        ticking_ = !items_.empty();
        if (items_.empty()) {
            return Drained::empty;
        }
        const std::size_t count = std::min(max_items, items_.size());
        if (count == items_.size()) {
            taken.swap(items_);
        } else {
            std::move(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(count),
                      std::back_inserter(taken));
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(count));
        }
    }
    std::size_t sent_bytes = 0;
    bool blocked = false;
    while (!taken.empty()) {
        const std::size_t size = taken.front().payload.size();
        if (!send(taken.front())) {
            blocked = true;
            break;
        }
        sent_bytes += size;
        taken.pop_front();
    }
    std::lock_guard lock(mutex_);
    bytes_ -= sent_bytes;
    items_.insert(items_.begin(), std::make_move_iterator(taken.begin()),
                  std::make_move_iterator(taken.end()));
    if (blocked) {
        return Drained::blocked;
    }
    return items_.empty() ? Drained::sent : Drained::more;
}

std::uint64_t StreamOutbox::dropped_total() const {
    std::lock_guard lock(mutex_);
    return dropped_total_;
}

} // namespace vorn::remote
