// A plug-in whose device takes its time and counts what reaches it, for the tests of how the
// module calls into devices:
//  - get_register_sync(ms) sleeps `ms` milliseconds and returns ms; get_register(0) returns how
//    many calls of any device of this plug-in are in progress, get_register(1) how many calls into
//    one device ever overlapped (the module promises none);
//  - a stream sends the text "tick" every millisecond until stopped; get_status() reports
//    "stops=<calls of the stream's stop>".
#include <vorn/plugin.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace {

using vorn::BasicDeviceStatus;
using vorn::StreamCallback;
using vorn::StreamEvent;

std::atomic<int> calls_in_progress{0};

class TickStream final : public vorn::Device::DataStream {
  public:
    TickStream(StreamCallback &&callback, std::shared_ptr<std::atomic<int>> stops)
        : callback_(std::move(callback)), stops_(std::move(stops)), ticker_([this] { tick(); }) {}
    ~TickStream() override { end(); }
    void stop() override {
        ++*stops_;
        end();
    }

  private:
    void tick() {
        while (!stop_requested_) {
            StreamEvent text{std::in_place_index<1>, "tick"};
            callback_(text);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void end() {
        stop_requested_ = true;
        if (ticker_.joinable() && ticker_.get_id() != std::this_thread::get_id()) {
            ticker_.join();
            callback_.reset();
        }
    }

    StreamCallback callback_;
    std::shared_ptr<std::atomic<int>> stops_; // the handle may outlive its device
    std::atomic<bool> stop_requested_{false};
    std::thread ticker_;
};

class SlowDevice final : public vorn::Device {
  public:
    std::optional<std::uint32_t> get_register_sync(std::uint32_t ms) override {
        const Call call(*this);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return ms;
    }
    std::uint32_t get_register(std::uint32_t what) override {
        const Call call(*this);
        return static_cast<std::uint32_t>(what == 0 ? calls_in_progress.load() - 1
                                                    : overlaps_.load());
    }
    BasicDeviceStatus set_register(std::uint32_t, std::uint32_t, std::uint32_t) override {
        return BasicDeviceStatus::Success;
    }
    BasicDeviceStatus send_registers() override { return BasicDeviceStatus::Success; }
    BasicDeviceStatus read_registers() override { return BasicDeviceStatus::Success; }
    BasicDeviceStatus trigger(std::uint32_t, std::int32_t) override {
        return BasicDeviceStatus::Success;
    }
    std::uint64_t write(std::uint32_t, std::uint64_t length, std::uint8_t *) override {
        return length;
    }
    std::uint64_t read(std::uint32_t, std::uint64_t, std::uint8_t *) override { return 0; }
    std::optional<std::unique_ptr<DataStream>>
    start_read_stream(std::uint32_t, StreamCallback &&callback, std::uint64_t) override {
        return std::make_unique<TickStream>(std::move(callback), stops_);
    }
    std::optional<std::string> get_status() override {
        return "stops=" + std::to_string(stops_->load());
    }

  private:
    // Counts a call in progress, and an overlap when another call into this device is one too.
    struct Call {
        SlowDevice &device;
        explicit Call(SlowDevice &d) : device(d) {
            ++calls_in_progress;
            if (++device.in_device_ > 1) {
                ++device.overlaps_;
            }
        }
        ~Call() {
            --device.in_device_;
            --calls_in_progress;
        }
    };

    std::atomic<int> in_device_{0};
    std::atomic<int> overlaps_{0};
    std::shared_ptr<std::atomic<int>> stops_ = std::make_shared<std::atomic<int>>(0);
};

class SlowManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "slow calls"; }
    std::filesystem::path location() override { return {}; }
    std::string list_devices() override { return "slow"; }
    std::string get_device_options() override { return {}; }
    vorn::DevicePtr create_device(const std::string &) override {
        return vorn::DevicePtr(new SlowDevice(), vorn::device_deleter{shared_from_this()});
    }
};

} // namespace

VORN_PLUGIN(SlowManager);
