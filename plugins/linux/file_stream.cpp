#include "file_stream.hpp"

#include "chunk_pool.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn::linux_dev {
namespace {

std::uint64_t checked_chunk_size(std::uint64_t chunk_size) {
    if (chunk_size == 0) {
        return default_stream_chunk_size;
    }
    if (chunk_size > max_stream_chunk_size) {
        throw std::invalid_argument("chunk_size " + std::to_string(chunk_size) +
                                    " is larger than the limit " +
                                    std::to_string(max_stream_chunk_size));
    }
    return chunk_size;
}

void close_fd(int &fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

FileReader::FileReader(const std::string &path, std::uint64_t addr, StreamCallback &&callback,
                       std::uint64_t chunk_size, std::shared_ptr<DeviceCounters> counters)
    : path_(path), chunk_size_(checked_chunk_size(chunk_size)), counters_(std::move(counters)) {
    try {
        // Non-blocking: opening a FIFO must not wait for its writer, and reads follow poll().
        fd_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            throw std::runtime_error("cannot open stream " + path_ + ": " + std::strerror(errno));
        }
        if (::lseek(fd_, static_cast<off_t>(addr), SEEK_SET) < 0) {
            const int error = errno;
            if (error != ESPIPE) {
                throw std::invalid_argument("cannot seek stream " + path_ + " to " +
                                            std::to_string(addr) + ": " + std::strerror(error));
            }
            if (addr != 0) {
                throw std::invalid_argument("stream " + path_ +
                                            " is not seekable: its address must be 0, not " +
                                            std::to_string(addr));
            }
        }
        struct stat file {};
        paced_ = ::fstat(fd_, &file) == 0 && S_ISREG(file.st_mode);
        wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd_ < 0) {
            throw std::runtime_error(std::string("cannot create an eventfd: ") +
                                     std::strerror(errno));
        }
        pool_ = ChunkPool::create(static_cast<std::size_t>(chunk_size_));
        callback_ = std::move(callback);
        reader_ = std::thread([this] { run(); });
    } catch (...) {
        if (pool_ != nullptr) {
            pool_->close();
        }
        close_fd(wake_fd_);
        close_fd(fd_);
        throw;
    }
}

FileReader::~FileReader() {
    if (creator_.inherited()) {
        // Waking would write the parent's eventfd and end its stream; the thread is not here.
        static_cast<void>(new std::thread(std::move(reader_)));
        static_cast<void>(new StreamCallback(std::move(callback_)));
        return;
    }
    stop();
}

void FileReader::halt(Halt reason) {
    std::lock_guard lock(join_mutex_);
    if (!reader_.joinable() || creator_.inherited()) {
        return;
    }
    halt_.store(reason);
    const std::uint64_t one = 1;
    // Cannot fail short of a full counter, which a single wake-up never reaches.
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
    pool_->interrupt();
    reader_.join();
}

void FileReader::end_for_device() { halt(Halt::device_closed); }

void FileReader::stop() {
    std::lock_guard lock(stop_mutex_);
    if (stopped_ || creator_.inherited()) {
        return;
    }
    halt(Halt::stop);
    // No invoke follows: the reader has ended.
    callback_.reset();
    pool_->close();
    close_fd(wake_fd_);
    close_fd(fd_);
    stopped_ = true;
}

void FileReader::deliver(StreamEvent &&event) { callback_(event); }

void FileReader::run() {
    // An exception must not leave a thread function: report it as the stream's last events.
    try {
        read_until_end();
    } catch (const std::exception &e) {
        try {
            deliver(StreamEvent{std::in_place_index<1>,
                                "linux: stream " + path_ + " failed: " + e.what()});
            deliver(StreamEvent{});
        } catch (const std::exception &) {
            // nothing more can be reported
        }
    }
}

void FileReader::report_halt() {
    if (halt_.load() == Halt::device_closed) {
        deliver(StreamEvent{std::in_place_index<1>,
                            "linux: stream " + path_ + " ended: its device was closed"});
        deliver(StreamEvent{});
    }
}

// A regular file has no pace of its own: read it only as fast as the callback takes the chunks,
// or the module's queue would drop them. A consumer that keeps its buffers returns none; after
// a wait without any return it is allowed more, so it is slowed down but never stalled.
bool FileReader::wait_for_room() {
    for (;;) {
        const auto room = pool_->wait_below(room_, std::chrono::milliseconds(100));
        if (halt_.load() != Halt::none) {
            return false;
        }
        if (room.below) {
            return true;
        }
        if (!room.released) {
            room_ *= 2;
        }
    }
}

void FileReader::read_until_end() {
    pollfd watched[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (watched[1].revents != 0 || (paced_ && !wait_for_room())) {
            report_halt();
            return;
        }
        if (watched[0].revents == 0) {
            continue;
        }
        std::uint8_t *buffer = pool_->take();
        const ssize_t count = ::read(fd_, buffer, static_cast<std::size_t>(chunk_size_));
        if (count > 0) {
            const auto size = static_cast<std::uint64_t>(count);
            counters_->stream_bytes.fetch_add(size, std::memory_order_relaxed);
            deliver(StreamEvent{std::in_place_index<2>, &ChunkPool::release, buffer, size});
            continue;
        }
        const int error = errno;
        ChunkPool::release(buffer);
        if (count < 0 && (error == EAGAIN || error == EINTR)) {
            continue;
        }
        if (count < 0) {
            deliver(StreamEvent{std::in_place_index<1>, "linux: cannot read stream " + path_ +
                                                            ": " + std::strerror(error)});
        }
        deliver(StreamEvent{});
        return;
    }
}

} // namespace vorn::linux_dev
