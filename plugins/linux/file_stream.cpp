#include "file_stream.hpp"

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

// The file at `path`, at offset `addr`.
int open_at(const std::string &path, std::uint64_t addr) {
    // Non-blocking: opening a FIFO must not wait for its writer, and reads follow poll().
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        throw std::runtime_error("cannot open stream " + path + ": " + std::strerror(errno));
    }
    if (::lseek(file.get(), static_cast<off_t>(addr), SEEK_SET) < 0) {
        const int error = errno;
        if (error != ESPIPE) {
            throw std::invalid_argument("cannot seek stream " + path + " to " +
                                        std::to_string(addr) + ": " + std::strerror(error));
        }
        if (addr != 0) {
            throw std::invalid_argument("stream " + path +
                                        " is not seekable: its address must be 0, not " +
                                        std::to_string(addr));
        }
    }
    return file.release();
}

int make_eventfd() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw std::runtime_error(std::string("cannot create an eventfd: ") + std::strerror(errno));
    }
    return fd;
}

bool is_regular(int fd) {
    struct stat file {};
    return ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode);
}

} // namespace

void FileDescriptor::close() {
    if (const int fd = release(); fd >= 0) {
        ::close(fd);
    }
}

FileReader::FileReader(const std::string &path, std::uint64_t addr, StreamCallback &&callback,
                       std::uint64_t chunk_size, std::shared_ptr<DeviceCounters> counters)
    : path_(path), chunk_size_(checked_chunk_size(chunk_size)), counters_(std::move(counters)),
      file_(open_at(path_, addr)), wake_(make_eventfd()), paced_(is_regular(file_.get())),
      pool_(ChunkPool::create(chunk_size_, paced_)),
      thread_(std::move(callback), "linux: stream " + path_ + " failed: ",
              [this](StreamEmitter &emit, const std::stop_token &stop) {
                  read_until_end(emit, stop);
              }) {}

void FileReader::end_for_device() {
    device_closed_ = true;
    thread_.end_thread();
}

void FileReader::stop() {
    if (thread_.stop()) { // not on the reading thread itself, which still uses them
        file_.close();
        wake_.close();
    }
}

// A regular file has no pace of its own: read it only as fast as the callback takes the chunks,
// or the module's queue would drop them. A consumer that keeps its buffers returns none; after
// a wait without any return it is allowed more, so it is slowed down but never stalled.
bool FileReader::wait_for_room(const std::stop_token &stop) {
    for (;;) {
        const auto room = pool_->wait_for_room(room_, std::chrono::milliseconds(100), stop);
        if (stop.stop_requested()) {
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

void FileReader::read_until_end(StreamEmitter &emit, const std::stop_token &stop) {
    const std::stop_callback wake(stop, [this] {
        const std::uint64_t one = 1;
        // Cannot fail short of a full counter, which a single wake-up never reaches.
        [[maybe_unused]] const auto written = ::write(wake_.get(), &one, sizeof one);
    });
    pollfd watched[2] = {{file_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (watched[1].revents != 0 || (paced_ && !wait_for_room(stop))) {
            if (device_closed_) {
                emit.error("linux: stream " + path_ + " ended: its device was closed");
                emit.end();
            }
            return;
        }
        if (watched[0].revents == 0) {
            continue;
        }
        std::uint8_t *buffer = pool_->take();
        const ssize_t count = ::read(file_.get(), buffer, static_cast<std::size_t>(chunk_size_));
        if (count > 0) {
            const auto size = static_cast<std::uint64_t>(count);
            counters_->stream_bytes.fetch_add(size, std::memory_order_relaxed);
            emit(OwnedChunk{ChunkPool::release, buffer, size});
            continue;
        }
        const int error = errno;
        ChunkPool::release(buffer);
        if (count < 0 && (error == EAGAIN || error == EINTR)) {
            continue;
        }
        if (count < 0) {
            emit.error("linux: cannot read stream " + path_ + ": " + std::strerror(error));
        }
        emit.end();
        return;
    }
}

} // namespace vorn::linux_dev
