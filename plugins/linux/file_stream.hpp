// Streams that read a file (a character device, a FIFO, a socket, a regular file) on a thread of
// the plug-in, one owned chunk per read(), until end of file, a read error or stop().
#pragma once

#include <vorn/device.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vorn::linux_dev {

class ChunkPool;

inline constexpr std::uint64_t default_stream_chunk_size = 65536;
inline constexpr std::uint64_t max_stream_chunk_size = 256u << 20;

// Counts a device shares with its streams.
struct DeviceCounters {
    std::atomic<std::uint64_t> register_writes{0};
    std::atomic<std::uint64_t> register_reads{0};
    std::atomic<std::uint64_t> stream_bytes{0};
};

// The reading thread and what it reads with. Owned by the stream handle; the device keeps a
// weak reference to end the thread before the device itself goes.
class FileReader {
  public:
    // Opens `path` and seeks to `addr` (which must be 0 unless the file is seekable), then starts
    // the thread. A chunk_size of 0 means default_stream_chunk_size. Throws std::runtime_error
    // naming the path and the OS error, std::invalid_argument for a bad addr or chunk size;
    // nothing stays open after a throw. Caller: the device's start_read_stream.
    FileReader(const std::string &path, std::uint64_t addr, StreamCallback &&callback,
               std::uint64_t chunk_size, std::shared_ptr<DeviceCounters> counters);
    ~FileReader();
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;

    // Wakes and joins the thread, then destroys the callback (which waits for the module's
    // delivery thread). Any thread but the reader; blocks. Every caller, also concurrent ones,
    // returns only after the thread has ended and the callback is gone.
    void stop();

    // Ends the thread, which reports "device closed" and the end marker; the callback stays
    // until stop(). Caller: the device's destructor (the calling thread may hold the interpreter
    // lock: the reader never needs it).
    void end_for_device();

  private:
    enum class Halt { none, stop, device_closed };

    void run();
    void read_until_end();
    void deliver(StreamEvent &&event);
    void halt(Halt reason);
    bool wait_for_room();
    void report_halt();

    std::string path_;
    std::uint64_t chunk_size_;
    std::shared_ptr<DeviceCounters> counters_;
    int fd_ = -1;
    int wake_fd_ = -1;      // an eventfd that poll() watches beside the file
    bool paced_ = false;    // a regular file: read no faster than the chunks are taken
    std::size_t room_ = 32; // chunks out at once when paced, below the module's smallest queue
    ChunkPool *pool_ = nullptr;
    StreamCallback callback_;
    std::atomic<Halt> halt_{Halt::none};
    std::mutex join_mutex_;
    std::mutex stop_mutex_;
    bool stopped_ = false;
    CreatorProcess creator_; // in a child made by fork(), the thread and wake-up are the parent's
    std::thread reader_;
};

// The module's handle of one stream.
class FileStream final : public Device::DataStream {
  public:
    explicit FileStream(std::shared_ptr<FileReader> reader) : reader_(std::move(reader)) {}
    ~FileStream() override { reader_->stop(); }
    void stop() override { reader_->stop(); }

  private:
    std::shared_ptr<FileReader> reader_;
};

} // namespace vorn::linux_dev
