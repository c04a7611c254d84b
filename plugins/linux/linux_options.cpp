#include "linux_options.hpp"

#include <charconv>
#include <stdexcept>

namespace vorn::linux_dev {
namespace {

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

[[noreturn]] void bad_value(std::string_view key, std::string_view value, const char *expected) {
    throw std::invalid_argument("bad value '" + std::string(value) + "' for option '" +
                                std::string(key) + "': expected " + expected);
}

std::uint64_t parse_number(std::string_view key, std::string_view value) {
    std::string_view digits = value;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    std::uint64_t result = 0;
    const auto *end = digits.data() + digits.size();
    auto [last, error] = std::from_chars(digits.data(), end, result, base);
    if (digits.empty() || error != std::errc() || last != end) {
        bad_value(key, value, "an unsigned integer (decimal or 0x hexadecimal)");
    }
    return result;
}

std::string parse_text(std::string_view key, std::string_view value, const char *expected) {
    if (value.empty()) {
        bad_value(key, value, expected);
    }
    return std::string(value);
}

void apply(LinuxOptions &options, std::string_view key, std::string_view value) {
    if (key == "name") {
        options.name = parse_text(key, value, "a non-empty name");
    } else if (key == "regs") {
        options.regs = parse_text(key, value, "a path");
    } else if (key == "stream") {
        options.stream = parse_text(key, value, "a path");
    } else if (key == "uio_map") {
        options.uio_map = parse_number(key, value);
    } else if (key == "offset") {
        options.offset = parse_number(key, value);
    } else if (key == "size") {
        options.size = parse_number(key, value);
        if (*options.size == 0) {
            bad_value(key, value, "an unsigned integer greater than 0");
        }
    } else {
        throw std::invalid_argument("unknown option '" + std::string(key) +
                                    "' (see get_device_options())");
    }
}

} // namespace

LinuxOptions parse_linux_options(std::string_view text) {
    LinuxOptions options;
    std::size_t position = 0;
    while (position < text.size()) {
        if (is_separator(text[position])) {
            ++position;
            continue;
        }
        std::size_t end = position;
        while (end < text.size() && !is_separator(text[end])) {
            ++end;
        }
        const std::string_view item = text.substr(position, end - position);
        const auto equals = item.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            throw std::invalid_argument("malformed option '" + std::string(item) +
                                        "': expected key=value");
        }
        apply(options, item.substr(0, equals), item.substr(equals + 1));
        position = end;
    }
    const char *needs_regs = options.uio_map       ? "uio_map"
                             : options.size        ? "size"
                             : options.offset != 0 ? "offset"
                                                   : nullptr;
    if (options.regs.empty() && needs_regs != nullptr) {
        throw std::invalid_argument("option '" + std::string(needs_regs) + "' needs regs=PATH");
    }
    return options;
}

std::string describe_linux_options() {
    return "Options: key=value items separated by commas or spaces, all optional.\n"
           "  regs=PATH     file mapped for registers and blocks: /dev/uioN, a PCI resource\n"
           "                file (/sys/bus/pci/devices/D:B:D.F/resourceN), /dev/mem, or a\n"
           "                regular file for dry runs\n"
           "  uio_map=M     map M of the UIO node in regs (size and offset from sysfs;\n"
           "                mmap offset M * page size)\n"
           "  offset=N      start of the window in the file, or in the UIO map (default 0)\n"
           "  size=N        window size (default: the file's size less offset, or the map's\n"
           "                size; required for /dev/mem)\n"
           "  stream=PATH   file that streams read: a character device, FIFO or regular file;\n"
           "                seekable files are read from the stream's address\n"
           "  name=TEXT     device name (default linux0)\n"
           "N: decimal or 0x hexadecimal. Paths cannot contain commas or white space.\n"
           "Registers are 32-bit little-endian words at 4-byte aligned byte offsets into the\n"
           "window. read_registers() fetches every address staged with set_register() or asked\n"
           "for with get_register() so far. start_read_stream chunk_size 0 means 65536; at most\n"
           "256 MiB.";
}

} // namespace vorn::linux_dev
