#include "register_window.hpp"

#include "uio_sysfs.hpp"

#include <vorn/mmio.hpp>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn::linux_dev {
namespace {

[[noreturn]] void os_error(const std::string &what, const std::string &path, int error) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

[[noreturn]] void bad_window(const std::string &text) { throw std::invalid_argument(text); }

// Where the window lies in the file: `map_offset` is page aligned (mmap requires it), the window
// starts `lead` bytes after it and spans `size` bytes.
struct Placement {
    std::uint64_t map_offset = 0;
    std::uint64_t lead = 0;
    std::uint64_t size = 0;
};

// The window inside a region of `region_size` bytes (a UIO map or the whole file).
std::uint64_t window_size(const LinuxOptions &options, std::uint64_t region_size,
                          const std::string &region) {
    if (options.offset >= region_size) {
        bad_window("offset=" + std::to_string(options.offset) + " is beyond the end of " + region +
                   " (" + std::to_string(region_size) + " bytes)");
    }
    const std::uint64_t size = options.size.value_or(region_size - options.offset);
    if (size > region_size - options.offset) {
        bad_window("a window of " + std::to_string(size) + " bytes at offset " +
                   std::to_string(options.offset) + " is larger than " + region + " (" +
                   std::to_string(region_size) + " bytes)");
    }
    return size;
}

Placement place(const LinuxOptions &options, const struct stat &file, std::uint64_t page) {
    Placement at;
    if (options.uio_map) {
        const auto node = std::filesystem::path(options.regs).filename().string();
        const UioMap map = read_uio_map(node, *options.uio_map);
        // UIO selects map M by the mmap offset M * page size.
        at.map_offset = *options.uio_map * page;
        at.size = window_size(options, map.size,
                              "UIO map " + std::to_string(*options.uio_map) + " of " + node);
        at.lead = map.offset + options.offset;
    } else {
        const bool sized = S_ISREG(file.st_mode) || file.st_size > 0;
        if (!sized && !options.size) {
            bad_window("size=N is needed for " + options.regs + ": its size is unknown");
        }
        if (!sized && (*options.size > UINT64_MAX - options.offset ||
                       options.offset + *options.size > UINT64_MAX - page)) {
            bad_window("offset=" + std::to_string(options.offset) + " and size=" +
                       std::to_string(*options.size) + " run past the end of any address space");
        }
        const std::uint64_t file_size =
            sized ? static_cast<std::uint64_t>(file.st_size) : options.offset + *options.size;
        at.size = window_size(options, file_size, options.regs);
        at.map_offset = options.offset / page * page;
        at.lead = options.offset - at.map_offset;
    }
    if (at.lead % 4 != 0) {
        bad_window("the window of " + options.regs + " does not start on a 4-byte boundary");
    }
    // Touching a mapped page beyond the end of a regular file raises SIGBUS.
    if (S_ISREG(file.st_mode) &&
        at.map_offset + at.lead + at.size > static_cast<std::uint64_t>(file.st_size)) {
        bad_window("the window is larger than " + options.regs + " (" +
                   std::to_string(file.st_size) + " bytes)");
    }
    return at;
}

// Moves all `length` bytes with `step` (a pread or a pwrite of what is left at a position),
// resuming after a short transfer or a signal. False when the file ends first (it shrank under
// the window) or the call fails.
template <typename Step> bool transfer_all(std::uint64_t length, std::uint64_t position, Step step) {
    std::uint64_t done = 0;
    while (done < length) {
        const ssize_t moved = step(done, static_cast<std::size_t>(length - done),
                                   static_cast<off_t>(position + done));
        if (moved < 0 && errno == EINTR) {
            continue;
        }
        if (moved <= 0) {
            return false;
        }
        done += static_cast<std::uint64_t>(moved);
    }
    return true;
}

bool read_all(int fd, void *bytes, std::uint64_t length, std::uint64_t position) {
    auto *out = static_cast<char *>(bytes);
    return transfer_all(length, position, [&](std::uint64_t done, std::size_t left, off_t at) {
        return ::pread(fd, out + done, left, at);
    });
}

// A write past the end would grow a file that another process cut: refused, so the window never
// lies beyond what the file holds.
bool write_all(int fd, const void *bytes, std::uint64_t length, std::uint64_t position) {
    struct stat file {};
    if (::fstat(fd, &file) != 0 || static_cast<std::uint64_t>(file.st_size) < position ||
        static_cast<std::uint64_t>(file.st_size) - position < length) {
        return false;
    }
    const auto *in = static_cast<const char *>(bytes);
    return transfer_all(length, position, [&](std::uint64_t done, std::size_t left, off_t at) {
        return ::pwrite(fd, in + done, left, at);
    });
}

} // namespace

RegisterWindow::RegisterWindow(const LinuxOptions &options) : path_(options.regs) {
    // O_SYNC makes /dev/mem map the window uncached.
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_SYNC);
    if (fd_ < 0) {
        os_error("cannot open", path_, errno);
    }
    try {
        struct stat file {};
        if (::fstat(fd_, &file) != 0) {
            os_error("cannot stat", path_, errno);
        }
        const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        const Placement at = place(options, file, page);
        offset_ = options.offset;
        size_ = at.size;
        if (S_ISREG(file.st_mode)) {
            file_position_ = at.map_offset + at.lead;
            return;
        }
        mapping_length_ = static_cast<std::size_t>((at.lead + at.size + page - 1) / page * page);
        void *mapping = ::mmap(nullptr, mapping_length_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                               static_cast<off_t>(at.map_offset));
        if (mapping == MAP_FAILED) {
            os_error("cannot map", path_, errno);
        }
        mapping_ = mapping;
        base_ = static_cast<volatile std::uint8_t *>(mapping) + at.lead;
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

RegisterWindow::~RegisterWindow() {
    if (mapping_ != nullptr) {
        ::munmap(mapping_, mapping_length_);
    }
    ::close(fd_);
}

bool RegisterWindow::holds_register(std::uint32_t addr) const {
    return addr % 4 == 0 && std::uint64_t{addr} + 4 <= size_;
}

bool RegisterWindow::holds_block(std::uint32_t addr, std::uint64_t length) const {
    return length <= size_ && addr <= size_ - length;
}

std::optional<std::uint32_t> RegisterWindow::load(std::uint32_t addr) const {
    if (base_ == nullptr) {
        std::uint32_t word = 0;
        if (!read_all(fd_, &word, 4, file_position_ + addr)) {
            return std::nullopt;
        }
        return mmio::little_endian(word);
    }
    return mmio::load_le32(base_ + addr);
}

bool RegisterWindow::store(std::uint32_t addr, std::uint32_t value) {
    if (base_ == nullptr) {
        std::uint32_t word = mmio::little_endian(value);
        return write_all(fd_, &word, 4, file_position_ + addr);
    }
    mmio::store_le32(base_ + addr, value);
    return true;
}

bool RegisterWindow::copy_in(std::uint32_t addr, const std::uint8_t *data, std::uint64_t length) {
    if (base_ == nullptr) {
        return write_all(fd_, data, length, file_position_ + addr);
    }
    mmio::copy_in(base_ + addr, data, length);
    return true;
}

bool RegisterWindow::copy_out(std::uint32_t addr, std::uint8_t *data, std::uint64_t length) const {
    if (base_ == nullptr) {
        return read_all(fd_, data, length, file_position_ + addr);
    }
    mmio::copy_out(data, base_ + addr, length);
    return true;
}

} // namespace vorn::linux_dev
