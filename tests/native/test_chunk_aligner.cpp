// ChunkAligner: regrouping of chunk bytes into pieces whose sizes are multiples of the alignment.
#include "chunk_aligner.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
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
using Bytes = std::vector<std::uint8_t>;

std::map<const std::uint8_t *, int> release_counts;

// Only counts: the bytes belong to the test, so no address is reused while it runs.
void counting_release(std::uint8_t *data) { ++release_counts[data]; }

struct Seen {
    std::size_t index;
    Bytes bytes;
    const std::uint8_t *data = nullptr;
    std::string text;
    std::shared_ptr<const void> owner; // the slot's owner during the call, when kept
    bool had_owner = false;
};

// The downstream consumer; owned by the test, so it outlives the aligner.
struct Recorder {
    std::vector<Seen> seen;
    std::shared_ptr<PieceOwnerSlot> slot;
    bool keep_owners = false;
    bool destroyed = false;
};

void record(void *state, StreamEvent *event) {
    auto &recorder = *static_cast<Recorder *>(state);
    Seen seen{event->index(), {}, nullptr, {}, nullptr, false};
    if (auto *text = std::get_if<1>(event)) {
        seen.text = *text;
    } else if (auto *chunk = std::get_if<2>(event)) {
        seen.data = chunk->data;
        seen.bytes.assign(chunk->data, chunk->data + chunk->size);
    } else if (auto *view = std::get_if<3>(event)) {
        seen.data = view->data;
        seen.bytes.assign(view->data, view->data + view->size);
    }
    if (recorder.slot) {
        seen.had_owner = recorder.slot->current != nullptr;
        if (recorder.keep_owners) {
            seen.owner = recorder.slot->current;
        }
    }
    recorder.seen.push_back(std::move(seen));
}

void mark_destroyed(void *state) {
    if (state != nullptr) {
        static_cast<Recorder *>(state)->destroyed = true;
    }
}

constexpr StreamCallbackOps recorder_ops{record, mark_destroyed};

// An aligner in front of a recorder, fed the way the delivery loop feeds it.
class Harness {
  public:
    explicit Harness(std::uint64_t alignment, bool with_slot = false) {
        if (with_slot) {
            recorder.slot = std::make_shared<PieceOwnerSlot>();
        }
        aligner = make_aligned_callback(StreamCallback{&recorder_ops, &recorder}, alignment,
                                        recorder.slot);
    }

    // The device lends `bytes` for the call only.
    void lent(Bytes &bytes) {
        StreamEvent event{std::in_place_index<3>, ChunkView{bytes.data(), bytes.size()}};
        aligner(event);
        check_slot_cleared();
    }

    // The bytes travel with the event; the test keeps the storage to read release counts.
    const std::uint8_t *owned(const Bytes &bytes) {
        auto storage = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
        std::copy(bytes.begin(), bytes.end(), storage.get());
        const std::uint8_t *data = storage.get();
        {
            StreamEvent event{std::in_place_index<2>, counting_release, storage.get(),
                              bytes.size()};
            aligner(event);
            check_slot_cleared();
        } // the delivery loop destroys the event after the aligner returns
        owned_storage.push_back(std::move(storage));
        return data;
    }

    void text(const std::string &message) {
        StreamEvent event{std::in_place_index<1>, message};
        aligner(event);
    }

    void end() {
        StreamEvent event;
        aligner(event);
        check_slot_cleared();
    }

    std::vector<Bytes> pieces() const {
        std::vector<Bytes> result;
        for (const auto &seen : recorder.seen) {
            if (seen.index == 3) {
                result.push_back(seen.bytes);
            }
        }
        return result;
    }

    Recorder recorder;
    StreamCallback aligner;
    std::vector<std::unique_ptr<std::uint8_t[]>> owned_storage;

  private:
    void check_slot_cleared() {
        if (recorder.slot) {
            EXPECT_EQ(recorder.slot->current, nullptr) << "owner left in the slot after a call";
        }
    }
};

