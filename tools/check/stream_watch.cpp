#include "stream_watch.hpp"

#include <chrono>
#include <thread>
#include <utility>

namespace vorn::check {
namespace {

// Enough held chunks to catch a pointer handed out twice, few enough for a fast stream.
constexpr std::size_t max_held_chunks = 64;

void take_chunk(StreamWatch &watch, OwnedChunk &chunk) {
    ++watch.owned_chunks;
    if (chunk.data == nullptr) {
        return;
    }
    if (chunk.release == nullptr) {
        watch.chunk_fault = "an owned chunk came without a release function";
        chunk.data = nullptr; // leaked: there is nothing to release it with
        return;
    }
    if (!watch.held_data.insert(chunk.data).second) {
        watch.chunk_fault = "one chunk's bytes were handed over twice (double release)";
        chunk.data = nullptr; // the first copy is released at the end
        return;
    }
    watch.held.push_back(std::move(chunk));
    if (watch.held.size() > max_held_chunks) {
        watch.held_data.erase(watch.held.front().data);
        watch.held.pop_front();
    }
}

void invoke(void *state, StreamEvent *event) {
    auto &watch = *static_cast<StreamWatch *>(state);
    std::lock_guard lock(watch.mutex);
    ++watch.invokes;
    watch.invokes_after_destroy += watch.destroys > 0;
    watch.invokes_after_stop += watch.stop_returned;
    watch.invokes_after_end += watch.end_seen;
    if (event->index() == 0) {
        watch.end_seen = true;
    } else if (auto *chunk = std::get_if<OwnedChunk>(event)) {
        take_chunk(watch, *chunk);
    }
}

void destroy(void *state) {
    if (state == nullptr) {
        return;
    }
    auto &watch = *static_cast<StreamWatch *>(state);
    std::lock_guard lock(watch.mutex);
    ++watch.destroys;
    watch.destroyed_early |= !watch.end_seen && !watch.stop_called;
}

constexpr StreamCallbackOps watch_ops{invoke, destroy};

} // namespace

StreamCallback StreamWatch::callback() { return StreamCallback(&watch_ops, this); }

void StreamWatch::mark_stopping() {
    std::lock_guard lock(mutex);
    stop_called = true;
}

void StreamWatch::mark_stopped() {
    std::lock_guard lock(mutex);
    stop_returned = true;
}

void StreamWatch::release_held() {
    std::lock_guard lock(mutex);
    held.clear();
    held_data.clear();
}

void StreamWatch::wait_for_invokes(int count, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard lock(mutex);
            if (invokes >= count || end_seen) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace vorn::check
