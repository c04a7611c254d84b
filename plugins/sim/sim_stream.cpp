#include "sim_stream.hpp"

#include "sim_pattern.hpp"

#include <condition_variable>
#include <mutex>
#include <string>

namespace vorn::sim {
namespace {

std::uint64_t monotonic_ns() { // CLOCK_MONOTONIC, as Python's time.monotonic_ns()
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::nanoseconds(now).count());
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
      thread_(std::move(callback), "sim: stream failed: ",
              [this](StreamEmitter &emit, const std::stop_token &stop) { produce(emit, stop); }) {}

void SimStream::produce(StreamEmitter &emit, const std::stop_token &stop) {
    const std::uint64_t rate = options_.stream_rate;
    const auto start = std::chrono::steady_clock::now();
    // Read again only when the next chunk is not yet due by the last reading: every chunk due
    // at a wake-up goes out in one batch, however high the rate.
    auto now = start;
    std::uint64_t offset = 0;
    std::uint64_t sequence = 0;
    std::mutex pace_mutex; // the pacing wait's, which a stop request ends
    std::condition_variable_any paced;

    while (!stop.stop_requested()) {
        if (options_.stream_bytes != 0 && offset >= options_.stream_bytes) {
            emit.end();
            return;
        }
        if (rate != 0) {
            const auto due = start + due_after(sequence, rate);
            if (due > now) {
                now = std::chrono::steady_clock::now();
                if (due > now) {
                    std::unique_lock lock(pace_mutex);
                    paced.wait_until(lock, stop, due, [] { return false; });
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
            emit(OwnedChunk{ChunkPool::release, bytes, size});
        } else {
            emit(ChunkView{bytes, size});
        }
        offset += size;
        ++sequence;

        if (options_.stream_error_every != 0 && sequence % options_.stream_error_every == 0) {
            emit.error("sim: injected error after chunk " + std::to_string(sequence));
        }
    }
}

} // namespace vorn::sim
