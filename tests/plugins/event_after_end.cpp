// Fault: a chunk follows the end marker.
#include "stream_fault_base.hpp"

struct EventAfterEnd final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
    ~EventAfterEnd() override { FaultStream::stop(); }
    void produce() override {
        FaultStream::produce();
        if (finite_) {
            emit(next_chunk());
        }
    }
};

VORN_TEST_STREAM_PLUGIN(EventAfterEnd)