Bytes iota_bytes(std::size_t size, std::uint8_t first) {
    Bytes bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(ChunkAligner, ThreeByteChunksWithAlignmentFour) {
    Harness h(4);
    std::vector<Bytes> chunks;
    for (std::uint8_t i = 0; i < 4; ++i) {
        chunks.push_back(iota_bytes(3, static_cast<std::uint8_t>(3 * i)));
    }
    h.lent(chunks[0]);
    EXPECT_TRUE(h.recorder.seen.empty());
    for (std::size_t i = 1; i < 4; ++i) {
        h.lent(chunks[i]);
        ASSERT_EQ(h.recorder.seen.size(), i);
        EXPECT_EQ(h.recorder.seen.back().bytes,
                  iota_bytes(4, static_cast<std::uint8_t>(4 * (i - 1))));
    }
    h.end(); // nothing pending: no flush
    ASSERT_EQ(h.recorder.seen.size(), 4u);
    EXPECT_EQ(h.recorder.seen.back().index, 0u);
}

TEST(ChunkAligner, FillsTheCarryOverThenDeliversTheAlignedRunInPlace) {
    Harness h(4);
    Bytes head = iota_bytes(3, 0);
    Bytes chunk = iota_bytes(10, 3);
    h.lent(head);
    h.lent(chunk);
    ASSERT_EQ(h.recorder.seen.size(), 2u);
    EXPECT_EQ(h.recorder.seen[0].bytes, (Bytes{0, 1, 2, 3}));
    EXPECT_EQ(h.recorder.seen[1].bytes, iota_bytes(8, 4));
    EXPECT_EQ(h.recorder.seen[1].data, chunk.data() + 1) << "the aligned run was copied";
    h.end(); // pending 1, holding the chunk's last byte
    ASSERT_EQ(h.recorder.seen.size(), 4u);
    EXPECT_EQ(h.recorder.seen[2].bytes, (Bytes{12}));
    EXPECT_EQ(h.recorder.seen[3].index, 0u);
}

TEST(ChunkAligner, NothingPendingDeliversTheAlignedPrefixAndKeepsTheRest) {
    Harness h(4);
    Bytes chunk = iota_bytes(10, 0);
    h.lent(chunk);
    ASSERT_EQ(h.recorder.seen.size(), 1u);
    EXPECT_EQ(h.recorder.seen[0].bytes, iota_bytes(8, 0));
    EXPECT_EQ(h.recorder.seen[0].data, chunk.data());
    std::fill(chunk.begin(), chunk.end(), 0xFF); // the device reuses its buffer
    h.end();
    ASSERT_EQ(h.recorder.seen.size(), 3u);
    EXPECT_EQ(h.recorder.seen[1].bytes, (Bytes{8, 9})) << "the final flush precedes the end";
    EXPECT_EQ(h.recorder.seen[2].index, 0u);
}

TEST(ChunkAligner, ExactFillDeliversOnlyTheCarryOver) {
    Harness h(4);
    Bytes head = iota_bytes(3, 0);
    Bytes last = {3};
    h.lent(head);
    h.lent(last);
    EXPECT_EQ(h.pieces(), (std::vector<Bytes>{{0, 1, 2, 3}}));
    h.end();
    ASSERT_EQ(h.recorder.seen.size(), 2u);
    EXPECT_EQ(h.recorder.seen[1].index, 0u);
}

TEST(ChunkAligner, EmptyChunksChangeNothing) {
    Harness h(4);
    Bytes empty;
    h.lent(empty);
    h.owned(empty);
    StreamEvent null_view{std::in_place_index<3>, ChunkView{nullptr, 0}};
    h.aligner(null_view);
    EXPECT_TRUE(h.recorder.seen.empty());

    Bytes two = {1, 2};
    Bytes two_more = {3, 4};
    h.lent(two);
    h.lent(empty);
    h.aligner(null_view);
    EXPECT_TRUE(h.recorder.seen.empty());
    h.lent(two_more);
    EXPECT_EQ(h.pieces(), (std::vector<Bytes>{{1, 2, 3, 4}}));
}

TEST(ChunkAligner, TextPassesInOrderAndEndFlushesThePendingBytes) {
    Harness h(4);
    Bytes first = {1, 2, 3};
    Bytes second = {4, 5, 6};
    h.lent(first);
    h.text("device warning");
    h.lent(second);
    h.end();
    const auto &seen = h.recorder.seen;
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].index, 1u);
    EXPECT_EQ(seen[0].text, "device warning");
    EXPECT_EQ(seen[1].bytes, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(seen[2].bytes, (Bytes{5, 6}));
    EXPECT_EQ(seen[3].index, 0u);
}

