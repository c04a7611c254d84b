#include "sim_stream.hpp"

#include "sim_pattern.hpp"

#include <ctime>
#include <string>

namespace vorn::sim {
namespace {

std::uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

void store_le64(std::uint8_t *out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// When chunk `sequence` is due, counted from the stream's start; exact for any count, so the
// rate does not drift however long the stream runs.
std::chrono::nanoseconds due_after(std::uint64_t sequence, std::uint64_t rate) {
    const std::uint64_t seconds = sequence / rate;
    const double fraction = static_cast<double>(sequence % rate) / static_cast<double>(rate);
    return std::chrono::seconds(seconds) +
           std::chrono::nanoseconds(static_cast<std::int64_t>(fraction * 1e9));
}

} // namespace

SimStream::SimStream(StreamCallback &&callback, const SimOptions &options, std::uint64_t chunk_size)
    : options_(options), chunk_size_(chunk_size != 0 ? chunk_size : options.default_chunk_size),
      // Allocated here, so a chunk size the machine cannot hold fails start_read_stream.
      lent_chunk_(options.stream_chunks == ChunkMode::lent ? chunk_size_ : 0),
      pool_(options.stream_chunks == ChunkMode::owned ? ChunkPool::create(chunk_size_) : nullptr),
      callback_(std::move(callback)) {
    try {
        producer_ = std::thread([this] { produce(); });
    } catch (...) {
        if (pool_ != nullptr) {
            pool_->close();
        }
        throw;
    }
}

SimStream::~SimStream() {
    stop();
    if (pool_ != nullptr) {
        pool_->close();
    }
}

void SimStream::stop() {
    std::unique_lock lock(stop_mutex_);
    if (stop_state_ != StopState::running) {
        stopped_.wait(lock, [this] { return stop_state_ == StopState::stopped; });
        return;
    }
    stop_state_ = StopState::stopping;
    lock.unlock();
    // Wakes the waiters however this call ends (the runtime may unwind it at interpreter exit).
    struct MarkStopped {
        SimStream &self;
        ~MarkStopped() {
            // Notified under the lock: a woken waiter may be the destructor, freeing stopped_.
            std::lock_guard guard(self.stop_mutex_);
            self.stop_state_ = StopState::stopped;
            self.stopped_.notify_all();
        }
    } mark{*this};
    {
        std::lock_guard pace(pace_mutex_);
        stop_requested_ = true;
    }
    pace_changed_.notify_all();
    if (producer_.joinable()) {
        producer_.join();
    }
    // No invoke follows: the producer has ended.
    callback_.reset();
}

bool SimStream::pace_until(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(pace_mutex_);
    return !pace_changed_.wait_until(lock, deadline, [this] { return stop_requested_.load(); });
}

void SimStream::hand_over(StreamEvent &event) { callback_(event); }

void SimStream::produce() {
    // An exception must not leave a thread function: report it as the stream's last events.
    try {
        produce_chunks();
    } catch (const std::exception &e) {
        try {
            StreamEvent error{std::in_place_index<1>,
                              std::string("sim: stream failed: ") + e.what()};
            hand_over(error);
            StreamEvent end;
            hand_over(end);
        } catch (const std::exception &) {
            // nothing more can be reported
        }
    }
}

void SimStream::produce_chunks() {
    const std::uint64_t rate = options_.stream_rate;
    const auto start = std::chrono::steady_clock::now();
    // Read again only when the next chunk is not yet due by the last reading: every chunk due
    // at a wake-up goes out in one batch, however high the rate.
    auto now = start;
    std::uint64_t offset = 0;
    std::uint64_t sequence = 0;

    while (!stop_requested_.load(std::memory_order_relaxed)) {
        if (options_.stream_bytes != 0 && offset >= options_.stream_bytes) {
            StreamEvent end;
            hand_over(end);
            return;
        }
        if (rate != 0) {
            const auto due = start + due_after(sequence, rate);
            if (due > now) {
                now = std::chrono::steady_clock::now();
                if (due > now) {
                    if (!pace_until(due)) {
                        return;
                    }
                    now = std::chrono::steady_clock::now();
                    continue; // the stop request and the byte limit are looked at again
                }
            }
        }
        std::uint64_t size = chunk_size_;
        if (options_.stream_bytes != 0 && options_.stream_bytes - offset < size) {
            size = options_.stream_bytes - offset;
        }

        std::uint8_t *bytes = pool_ != nullptr ? pool_->take() : lent_chunk_.data();
        if (options_.stream_fill) {
            fill_pattern(bytes, offset, size);
        }
        if (options_.stream_stamp && size >= 16) {
            store_le64(bytes, sequence);
            store_le64(bytes + 8, monotonic_ns());
        }
        if (pool_ != nullptr) {
            StreamEvent chunk{std::in_place_index<2>, ChunkPool::release_chunk, bytes, size};
            hand_over(chunk);
        } else {
            StreamEvent chunk{std::in_place_index<3>, ChunkView{bytes, size}};
            hand_over(chunk);
        }
        offset += size;
        ++sequence;

        if (options_.stream_error_every != 0 && sequence % options_.stream_error_every == 0) {
            StreamEvent error{std::in_place_index<1>,
                              "sim: injected error after chunk " + std::to_string(sequence)};
            hand_over(error);
        }
    }
}

} // namespace vorn::sim
