// The @NAME@ plug-in: a manager that creates devices, each with 64 registers, a 64 KiB block
// memory and a finite stream. The module loads the library, checks its ABI tag and calls
// create_manager; every other call arrives through the classes below.
#include <vorn/options.hpp> // the key=value grammar every shipped plug-in reads
#include <vorn/plugin.hpp>  // VORN_PLUGIN and plugin_path()

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// One running stream: a thread of its own sends `total` bytes (byte i is i % 256) in chunks,
// then the end marker.
class ExampleStream final : public vorn::Device::DataStream {
  public:
    ExampleStream(vorn::StreamCallback &&callback, std::uint64_t chunk_size, std::uint64_t total)
        : callback_(std::move(callback)), chunk_size_(chunk_size), total_(total),
          producer_([this] { produce(); }) {}

    // Destroying the handle without stop() must stop the stream too.
    ~ExampleStream() override { stop(); }

    // Any thread but the producer, any number of times, concurrently too: each call returns once
    // the producer has ended and the callback is destroyed.
    void stop() override {
        std::lock_guard lock(stop_mutex_);
        stop_requested_ = true;
        if (producer_.joinable()) {
            producer_.join();
        }
        // After the join nothing calls the callback any more. Destroying it waits for the
        // module's delivery thread, so it happens here, never on the producer.
        callback_.reset();
    }

  private:
    void produce() {
        // An exception leaving a thread function ends the process: report it as the last events.
        try {
            send_chunks();
        } catch (const std::exception &e) {
            vorn::StreamEvent error{std::in_place_index<1>, std::string("@NAME@: ") + e.what()};
            callback_(error);
            vorn::StreamEvent end;
            callback_(end);
        }
    }

    void send_chunks() {
        std::vector<std::uint8_t> chunk(chunk_size_);
        for (std::uint64_t sent = 0; sent < total_; sent += chunk.size()) {
            if (stop_requested_) {
                return; // stopped: no end marker
            }
            chunk.resize(std::min(chunk_size_, total_ - sent));
            for (std::size_t i = 0; i < chunk.size(); ++i) {
                chunk[i] = static_cast<std::uint8_t>(sent + i);
            }
            // Lent bytes (index 3): valid during this call only; the module copies what it keeps.
            vorn::StreamEvent event{std::in_place_index<3>,
                                    vorn::ChunkView{chunk.data(), chunk.size()}};
            callback_(event);
        }
        vorn::StreamEvent end; // exactly once, and nothing after it
        callback_(end);
    }

    vorn::StreamCallback callback_;
    const std::uint64_t chunk_size_;
    const std::uint64_t total_;
    std::atomic<bool> stop_requested_{false};
    std::mutex stop_mutex_;
    std::thread producer_; // last: it starts once everything above exists
};

// Python threads may call a device concurrently: one mutex guards its state.
class ExampleDevice final : public vorn::Device {
  public:
    explicit ExampleDevice(std::uint64_t stream_bytes) : stream_bytes_(stream_bytes) {}

