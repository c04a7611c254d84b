// The @NAME@ plug-in: a manager that creates devices, each with 64 registers, a 64 KiB block
// memory and a finite stream. The module loads the library, checks its ABI tag and calls
// create_manager; every other call arrives through the classes below.
#include <vorn/options.hpp> // the key=value grammar every shipped plug-in reads
#include <vorn/plugin.hpp>  // VORN_PLUGIN and plugin_path()
#include <vorn/stream_thread.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

// One running stream: a thread of its own sends `total` bytes (byte i is i % 256) in chunks,
// then the end marker. vorn::StreamThread owns the thread and the callback, and stops them the
// way the module requires.
class ExampleStream final : public vorn::Device::DataStream {
  public:
    ExampleStream(vorn::StreamCallback &&callback, std::uint64_t chunk_size, std::uint64_t total)
        : thread_(std::move(callback), "@NAME@: ",
                  [chunk_size, total](vorn::StreamEmitter &emit, const std::stop_token &stop) {
                      send_chunks(emit, stop, chunk_size, total);
                  }) {}

    // Any thread, any number of times; the handle's destructor stops too.
    void stop() override { thread_.stop(); }

  private:
    // Runs on the stream's thread; an exception becomes an error text and the end marker.
    static void send_chunks(vorn::StreamEmitter &emit, const std::stop_token &stop,
                            std::uint64_t chunk_size, std::uint64_t total) {
        std::vector<std::uint8_t> chunk(chunk_size);
        for (std::uint64_t sent = 0; sent < total; sent += chunk.size()) {
            if (stop.stop_requested()) {
                return; // stopped: no end marker
            }
            chunk.resize(std::min(chunk_size, total - sent));
            for (std::size_t i = 0; i < chunk.size(); ++i) {
                chunk[i] = static_cast<std::uint8_t>(sent + i);
            }
            // Lent bytes: valid during this call only; the module copies what it keeps.
            emit(vorn::ChunkView{chunk.data(), chunk.size()});
        }
        emit.end(); // exactly once: nothing is delivered after it
    }

    vorn::StreamThread thread_;
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
        // Its keep-alive holds this manager, and through it this library.
        return vorn::make_device<ExampleDevice>(*this, parse_stream_bytes(options));
    }
};

} // namespace

// create_manager, and the ABI tag: the loader refuses a plug-in built against another interface
// version, and `vorn check` fails one without a tag.
VORN_PLUGIN(ExampleManager);
