// A minimal third-party plug-in: one device that echoes registers and block writes, and streams
// the last block written back in owned chunks. Its one option, `info=TEXT`, replaces the
// device's info text.
#include <vorn/chunk_pool.hpp>
#include <vorn/mmio.hpp>
#include <vorn/options.hpp>
#include <vorn/plugin.hpp>
#include <vorn/stream_thread.hpp>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

class EchoStream final : public vorn::Device::DataStream {
  public:
    EchoStream(vorn::StreamCallback &&callback, std::vector<std::uint8_t> bytes,
               std::uint64_t chunk_size)
        : bytes_(std::move(bytes)), pool_(vorn::ChunkPool::create(chunk_size)),
          thread_(std::move(callback), "echo: ",
                  [this, chunk_size](vorn::StreamEmitter &emit, const std::stop_token &stop) {
                      for (std::size_t at = 0; at < bytes_.size() && !stop.stop_requested();
                           at += chunk_size) {
                          const auto size = std::min<std::size_t>(chunk_size, bytes_.size() - at);
                          std::uint8_t *data = pool_->take();
                          std::memcpy(data, bytes_.data() + at, size);
                          emit(vorn::OwnedChunk{vorn::ChunkPool::release, data, size});
                      }
                      emit.end();
                  }) {}
    void stop() override { thread_.stop(); }

  private:
    const std::vector<std::uint8_t> bytes_;
    vorn::ChunkPool::Hold pool_;
    vorn::StreamThread thread_;
};

class EchoDevice final : public vorn::Device {
  public:
    explicit EchoDevice(std::string info) : info_(std::move(info)) {}
    vorn::BasicDeviceStatus set_register(std::uint32_t addr, std::uint32_t value,
                                         std::uint32_t mask) override {
        staged_[addr] = (staged_[addr] & ~mask) | (value & mask);
        return vorn::BasicDeviceStatus::Success;
    }
    vorn::BasicDeviceStatus send_registers() override {
        committed_ = staged_;
        return vorn::BasicDeviceStatus::Success;
    }
    std::uint32_t get_register(std::uint32_t addr) override { return committed_[addr]; }
    vorn::BasicDeviceStatus read_registers() override { return vorn::BasicDeviceStatus::Success; }
    vorn::BasicDeviceStatus trigger(std::uint32_t, std::int32_t) override {
        return vorn::BasicDeviceStatus::Failure;
    }
    std::uint64_t write(std::uint32_t, std::uint64_t length, std::uint8_t *data) override {
        last_.assign(data, data + length);
        return length;
    }
    std::uint64_t read(std::uint32_t, std::uint64_t length, std::uint8_t *data) override {
        const auto count = length < last_.size() ? length : last_.size();
        // Word-wise, as from a mapped window; the block is ordinary memory here.
        vorn::mmio::copy_out(data, last_.data(), count);
        return count;
    }
    std::optional<std::string> get_info() override { return info_; }
    std::optional<std::unique_ptr<DataStream>>
    start_read_stream(std::uint32_t, vorn::StreamCallback &&callback,
                      std::uint64_t chunk_size) override {
        return std::make_unique<EchoStream>(std::move(callback), last_,
                                            chunk_size != 0 ? chunk_size : 2);
    }

  private:
    std::string info_;
    std::map<std::uint32_t, std::uint32_t> staged_, committed_;
    std::vector<std::uint8_t> last_;
};

class EchoManager final : public vorn::DeviceManager {
  public:
    std::string info() override { return "echo manager"; }
    std::filesystem::path location() override { return vorn::plugin_path(); }
    std::string list_devices() override { return "echo"; }
    std::string get_device_options() override { return "info=TEXT"; }
    vorn::DevicePtr create_device(const std::string &options) override {
        std::string info = "echo device";
        for (const vorn::Option &item : vorn::split_options(options).items) {
            if (item.key != "info") {
                item.unknown();
            }
            info = item.text("a text");
        }
        return vorn::make_device<EchoDevice>(*this, info);
    }
};

} // namespace

VORN_PLUGIN(EchoManager);
