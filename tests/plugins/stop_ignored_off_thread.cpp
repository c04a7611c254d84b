// Fault: stop() does nothing unless called on the thread that started the stream.
#include "stream_fault_base.hpp"

struct StopIgnoredOffThread final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
    void stop() override {
        if (std::this_thread::get_id() == owner_) {
            FaultStream::stop();
        }
    }
    std::thread::id owner_ = std::this_thread::get_id();
};

VORN_TEST_STREAM_PLUGIN(StopIgnoredOffThread)
