// Fault: owned chunks come without a release function.
#include "stream_fault_base.hpp"

struct ChunkWithoutRelease final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
    vorn::StreamEvent next_chunk() override {
        static std::uint8_t bytes[256];
        return vorn::OwnedChunk(nullptr, bytes, sizeof bytes);
    }
};

VORN_TEST_STREAM_PLUGIN(ChunkWithoutRelease)
