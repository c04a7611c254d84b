// Regroups a stream's bytes into pieces whose sizes are multiples of an alignment.
#pragma once

#include "lost_bytes.hpp"
#include "stream_statistics.hpp"

#include <vorn/device.hpp>

#include <cstdint>
#include <memory>

namespace vorn::stream {

// Names the memory behind the piece being delivered, so that a consumer which hands the piece to
// code that may keep it (Python) can keep that memory alive. The aligner sets `current` before
// each piece and clears it afterwards; pieces from the carry-over buffer are never overwritten
// while someone still holds them.
struct PieceOwnerSlot {
    std::shared_ptr<const void> current;
};

// Returns a callback that regroups chunk events and passes the pieces to `consumer` as lent
// chunks: sizes are multiples of `alignment` except a final flush of the carried-over bytes
// before the end marker. Every piece starts at a multiple of `alignment` from the stream's first
// byte. Text and end events pass through in order.
//
// Losses keep the framing: when a text arrives and `lost_bytes` holds the size of the events it
// stands for, the carried-over bytes are discarded and the bytes up to the next multiple of the
// alignment after the gap are skipped, so no piece holds bytes from both sides of a gap. A
// buffer the aligner cannot allocate loses the rest of its chunk the same way, reported as
// "Memory Allocation Failure, dropping event".
//
// Runs on the delivery thread only. `alignment` must be greater than 0 (std::invalid_argument
// otherwise).
StreamCallback make_aligned_callback(StreamCallback &&consumer, std::uint64_t alignment,
                                     std::shared_ptr<PieceOwnerSlot> owner_slot = nullptr,
                                     std::shared_ptr<LostBytes> lost_bytes = nullptr,
                                     std::shared_ptr<StreamStatistics> statistics = nullptr);

} // namespace vorn::stream
