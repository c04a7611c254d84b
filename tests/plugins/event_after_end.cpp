// Fault: a chunk follows the end marker. Every stream ends after 20 chunks, finite or not.
#include "stream_fault_base.hpp"

struct EventAfterEnd final : vorn::test::FaultStream {
    EventAfterEnd(vorn::StreamCallback &&callback, bool) : FaultStream(std::move(callback), true) {}
    ~EventAfterEnd() override { FaultStream::stop(); }
    void produce() override {
        FaultStream::produce();
        if (!stop_requested_) { // it ended by itself
            emit(next_chunk());
        }
    }
};

VORN_TEST_STREAM_PLUGIN(EventAfterEnd)
