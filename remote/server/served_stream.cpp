#include "served_stream.hpp"

#include <unistd.h>

#include <algorithm>
#include <iterator>

namespace vorn::remote {
namespace {

// zmq frees a sent message on its own I/O thread; the device's release runs there.
void release_owned(void * /*data*/, void *hint) { delete static_cast<OwnedChunk *>(hint); }

void invoke_outbox(void *state, StreamEvent *event) {
    (*static_cast<std::shared_ptr<StreamOutbox> *>(state))->push(*event);
}

void destroy_outbox(void *state) { delete static_cast<std::shared_ptr<StreamOutbox> *>(state); }

constexpr StreamCallbackOps outbox_ops{invoke_outbox, destroy_outbox};

} // namespace

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
    if (bytes_ + size > byte_limit_ || items_.size() >= item_limit_) {
        ++pending_drops_;
        ++dropped_total_;
        return; // an owned chunk is released by the caller's event
    }
    flush_drops();
    OutItem item{Op::stream_chunk, {}, {}};
    if (event.index() == 2) {
        auto *held = new OwnedChunk(std::move(std::get<2>(event)));
        item.payload = zmq::message_t(held->data, held->size, release_owned, held);
    } else {
        const ChunkView &view = std::get<3>(event);
        item.payload = zmq::message_t(view.data, view.size);
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
