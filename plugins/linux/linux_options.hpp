// The options text of the Linux device.
//
// Format: `key=value` items separated by commas or white space (so paths cannot hold either);
// later items override earlier ones. Keys, all optional:
//   regs=PATH     file mapped for registers and block transfers: /dev/uioN, a PCI resource file,
//                 /dev/mem, or a regular file (dry runs and tests)
//   uio_map=M     map M of the UIO node named by regs; size and offset come from sysfs
//   offset=N      start of the window in the file (or in the UIO map)         (default 0)
//   size=N        window size; default: the file's size less offset, or the map's size
//   stream=PATH   file that streams read
//   name=TEXT     device name shown by get_info()                             (default linux0)
// N is an unsigned 64-bit integer, decimal or 0x-prefixed hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::linux_dev {

struct LinuxOptions {
    std::string name = "linux0";
    std::string regs;
    std::optional<std::uint64_t> uio_map;
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> size;
    std::string stream;
};

// Throws std::invalid_argument naming the offending item for an unknown key, an item without
// '=', a value of the wrong form, or a key that needs regs= without it.
LinuxOptions parse_linux_options(std::string_view text);

// The option keys with one line of help each, for get_device_options().
std::string describe_linux_options();

} // namespace vorn::linux_dev
