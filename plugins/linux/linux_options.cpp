#include "linux_options.hpp"

#include <vorn/options.hpp>

namespace vorn::linux_dev {

LinuxOptions parse_linux_options(std::string_view text) {
    LinuxOptions options;
    for (const Option &item : split_options(text).items) {
        if (item.key == "name") {
            options.name = item.text("a non-empty name");
        } else if (item.key == "regs") {
            options.regs = item.text("a path");
        } else if (item.key == "stream") {
            options.stream = item.text("a path");
        } else if (item.key == "uio_map") {
            options.uio_map = item.number();
        } else if (item.key == "offset") {
            options.offset = item.number();
        } else if (item.key == "size") {
            options.size = item.number();
            if (*options.size == 0) {
                item.bad("an unsigned integer greater than 0");
            }
        } else {
            item.unknown();
        }
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
           "N: decimal or 0x hexadecimal. A path with commas or white space goes in double\n"
           "quotes: regs=\"/srv/my board/regs.bin\".\n"
           "Registers are 32-bit little-endian words at 4-byte aligned byte offsets into the\n"
           "window. read_registers() fetches every address staged with set_register() or asked\n"
           "for with get_register() so far. start_read_stream chunk_size 0 means 65536; at most\n"
           "256 MiB.";
}

} // namespace vorn::linux_dev