TEST(ChunkAligner, OwnedChunkIsLeftToTheDeliveryLoop) {
    release_counts.clear();
    Harness h(4);
    const auto *data = h.owned(iota_bytes(6, 0));
    EXPECT_EQ(h.pieces(), (std::vector<Bytes>{{0, 1, 2, 3}}));
    EXPECT_EQ(release_counts[data], 1) << "released by the event's owner, once";
    h.end();
    EXPECT_EQ(h.pieces().back(), (Bytes{4, 5}));
}

TEST(ChunkAligner, ZeroAlignmentIsRefused) {
    Recorder recorder;
    EXPECT_THROW(make_aligned_callback(StreamCallback{&recorder_ops, &recorder}, 0),
                 std::invalid_argument);
}

TEST(ChunkAligner, DestroyingTheAlignerDestroysItsConsumer) {
    auto h = std::make_unique<Harness>(8);
    h->aligner.reset();
    EXPECT_TRUE(h->recorder.destroyed);
}

// Random streams against the rules every regrouping must keep.
void check_random_stream(unsigned seed, bool with_slot) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::uint64_t alignments[] = {1, 2, 3, 4, 5, 7, 8, 13, 64, 1000};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(alignments) - 1);
    const std::uint64_t alignment = alignments[pick(random)];
    SCOPED_TRACE("alignment " + std::to_string(alignment));
    release_counts.clear();

    Harness h(alignment, with_slot);
    h.recorder.keep_owners = with_slot;
    Bytes input;
    std::vector<std::string> texts;
    std::uint8_t next = 0;
    Bytes lent_buffer; // reused for every lent chunk, as a device would
    std::vector<const std::uint8_t *> owned_data;
    std::vector<std::pair<const std::uint8_t *, std::size_t>> owned_ranges;

    const auto delivered_bytes = [&] {
        std::size_t total = 0;
        for (const auto &seen : h.recorder.seen) {
            total += seen.index == 3 ? seen.bytes.size() : 0;
        }
        return total;
    };

    const int events = std::uniform_int_distribution<int>(1, 60)(random);
    for (int e = 0; e < events; ++e) {
        const int kind = std::uniform_int_distribution<int>(0, 9)(random);
        const std::size_t before = h.recorder.seen.size();
        if (kind == 0) {
            texts.push_back("text " + std::to_string(e));
            h.text(texts.back());
            ASSERT_EQ(h.recorder.seen.size(), before + 1);
            EXPECT_EQ(h.recorder.seen.back().text, texts.back());
            continue;
        }
        const auto size = std::uniform_int_distribution<std::size_t>(0, 3 * alignment + 2)(random);
        Bytes chunk(size);
        for (auto &byte : chunk) {
            byte = next++;
        }
        input.insert(input.end(), chunk.begin(), chunk.end());
        const std::uint8_t *chunk_data = nullptr;
        if (kind <= 5) {
            lent_buffer = chunk;
            chunk_data = lent_buffer.data();
            h.lent(lent_buffer);
            std::fill(lent_buffer.begin(), lent_buffer.end(), 0xAA);
        } else {
            chunk_data = h.owned(chunk);
            owned_data.push_back(chunk_data);
            owned_ranges.emplace_back(chunk_data, size);
        }
        // Eager: everything that completes a unit goes out with the chunk that completes it.
        EXPECT_EQ(delivered_bytes(), input.size() / alignment * alignment);
        EXPECT_LE(h.recorder.seen.size(), before + 2) << "more than two pieces for one chunk";
        for (std::size_t i = before; i < h.recorder.seen.size(); ++i) {
            auto &seen = h.recorder.seen[i];
            ASSERT_EQ(seen.index, 3u);
            EXPECT_FALSE(seen.bytes.empty());
            EXPECT_EQ(seen.bytes.size() % alignment, 0u);
            const bool in_chunk = seen.data >= chunk_data && seen.data < chunk_data + size;
            if (with_slot && (kind > 5 || !in_chunk)) {
                EXPECT_TRUE(seen.had_owner) << "piece " << i << " delivered without an owner";
            }
        }
    }
    const std::size_t before_end = h.recorder.seen.size();
    h.end();
    const auto &seen = h.recorder.seen;
    const std::size_t flushed = input.size() % alignment;
    ASSERT_EQ(seen.size(), before_end + (flushed != 0 ? 2 : 1));
    if (flushed != 0) {
        EXPECT_EQ(seen[before_end].bytes.size(), flushed);
    }
    EXPECT_EQ(seen.back().index, 0u);

    Bytes output;
    std::vector<std::string> output_texts;
    for (const auto &s : seen) {
        output.insert(output.end(), s.bytes.begin(), s.bytes.end());
        if (s.index == 1) {
            output_texts.push_back(s.text);
        }
    }
    EXPECT_EQ(output, input);
    EXPECT_EQ(output_texts, texts);

    if (with_slot) {
        // Every piece whose owner was kept still shows the bytes it had when delivered,
        // although the carry-over buffer went on being filled after it.
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (seen[i].owner) {
                EXPECT_EQ(std::memcmp(seen[i].data, seen[i].bytes.data(), seen[i].bytes.size()), 0)
                    << "kept piece " << i << " changed";
            }
        }
        // A kept piece of an owned chunk keeps the chunk from being released.
        for (std::size_t i = 0; i < seen.size(); ++i) {
            for (const auto &[data, size] : owned_ranges) {
                if (seen[i].owner && seen[i].data >= data && seen[i].data < data + size) {
                    EXPECT_EQ(release_counts[data], 0) << "piece " << i << " outlived its chunk";
                }
            }
        }
        h.recorder.seen.clear(); // drop the kept owners
    }
    for (const auto *data : owned_data) {
        EXPECT_EQ(release_counts[data], 1) << "owned chunk not released exactly once";
    }
}

