// Fault: stop() returns before the producer is done; one more chunk follows it.
#include "stream_fault_base.hpp"

struct InvokeAfterStop final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
    ~InvokeAfterStop() override { FaultStream::stop(); }
    void stop() override { stop_requested_ = true; }
    void produce() override {
        FaultStream::produce();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        emit(next_chunk());
    }
};

VORN_TEST_STREAM_PLUGIN(InvokeAfterStop)
