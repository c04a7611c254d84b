// Scaffolding for the stream-fault plug-ins: a manager, a device, and a correct stream that each
// fault file bends in one place. Device options "finite": the stream ends after 20 chunks.
#pragma once

#include <vorn/plugin.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace vorn::test {

class FaultStream : public Device::DataStream {
  public:
    FaultStream(StreamCallback &&callback, bool finite)
        : callback_(std::move(callback)), finite_(finite) {}
    ~FaultStream() override { FaultStream::stop(); }

    // Separate from the constructor so the thread sees the derived class complete.
    void start() {
        producer_ = std::thread([this] { produce(); });
    }
    void stop() override {
        if (stopped_.exchange(true)) {
            return;
        }
        stop_requested_ = true;
        producer_.join();
        callback_.reset();
    }

  protected:
    static void release(std::uint8_t *data) { delete[] data; }
    virtual StreamEvent next_chunk() { return OwnedChunk(release, new std::uint8_t[256], 256); }
    void emit(StreamEvent event) { callback_(event); }
    void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
    virtual void produce() {
        for (int i = 0; !stop_requested_; ++i) {
            if (finite_ && i == 20) {
                emit(StreamEvent{});
                return;
            }
            emit(next_chunk());
            pause();
        }
    }

    StreamCallback callback_;
    bool finite_;
    std::atomic<bool> stop_requested_{false};
    std::atomic<bool> stopped_{false};
    std::thread producer_;
};

// A correct stream, for the faults that lie elsewhere.
class GoodStream;

template <typename Stream> class FaultDevice : public Device {
    using Status = BasicDeviceStatus;

  public:
    explicit FaultDevice(bool finite) : finite_(finite) {}
    Status set_register(std::uint32_t, std::uint32_t, std::uint32_t) override {
        return Status::Success;
    }
    Status send_registers() override { return Status::Success; }
    std::uint32_t get_register(std::uint32_t) override { return 0; }
    Status read_registers() override { return Status::Success; }
    Status trigger(std::uint32_t, std::int32_t) override { return Status::Failure; }
    std::uint64_t write(std::uint32_t, std::uint64_t, std::uint8_t *) override { return 0; }
    std::uint64_t read(std::uint32_t, std::uint64_t, std::uint8_t *) override { return 0; }
    std::optional<std::unique_ptr<DataStream>>
    start_read_stream(std::uint32_t, StreamCallback &&callback, std::uint64_t) override {
        auto stream = std::make_unique<Stream>(std::move(callback), finite_);
        stream->start();
        return stream;
    }

  private:
    bool finite_;
};

class GoodStream final : public FaultStream {
    using FaultStream::FaultStream;
};

template <typename Stream> class FaultManager : public DeviceManager {
  public:
    std::string info() override { return "stream fault manager"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return "fault0"; }
    std::string get_device_options() override { return "finite: the stream ends after 20 chunks"; }
    DevicePtr create_device(const std::string &options) override {
        return DevicePtr(new FaultDevice<Stream>(options == "finite"),
                         device_deleter{shared_from_this()});
    }
};

} // namespace vorn::test

#define VORN_TEST_MANAGER_PLUGIN(Manager) VORN_PLUGIN(Manager);
#define VORN_TEST_STREAM_PLUGIN(Stream) VORN_TEST_MANAGER_PLUGIN(vorn::test::FaultManager<Stream>)
