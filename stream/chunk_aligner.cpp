#include "chunk_aligner.hpp"

#include "event_queue.hpp"
#include "recycled_blocks.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace vorn::stream {
namespace {

using Staging = std::vector<std::uint8_t>;

// memcpy with a possibly null source when there is nothing to copy.
void copy_bytes(std::uint8_t *to, const std::uint8_t *from, std::uint64_t count) {
    if (count != 0) {
        std::memcpy(to, from, count);
    }
}

struct ChunkAligner {
    std::shared_ptr<Staging> staging;
    std::uint64_t pending = 0; // bytes carried over in staging, from a multiple of the alignment
    std::uint64_t skip = 0;    // bytes still to skip after a gap, up to the next multiple
    StreamCallback consumer;
    std::uint64_t alignment = 0;
    std::shared_ptr<PieceOwnerSlot> owner_slot;
    std::shared_ptr<LostBytes> lost_bytes;
    std::shared_ptr<StreamStatistics> statistics;

    void deliver_piece(std::uint8_t *data, std::uint64_t size,
                       const std::shared_ptr<const void> &owner) {
        if (owner_slot) {
            owner_slot->current = owner;
        }
        StreamEvent piece{std::in_place_index<3>, ChunkView{data, size}};
        try {
            consumer(piece);
        } catch (...) {
            if (owner_slot) {
                owner_slot->current.reset();
            }
            throw;
        }
        if (owner_slot) {
            owner_slot->current.reset();
        }
    }

    void report_allocation_failure() {
        StreamEvent message{std::in_place_index<1>, allocation_failure_message};
        if (statistics) {
            statistics->allocation_failures.fetch_add(1, std::memory_order_relaxed);
        }
        consumer(message);
    }

    // Someone downstream still holds the carry-over buffer of an earlier piece: give it that
    // buffer and carry on in a fresh one.
    Staging &writable_staging() {
        if (!staging || staging.use_count() > 1) {
            auto fresh = std::make_shared<Staging>(alignment);
            if (staging) {
                std::copy_n(staging->begin(), pending, fresh->begin());
            }
            staging = std::move(fresh);
        }
        return *staging;
    }

    // `count` bytes after the ones seen so far never arrive: the carried-over bytes cannot be
    // completed, and the next piece starts at the next multiple of the alignment.
    void lose(std::uint64_t count) {
        const std::uint64_t phase = skip != 0 ? alignment - skip : pending % alignment;
        const std::uint64_t after = (phase + count % alignment) % alignment;
        pending = 0;
        skip = after == 0 ? 0 : alignment - after;
    }

    void regroup(std::uint8_t *data, std::uint64_t length,
                 const std::shared_ptr<const void> &chunk_owner) {
        std::uint64_t used = 0; // bytes of this chunk delivered, carried over or skipped
        try {
            if (skip != 0) {
                used = std::min(skip, length);
                skip -= used;
            }
            if (pending != 0 && used < length) {
                const std::uint64_t fill = std::min(alignment - pending, length - used);
                copy_bytes(writable_staging().data() + pending, data + used, fill);
                pending += fill;
                used += fill;
                if (pending < alignment) {
                    return;
                }
                deliver_piece(staging->data(), alignment, staging);
                pending = 0;
            }
            const std::uint64_t whole = (length - used) / alignment * alignment;
            if (whole != 0) {
                deliver_piece(data + used, whole, chunk_owner);
                used += whole;
            }
            if (used < length) {
                const std::uint64_t tail = length - used;
                copy_bytes(writable_staging().data(), data + used, tail);
                pending = tail;
                used = length;
            }
        } catch (const std::bad_alloc &) {
            lose(length - used);
            report_allocation_failure();
        }
    }

    void handle(StreamEvent &event) {
        switch (event.index()) {
        case 0:
            if (pending != 0) {
                deliver_piece(staging->data(), pending, staging);
                pending = 0;
            }
            consumer(event);
            return;
        case 1: {
            if (lost_bytes && lost_bytes->pending != 0) {
                lose(lost_bytes->take());
            }
            StreamEvent text{std::in_place_index<1>, std::move(std::get<1>(event))};
            consumer(text);
            return;
        }
        case 2: {
            auto &chunk = std::get<2>(event);
            if (!owner_slot) {
                // the delivery loop keeps the chunk until this call returns
                regroup(chunk.data, chunk.size, nullptr);
                return;
            }
            std::shared_ptr<OwnedChunk> owned;
            try {
                owned = std::allocate_shared<OwnedChunk>(RecyclingAllocator<OwnedChunk>{}, std::move(chunk));
            } catch (const std::bad_alloc &) {
                lose(chunk.size); // the chunk is still the delivery loop's, which releases it
                report_allocation_failure();
                return;
            }
            regroup(owned->data, owned->size, owned);
            return;
        }
        case 3: {
            const ChunkView view = std::get<3>(event);
            regroup(view.data, view.size, nullptr);
            return;
        }
        default:
            throw std::bad_variant_access();
        }
    }
};

void invoke(void *state, StreamEvent *event) { static_cast<ChunkAligner *>(state)->handle(*event); }

void destroy(void *state) { delete static_cast<ChunkAligner *>(state); }

constexpr StreamCallbackOps aligned_callback_ops{invoke, destroy};

} // namespace

StreamCallback make_aligned_callback(StreamCallback &&consumer, std::uint64_t alignment,
                                     std::shared_ptr<PieceOwnerSlot> owner_slot,
                                     std::shared_ptr<LostBytes> lost_bytes,
                                     std::shared_ptr<StreamStatistics> statistics) {
    if (alignment == 0) {
        throw std::invalid_argument("alignment must be greater than 0");
    }
    auto aligner = std::make_unique<ChunkAligner>();
    aligner->staging = std::make_shared<Staging>(alignment);
    aligner->consumer = std::move(consumer);
    aligner->alignment = alignment;
    aligner->owner_slot = std::move(owner_slot);
    aligner->lost_bytes = std::move(lost_bytes);
    aligner->statistics = std::move(statistics);
    return StreamCallback{&aligned_callback_ops, aligner.release()};
}

} // namespace vorn::stream
