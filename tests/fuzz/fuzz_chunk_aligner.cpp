// Fuzzes the chunk aligner against a brute-force model of the regrouping.
//
// The input decodes into an alignment, whether the aligner names each piece's memory through a
// PieceOwnerSlot, and a sequence of events (owned chunks, lent chunks, texts), always followed
// by the end marker. After every event the consumer must have received exactly the first
// floor(total / alignment) * alignment bytes of the stream, in pieces whose sizes are non-zero
// multiples of the alignment (at most two pieces per chunk), texts in place, and, at the end,
// the remaining bytes as one short piece before the end marker. A consumer that keeps a piece's
// owner must find the piece's bytes unchanged after everything else has happened, every piece
// of an owned chunk or of the carry-over names an owner, and every owned chunk is released
// exactly once.
#include "chunk_aligner.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using vorn::ChunkView;
using vorn::OwnedChunk;
using vorn::StreamCallback;
using vorn::StreamCallbackOps;
using vorn::StreamEvent;
using vorn::stream::make_aligned_callback;
using vorn::stream::PieceOwnerSlot;

constexpr std::uint64_t max_stream_bytes = 1 << 18;

[[noreturn]] void fail(const char *what, std::uint64_t a = 0, std::uint64_t b = 0) {
    std::fprintf(stderr, "aligner model mismatch: %s (%llu, %llu)\n", what,
                 static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
    std::abort();
}

// Byte i of the stream: a mix of i, so that a misplaced or repeated run of bytes shows.
std::uint8_t stream_byte(std::uint64_t i) {
    return static_cast<std::uint8_t>((i * 0x9E3779B97F4A7C15ull) >> 56) ^
           static_cast<std::uint8_t>(i);
}

// Reads the fuzz input front to back; past its end every read gives 0.
struct Input {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t position = 0;

    bool empty() const { return position >= size; }
    std::uint8_t byte() { return position < size ? data[position++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
};

std::int64_t live_owned_chunks = 0;

void release_owned(std::uint8_t *data) {
    --live_owned_chunks;
    delete[] data;
}

struct KeptPiece {
    std::shared_ptr<const void> owner;
    const std::uint8_t *data;
    std::uint64_t size;
    std::uint64_t offset; // of its first byte in the stream
};

struct Consumer {
    std::uint64_t alignment = 1;
    std::shared_ptr<PieceOwnerSlot> slot;
    bool keep_pieces = false;  // set per event by the input
    bool expect_owner = false; // every piece of this event must name its memory
    std::uint64_t delivered = 0;
    std::uint64_t pieces_this_event = 0;
    bool short_piece_seen = false;
    bool end_seen = false;
    std::vector<std::string> texts;
    std::vector<KeptPiece> kept;
};

void consume(void *state, StreamEvent *event) {
    auto &consumer = *static_cast<Consumer *>(state);
    if (consumer.end_seen) {
        fail("event after the end marker");
    }
    switch (event->index()) {
    case 0:
        consumer.end_seen = true;
        return;
    case 1:
        consumer.texts.push_back(std::move(std::get<1>(*event)));
        return;
    case 2:
        fail("aligner passed an owned chunk on");
    case 3:
        break;
    default:
        fail("valueless event");
    }
    const ChunkView piece = std::get<3>(*event);
    if (piece.size == 0) {
        fail("empty piece", consumer.delivered);
    }
    if (consumer.short_piece_seen) {
        fail("piece after the short final piece", consumer.delivered);
    }
    if (piece.size % consumer.alignment != 0) {
        // Only the flush before the end marker may be short, and it is shorter than a unit.
        if (piece.size >= consumer.alignment) {
            fail("piece size not a multiple of the alignment", piece.size, consumer.alignment);
        }
        consumer.short_piece_seen = true;
    }
    for (std::uint64_t i = 0; i < piece.size; ++i) {
        if (piece.data[i] != stream_byte(consumer.delivered + i)) {
            fail("piece byte differs from the stream", consumer.delivered + i, piece.data[i]);
        }
    }
    ++consumer.pieces_this_event;
    if (consumer.slot && consumer.expect_owner && !consumer.slot->current) {
        fail("piece of an owned chunk or of the carry-over without an owner", consumer.delivered);
    }
    if (consumer.slot && consumer.keep_pieces && consumer.slot->current) {
        consumer.kept.push_back(
            {consumer.slot->current, piece.data, piece.size, consumer.delivered});
    }
    consumer.delivered += piece.size;
}

void destroy_consumer(void *) {} // the harness owns the consumer

constexpr StreamCallbackOps consumer_ops{consume, destroy_consumer};

void check_kept(const Consumer &consumer) {
    for (const auto &piece : consumer.kept) {
        for (std::uint64_t i = 0; i < piece.size; ++i) {
            if (piece.data[i] != stream_byte(piece.offset + i)) {
                fail("a kept piece was overwritten", piece.offset + i, piece.size);
            }
        }
    }
}

void run(Input &in) {
    const std::uint16_t selector = in.u16();
    static constexpr std::uint64_t ranges[] = {4, 16, 64, 4096};
    const std::uint64_t alignment = 1 + (selector & 0x3FFF) % ranges[selector >> 14];
    const std::uint8_t flags = in.byte();

    Consumer consumer;
    consumer.alignment = alignment;
    if (flags & 1) {
        consumer.slot = std::make_shared<PieceOwnerSlot>();
    }
    StreamCallback aligner =
        make_aligned_callback(StreamCallback{&consumer_ops, &consumer}, alignment, consumer.slot);

    std::uint64_t total = 0;
    std::size_t texts_sent = 0;
    std::vector<std::uint8_t> lent;
    while (!in.empty() && total < max_stream_bytes) {
        const std::uint8_t op = in.byte();
        consumer.keep_pieces = (op & 0x80) != 0;
        consumer.pieces_this_event = 0;
        const unsigned kind = op & 3;
        // Lent bytes have no owner to name; owned chunks and the carry-over buffer do.
        consumer.expect_owner = kind != 1;
        if (kind == 2) {
            StreamEvent text{std::in_place_index<1>, "text " + std::to_string(texts_sent)};
            aligner(text);
            if (consumer.texts.size() != texts_sent + 1 ||
                consumer.texts.back() != "text " + std::to_string(texts_sent)) {
                fail("text not passed on in place", texts_sent, consumer.texts.size());
            }
            ++texts_sent;
        } else {
            std::uint64_t size = in.byte() | (static_cast<std::uint64_t>((op >> 2) & 0x7) << 8);
            if (kind == 3) {
                size = in.u16(); // the occasional large chunk
            }
            size = std::min(size, max_stream_bytes - total);
            if (kind == 1) {
                // Lent bytes, overwritten as soon as the call returns, as a device may do.
                lent.assign(size, 0);
                for (std::uint64_t i = 0; i < size; ++i) {
                    lent[i] = stream_byte(total + i);
                }
                StreamEvent view{std::in_place_index<3>, ChunkView{lent.data(), size}};
                aligner(view);
                if (!lent.empty()) {
                    std::memset(lent.data(), 0xA5, lent.size());
                }
            } else {
                auto *bytes = new std::uint8_t[size];
                for (std::uint64_t i = 0; i < size; ++i) {
                    bytes[i] = stream_byte(total + i);
                }
                ++live_owned_chunks;
                StreamEvent chunk{std::in_place_index<2>, release_owned, bytes, size};
                aligner(chunk);
                // The delivery loop destroys the event after the call, whatever is left in it.
            }
            total += size;
            if (consumer.pieces_this_event > 2) {
                fail("more than two pieces for one chunk", consumer.pieces_this_event);
            }
        }
        if (consumer.delivered != total / alignment * alignment) {
            fail("bytes delivered after an event", consumer.delivered, total);
        }
        if (consumer.short_piece_seen) {
            fail("short piece before the end marker", consumer.delivered);
        }
    }

    consumer.keep_pieces = (flags & 2) != 0;
    consumer.expect_owner = true;
    StreamEvent end;
    aligner(end);
    if (!consumer.end_seen) {
        fail("end marker not passed on");
    }
    if (consumer.delivered != total) {
        fail("bytes delivered at the end", consumer.delivered, total);
    }
    if (consumer.slot && consumer.slot->current) {
        fail("owner slot still set after delivery");
    }
    check_kept(consumer);
    aligner.reset();
    // The kept owners alone keep the pieces' memory: still intact after the aligner is gone.
    check_kept(consumer);
    consumer.kept.clear();
    if (live_owned_chunks != 0) {
        fail("owned chunks not released exactly once",
             static_cast<std::uint64_t>(live_owned_chunks));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Input in{data, size};
    live_owned_chunks = 0;
    run(in);
    return 0;
}