TEST(ChunkAligner, RandomStreamsKeepBytesOrderAndAlignment) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        check_random_stream(seed, false);
        if (HasFatalFailure()) {
            return;
        }
    }
}

TEST(ChunkAligner, RandomStreamsWithKeptPieceOwnersKeepEveryPieceIntact) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        check_random_stream(seed, true);
        if (HasFatalFailure()) {
            return;
        }
    }
}

} // namespace

namespace {

// Random chunk sizes, some of them lost (their size handed over before the loss message, as the
// queue does). Every piece must be the stream's bytes at a multiple of the alignment, inside one
// run of bytes between gaps; each run yields exactly its whole units, the last one its tail.
void check_random_stream_with_gaps(unsigned seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::uint64_t alignment = std::uniform_int_distribution<std::uint64_t>(1, 9)(random);
    SCOPED_TRACE("alignment " + std::to_string(alignment));
    auto lost = std::make_shared<vorn::stream::LostBytes>();
    Recorder recorder;
    StreamCallback aligner = make_aligned_callback(StreamCallback{&recorder_ops, &recorder},
                                                   alignment, nullptr, lost);

    // The stream's byte at offset i is i % 251; pieces name their offset by their first byte.
    std::uint64_t offset = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs{{0, 0}}; // [begin, end) received
    const int events = std::uniform_int_distribution<int>(1, 40)(random);
    for (int e = 0; e < events; ++e) {
        const auto size = std::uniform_int_distribution<std::uint64_t>(0, 3 * alignment)(random);
        if (std::uniform_int_distribution<int>(0, 3)(random) == 0) {
            lost->pending += size;
            StreamEvent text{std::in_place_index<1>, "Queue Overflow, dropping event"};
            aligner(text);
            if (size != 0) { // losing nothing leaves no gap
                offset += size;
                runs.emplace_back(offset, offset);
            }
            continue;
        }
        Bytes chunk(size);
        for (std::uint64_t i = 0; i < size; ++i) {
            chunk[i] = static_cast<std::uint8_t>((offset + i) % 251);
        }
        StreamEvent event{std::in_place_index<3>, ChunkView{chunk.data(), size}};
        aligner(event);
        offset += size;
        runs.back().second = offset;
    }
    StreamEvent end;
    aligner(end);

    Bytes expected;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const auto [begin, finish] = runs[r];
        const std::uint64_t first = (begin + alignment - 1) / alignment * alignment;
        const std::uint64_t last = r + 1 == runs.size() ? finish : finish / alignment * alignment;
        for (std::uint64_t i = first; i < last; ++i) {
            expected.push_back(static_cast<std::uint8_t>(i % 251));
        }
    }
    Bytes delivered;
    for (const auto &seen : recorder.seen) {
        if (seen.index != 3) {
            continue;
        }
        delivered.insert(delivered.end(), seen.bytes.begin(), seen.bytes.end());
        // The piece lies inside one run and starts on the grid.
        bool inside = false;
        for (const auto &[begin, finish] : runs) {
            for (std::uint64_t start = (begin + alignment - 1) / alignment * alignment;
                 start < finish; start += alignment) {
                if (start % 251 == seen.bytes[0] && start + seen.bytes.size() <= finish) {
                    inside = true;
                }
            }
        }
        EXPECT_TRUE(inside) << "a piece crosses a gap or starts off the grid";
    }
    EXPECT_EQ(delivered, expected);
    EXPECT_EQ(recorder.seen.back().index, 0u);
}

