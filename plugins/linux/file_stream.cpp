#include "file_stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <poll.h>
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
    FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        throw std::runtime_error("cannot open stream " + path + ": " + std::strerror(errno));
    }
    if (::lseek(file.fd, static_cast<off_t>(addr), SEEK_SET) < 0) {
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
    return std::exchange(file.fd, -1);
}

bool is_regular(int fd) {
    struct stat file {};
    return ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode);
}

} // namespace

FileReader::FileReader(const std::string &path, std::uint64_t addr, StreamCallback &&callback,
                       std::uint64_t chunk_size, std::shared_ptr<DeviceCounters> counters)
    : path_(path), chunk_size_(checked_chunk_size(chunk_size)), counters_(std::move(counters)),
      file_{open_at(path_, addr)}, paced_(is_regular(file_.fd)),
      // Paced: up to 32 chunks out (below the module's smallest queue); spares up to 32 MiB.
      pool_(ChunkPool::create(chunk_size_, paced_ ? 32 : 0,
                              std::max<std::uint64_t>(4, (32u << 20) / chunk_size_))),
      thread_(std::move(callback), "linux: stream " + path_ + " failed: ",
              [this](StreamEmitter &emit, const std::stop_token &stop) {
                  read_until_end(emit, stop);
              }) {}

void FileReader::read_until_end(StreamEmitter &emit, const std::stop_token &stop) {
    const struct CloseAtEnd {
        FileReader &reader;
        ~CloseAtEnd() {
            reader.file_.close();
            reader.wake_.close();
        }
    } close_at_end{*this};
    const auto waking = wake_.wake_on(stop);
    pollfd watched[2] = {{file_.fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (watched[1].revents != 0 || (paced_ && !pool_->wait_for_room(stop))) {
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
        const ssize_t count = ::read(file_.fd, buffer, static_cast<std::size_t>(chunk_size_));
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