    // Registers: 32-bit words at 4-aligned addresses 0x00 to 0xFC. set_register stages a value on
    // the host side, send_registers commits the staged ones, read_registers fetches them all
    // and get_register reads what was fetched. Any other address is refused.
    vorn::BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value,
                                         std::uint32_t mask) override {
        std::lock_guard lock(mutex_);
        if (!is_register(addr)) {
            return vorn::BasicDeviceStatus::Failure;
        }
        auto &staged = staged_[addr / 4];
        staged = (staged & ~mask) | (value & mask);
        return vorn::BasicDeviceStatus::Success;
    }
    vorn::BasicDeviceStatus send_registers() override {
        std::lock_guard lock(mutex_);
        device_side_ = staged_;
        return vorn::BasicDeviceStatus::Success;
    }
    vorn::BasicDeviceStatus read_registers() override {
        std::lock_guard lock(mutex_);
        fetched_ = device_side_;
        return vorn::BasicDeviceStatus::Success;
    }
    std::uint32_t get_register(std::uint32_t addr) override {
        std::lock_guard lock(mutex_);
        return is_register(addr) ? fetched_[addr / 4] : 0;
    }
    // The _sync forms report a refused address too (the defaults would send or read anyway).
    vorn::BasicDeviceStatus set_register_sync(std::uint32_t addr, std::uint32_t value,
                                              std::uint32_t mask) override {
        if (set_register(addr, value, mask) != vorn::BasicDeviceStatus::Success) {
            return vorn::BasicDeviceStatus::Failure;
        }
        return send_registers();
    }
    std::optional<std::uint32_t> get_register_sync(std::uint32_t addr) override {
        if (!is_register(addr)) {
            return std::nullopt; // Python sees None
        }
        return vorn::Device::get_register_sync(addr);
    }

    vorn::BasicDeviceStatus trigger(std::uint32_t /*addr*/, std::int32_t /*value*/) override {
        std::lock_guard lock(mutex_);
        ++triggers_;
        return vorn::BasicDeviceStatus::Success;
    }

    // Block memory: a transfer that does not fit entirely moves nothing and returns 0.
    std::uint64_t write(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override {
        std::lock_guard lock(mutex_);
        if (!fits(addr, length)) {
            return 0;
        }
        std::memcpy(memory_.data() + addr, data, length);
        return length;
    }
    std::uint64_t read(std::uint32_t addr, std::uint64_t length, std::uint8_t *data) override {
        std::lock_guard lock(mutex_);
        if (!fits(addr, length)) {
            return 0;
        }
        std::memcpy(data, memory_.data() + addr, length);
        return length;
    }

    // The stream owns everything it uses and never looks at the device, so the two may end in
    // either order.
    std::optional<std::unique_ptr<DataStream>>
    start_read_stream(std::uint32_t /*addr*/, vorn::StreamCallback &&callback,
                      std::uint64_t chunk_size) override {
        const std::uint64_t size = chunk_size != 0 ? chunk_size : 4096;
        return std::make_unique<ExampleStream>(std::move(callback), size, stream_bytes_);
    }

    std::optional<std::string> get_status() override {
        std::lock_guard lock(mutex_);
        return "ok: " + std::to_string(triggers_) + " triggers";
    }
    std::optional<std::string> get_info() override { return "@NAME@ device"; }

  private:
    static bool is_register(std::uint32_t addr) { return addr % 4 == 0 && addr / 4 < 64; }
    bool fits(std::uint32_t addr, std::uint64_t length) const {
        return addr <= memory_.size() && length <= memory_.size() - addr;
    }

    const std::uint64_t stream_bytes_;
    std::mutex mutex_;
    std::array<std::uint32_t, 64> staged_{}, device_side_{}, fetched_{};
    std::vector<std::uint8_t> memory_ = std::vector<std::uint8_t>(64 * 1024);
    std::uint64_t triggers_ = 0;
};

// The options text, in the grammar of <vorn/options.hpp>: `stream_bytes=N`, the bytes each
// stream sends (default 1 MiB; k, M, G suffixes). A bad text throws std::invalid_argument naming
// the key, which Python sees as a ValueError.
std::uint64_t parse_stream_bytes(const std::string &text) {
    std::uint64_t stream_bytes = 1 << 20;
    for (const vorn::Option &item : vorn::split_options(text).items) {
        if (item.key == "stream_bytes") {
            stream_bytes = item.size();
        } else {
            item.unknown();
        }
    }
    return stream_bytes;
}

class ExampleManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "@NAME@ device manager"; }
    std::filesystem::path location() override { return vorn::plugin_path(); }
    std::string list_devices() override { return "@NAME@: any number of devices"; }
    std::string get_device_options() override {
        return "stream_bytes=N   bytes each stream sends before its end marker (default 1048576;\n"
               "                 suffixes k, M, G are powers of 1024)";
    }
    vorn::DevicePtr create_device(const std::string &options) override {
        // The keep-alive: this manager, and through it this library, outlives every device.
        vorn::device_deleter keep_alive{shared_from_this()};
        auto device = std::make_unique<ExampleDevice>(parse_stream_bytes(options));
        return vorn::DevicePtr(device.release(), std::move(keep_alive));
    }
};

} // namespace

// create_manager, and the ABI tag: the loader refuses a plug-in built against another interface
// version, and `vorn check` fails one without a tag.
VORN_PLUGIN(ExampleManager);