TEST(ChunkAligner, RandomStreamsWithGapsKeepTheGrid) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        check_random_stream_with_gaps(seed);
        if (HasFatalFailure()) {
            return;
        }
    }
}

// A consumer that cannot allocate a piece's payload: that piece is lost, reported in its place,
// and the pieces after it keep the grid.
struct RefusingSecondPiece {
    Recorder *recorder;
    int pieces = 0;
};

void refuse_second_piece(void *state, StreamEvent *event) {
    auto &consumer = *static_cast<RefusingSecondPiece *>(state);
    if (event->index() == 3 && ++consumer.pieces == 2) {
        throw std::bad_alloc();
    }
    record(consumer.recorder, event);
}

constexpr StreamCallbackOps refusing_ops{refuse_second_piece, mark_destroyed};

TEST(ChunkAligner, APieceThatCannotBeAllocatedIsReportedAndTheGridHolds) {
    Recorder recorder;
    RefusingSecondPiece refusing{&recorder};
    StreamCallback aligner = make_aligned_callback(StreamCallback{&refusing_ops, &refusing}, 4);
    Bytes first = iota_bytes(6, 0);
    Bytes second = iota_bytes(12, 6);
    StreamEvent one{std::in_place_index<3>, ChunkView{first.data(), first.size()}};
    StreamEvent two{std::in_place_index<3>, ChunkView{second.data(), second.size()}};
    StreamEvent end;
    aligner(one);
    aligner(two); // the carry-over piece 4-7 is refused: the rest of this chunk goes with it
    aligner(end);
    ASSERT_EQ(recorder.seen.size(), 3u);
    EXPECT_EQ(recorder.seen[0].bytes, iota_bytes(4, 0));
    EXPECT_EQ(recorder.seen[1].text, "Memory Allocation Failure, dropping event");
    EXPECT_EQ(recorder.seen[2].index, 0u);
}

} // namespace
