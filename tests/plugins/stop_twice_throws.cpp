// Fault: stop() joins unconditionally, so a second stop() throws std::system_error.
#include "stream_fault_base.hpp"

struct StopTwiceThrows final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
    ~StopTwiceThrows() override { FaultStream::stop(); }
    void stop() override {
        stop_requested_ = true;
        producer_.join();
        callback_.reset();
        stopped_ = true;
    }
};

VORN_TEST_STREAM_PLUGIN(StopTwiceThrows)
