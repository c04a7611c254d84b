// Fault: destroying the handle without stop() hands the callback to a thread that goes on
// delivering after the handle is gone.
#include "stream_fault_base.hpp"

struct NoStopInDestructor final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
    ~NoStopInDestructor() override {
        if (stopped_.exchange(true)) {
            return;
        }
        stop_requested_ = true;
        producer_.join();
        std::thread([callback = std::move(callback_)]() mutable {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            vorn::StreamEvent event = vorn::OwnedChunk(release, new std::uint8_t[256], 256);
            callback(event);
            callback.reset();
        }).detach();
    }
};

VORN_TEST_STREAM_PLUGIN(NoStopInDestructor)
