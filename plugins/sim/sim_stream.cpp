#include "sim_stream.hpp"

#include "sim_pattern.hpp"

#include <ctime>
#include <string>
#include <vector>

namespace vorn::sim {
namespace {

void release_chunk(std::uint8_t *data) { delete[] data; }

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

} // namespace

SimStream::SimStream(StreamCallback &&callback, const SimOptions &options, std::uint64_t chunk_size)
    : options_(options), chunk_size_(chunk_size != 0 ? chunk_size : options.default_chunk_size),
      // Allocated here, so a chunk size the machine cannot hold fails start_read_stream.
      lent_chunk_(options.stream_chunks == ChunkMode::lent ? chunk_size_ : 0),
      callback_(std::move(callback)), producer_([this] { produce(); }) {}

SimStream::~SimStream() { stop(); }

void SimStream::stop() {
    if (stopping_.exchange(true)) {
        return;
    }
    {
        std::lock_guard lock(pace_mutex_);
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
    const bool stamp = options_.stream_stamp;
    const auto period = options_.stream_rate != 0
                            ? std::chrono::nanoseconds(1'000'000'000 / options_.stream_rate)
                            : std::chrono::nanoseconds(0);
    auto next_chunk = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> &lent = lent_chunk_;
    std::uint64_t offset = 0;
    std::uint64_t sequence = 0;

    while (!stop_requested_.load(std::memory_order_relaxed)) {
        if (options_.stream_bytes != 0 && offset >= options_.stream_bytes) {
            StreamEvent end;
            hand_over(end);
            return;
        }
        std::uint64_t size = chunk_size_;
        if (options_.stream_bytes != 0 && options_.stream_bytes - offset < size) {
            size = options_.stream_bytes - offset;
        }
        if (period.count() != 0) {
            next_chunk += period;
            if (!pace_until(next_chunk)) {
                return;
            }
        }

        std::uint8_t *bytes = lent.empty() ? new std::uint8_t[size] : lent.data();
        fill_pattern(bytes, offset, size);
        if (stamp && size >= 16) {
            store_le64(bytes, sequence);
            store_le64(bytes + 8, monotonic_ns());
        }
        if (lent.empty()) {
            StreamEvent chunk{std::in_place_index<2>, release_chunk, bytes, size};
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
