// KeptAliveStream: the guard around every stream handle the module gives out.
#include "kept_alive_stream.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vorn::StreamCallback;
using vorn::StreamCallbackOps;
using vorn::StreamEvent;

// The consumer at the end of the chain: counts calls, and knows whether it still exists.
struct Consumer {
    std::atomic<int> calls{0};
    std::atomic<bool> destroyed{false};
    std::atomic<int> slow_ms{0};
};

void consume(void *state, StreamEvent *) {
    auto &consumer = *static_cast<Consumer *>(state);
    std::this_thread::sleep_for(std::chrono::milliseconds(consumer.slow_ms.load()));
    ++consumer.calls;
}

void mark_destroyed(void *state) {
    if (state != nullptr) {
        static_cast<Consumer *>(state)->destroyed = true;
    }
}

constexpr StreamCallbackOps consumer_ops{consume, mark_destroyed};

// A device stream as a careless plug-in writes it: the first stop() does the work, and a
// concurrent or later one returns at once.
class CarelessStream final : public vorn::Device::DataStream {
  public:
    explicit CarelessStream(StreamCallback callback)
        : callback_(std::move(callback)), producer_([this] {
              while (!stop_requested_) {
                  StreamEvent event{std::in_place_index<1>, "tick"};
                  callback_(event);
                  std::this_thread::sleep_for(100us);
              }
          }) {}
    ~CarelessStream() override { stop(); }
    void stop() override {
        if (stopping_.exchange(true)) {
            return;
        }
        stop_requested_ = true;
        producer_.join();
        callback_.reset();
    }

  private:
    StreamCallback callback_;
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> stopping_{false};
    std::thread producer_;
};

std::unique_ptr<vorn::stream::KeptAliveStream> open_stream(Consumer &consumer) {
    auto chain = vorn::stream::make_queued_callback(StreamCallback{&consumer_ops, &consumer}, 64);
    auto delivery = vorn::stream::delivery_of(chain);
    return std::make_unique<vorn::stream::KeptAliveStream>(
        std::make_unique<CarelessStream>(std::move(chain)), nullptr, std::move(delivery), nullptr);
}

TEST(KeptAliveStream, EveryConcurrentStopReturnsOnlyOnceTheStreamHasEnded) {
    for (int round = 0; round < 50; ++round) {
        Consumer consumer;
        consumer.slow_ms = 2; // a callback in progress when the stops come
        auto stream = open_stream(consumer);
        while (consumer.calls == 0) {
            std::this_thread::yield();
        }
        std::vector<std::thread> stoppers;
        std::atomic<int> returned_early{0};
        for (int i = 0; i < 3; ++i) {
            stoppers.emplace_back([&] {
                stream->stop();
                if (!consumer.destroyed) {
                    ++returned_early;
                }
            });
        }
        for (auto &stopper : stoppers) {
            stopper.join();
        }
        EXPECT_EQ(returned_early, 0) << "round " << round;
    }
}

} // namespace
