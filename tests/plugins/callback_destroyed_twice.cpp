// Fault: stop() destroys the callback, then destroys its state a second time.
#include "stream_fault_base.hpp"

struct CallbackDestroyedTwice final : vorn::test::FaultStream {
    using FaultStream::FaultStream;
    void stop() override {
        const auto *ops = callback_.ops;
        void *state = callback_.state;
        const bool first = !stopped_;
        FaultStream::stop();
        if (first) {
            ops->destroy(state);
        }
    }
};

VORN_TEST_STREAM_PLUGIN(CallbackDestroyedTwice)
