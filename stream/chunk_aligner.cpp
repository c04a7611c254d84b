#include "chunk_aligner.hpp"

#include <algorithm>
#include <cstring>
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
    std::uint64_t pending = 0;
    StreamCallback consumer;
    std::uint64_t alignment = 0;
    std::shared_ptr<PieceOwnerSlot> owner_slot;

    void deliver_piece(std::uint8_t *data, std::uint64_t size,
                       const std::shared_ptr<const void> &owner) {
        if (owner_slot) {
            owner_slot->current = owner;
        }
        StreamEvent piece{std::in_place_index<3>, ChunkView{data, size}};
        consumer(piece);
        if (owner_slot) {
            owner_slot->current.reset();
        }
    }

    // Someone downstream still holds the carry-over buffer of an earlier piece: give it that
    // buffer and carry on in a fresh one.
    Staging &writable_staging() {
        if (staging.use_count() > 1) {
            auto fresh = std::make_shared<Staging>(alignment);
            std::copy_n(staging->begin(), pending, fresh->begin());
            staging = std::move(fresh);
        }
        return *staging;
    }

    void regroup(std::uint8_t *data, std::uint64_t length,
                 const std::shared_ptr<const void> &chunk_owner) {
        if (pending == 0) {
            pending = length % alignment;
            copy_bytes(writable_staging().data(), data + (length - pending), pending);
            if (length - pending != 0) {
                deliver_piece(data, length - pending, chunk_owner);
            }
            return;
        }
        if (pending + length < alignment) {
            copy_bytes(writable_staging().data() + pending, data, length);
            pending += length;
            return;
        }
        const std::uint64_t fill = alignment - pending;
        copy_bytes(writable_staging().data() + pending, data, fill);
        deliver_piece(staging->data(), alignment, staging);
        pending = (length - fill) % alignment;
        copy_bytes(writable_staging().data(), data + (length - pending), pending);
        if (length - fill - pending != 0) {
            deliver_piece(data + fill, length - fill - pending, chunk_owner);
        }
    }

    void handle(StreamEvent &event) {
        switch (event.index()) {
        case 0:
            if (pending != 0) {
                deliver_piece(staging->data(), pending, staging);
            }
            consumer(event);
            return;
        case 1: {
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
            auto owned = std::make_shared<OwnedChunk>(std::move(chunk));
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
                                     std::shared_ptr<PieceOwnerSlot> owner_slot) {
    if (alignment == 0) {
        throw std::invalid_argument("alignment must be greater than 0");
    }
    auto aligner = std::make_unique<ChunkAligner>();
    aligner->staging = std::make_shared<Staging>(alignment);
    aligner->consumer = std::move(consumer);
    aligner->alignment = alignment;
    aligner->owner_slot = std::move(owner_slot);
    return StreamCallback{&aligned_callback_ops, aligner.release()};
}

} // namespace vorn::stream
