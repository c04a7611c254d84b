// The options text of the Linux device, in the grammar of <vorn/options.hpp>; the keys and their
// meaning: describe_linux_options(), and the fields below.
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
