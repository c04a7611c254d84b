// Streams that read a file (a character device, a FIFO, a socket, a regular file) on a thread of
// the plug-in, one owned chunk per read(), until end of file, a read error or stop().
#pragma once

#include <vorn/chunk_pool.hpp>
#include <vorn/device.hpp>
#include <vorn/stream_thread.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <unistd.h>

namespace vorn::linux_dev {

inline constexpr std::uint64_t default_stream_chunk_size = 65536;
inline constexpr std::uint64_t max_stream_chunk_size = 256u << 20;

// Counts a device shares with its streams.
struct DeviceCounters {
    std::atomic<std::uint64_t> register_writes{0};
    std::atomic<std::uint64_t> register_reads{0};
    std::atomic<std::uint64_t> stream_bytes{0};
};

// A descriptor, closed by close() or the destructor.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() { close(); }
    void close() {
        if (fd >= 0) {
            ::close(std::exchange(fd, -1));
        }
    }
};

// The reading thread and what it reads with; the thread closes both descriptors as it ends.
// Owned by the stream handle; the device keeps a weak reference to end the thread before the
// device itself goes.
class FileReader {
  public:
    // Opens `path` and seeks to `addr` (which must be 0 unless the file is seekable), then starts
    // the thread. A chunk_size of 0 means default_stream_chunk_size. Throws std::runtime_error
    // naming the path and the OS error, std::invalid_argument for a bad addr or chunk size;
    // nothing stays open after a throw. Caller: the device's start_read_stream.
    FileReader(const std::string &path, std::uint64_t addr, StreamCallback &&callback,
               std::uint64_t chunk_size, std::shared_ptr<DeviceCounters> counters);

    void stop() { thread_.stop(); }

    // Ends the thread, which reports "device closed" and the end marker; the callback stays
    // until stop(). Caller: the device's destructor (the calling thread may hold the interpreter
    // lock: the reader never needs it).
    void end_for_device() {
        device_closed_ = true;
        thread_.end_thread();
    }

  private:
    void read_until_end(StreamEmitter &emit, const std::stop_token &stop);

    std::string path_;
    std::uint64_t chunk_size_;
    std::shared_ptr<DeviceCounters> counters_;
    FileDescriptor file_;
    StopEventFd wake_; // poll() watches it beside the file
    bool paced_;       // a regular file: read no faster than the chunks are taken
    ChunkPool::Hold pool_;
    std::atomic<bool> device_closed_{false};
    StreamThread thread_; // last: started once everything above exists
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
