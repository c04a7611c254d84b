// A window of a device file (a UIO map, a PCI resource file, /dev/mem) or of a regular file,
// accessed as device memory. A device file is mapped: single aligned 32-bit volatile loads and
// stores for registers, never memcpy, which may split or merge accesses. A regular file is read
// and written with positioned reads and writes instead: another process may shrink it, and an
// access to a mapped page beyond its new end would kill this process with SIGBUS.
#pragma once

#include "linux_options.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vorn::linux_dev {

class RegisterWindow {
  public:
    // Opens and maps the window that `options` name (regs, uio_map, offset, size). Throws
    // std::runtime_error naming the path and the OS error when the file cannot be opened or
    // mapped, std::invalid_argument when the window does not fit the file or the map. Nothing
    // stays open after a throw.
    explicit RegisterWindow(const LinuxOptions &options);
    ~RegisterWindow();
    RegisterWindow(const RegisterWindow &) = delete;
    RegisterWindow &operator=(const RegisterWindow &) = delete;

    const std::string &path() const { return path_; }
    std::uint64_t offset() const { return offset_; } // of the window in the file
    std::uint64_t size() const { return size_; }

    // Whether a register (4 bytes, 4-aligned) at `addr` lies inside the window.
    bool holds_register(std::uint32_t addr) const;
    // Whether [addr, addr + length) lies inside the window.
    bool holds_block(std::uint32_t addr, std::uint64_t length) const;

    // One 32-bit access; little-endian in the window. The address must pass holds_register.
    // Fails (empty, false) only for a regular file that no longer holds the register.
    std::optional<std::uint32_t> load(std::uint32_t addr) const;
    bool store(std::uint32_t addr, std::uint32_t value);

    // Block copies; 4-aligned runs of a mapping use 32-bit accesses, the ragged ends bytes.
    // The range must pass holds_block. False when a regular file no longer holds all of it.
    bool copy_in(std::uint32_t addr, const std::uint8_t *data, std::uint64_t length);
    bool copy_out(std::uint32_t addr, std::uint8_t *data, std::uint64_t length) const;

  private:
    std::string path_;
    std::uint64_t offset_ = 0;
    std::uint64_t size_ = 0;
    int fd_ = -1;
    void *mapping_ = nullptr;
    std::size_t mapping_length_ = 0;
    volatile std::uint8_t *base_ = nullptr; // the window's first byte inside the mapping
    // A regular file is not mapped (base_ stays null): the window starts at this file position.
    std::uint64_t file_position_ = 0;
};

} // namespace vorn::linux_dev
