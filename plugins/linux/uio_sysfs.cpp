#include "uio_sysfs.hpp"

#include <vorn/options.hpp>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace vorn::linux_dev {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> read_line(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    return line;
}

// sysfs writes map sizes and addresses as 0x-prefixed hexadecimal.
std::optional<std::uint64_t> read_number(const fs::path &file) {
    const auto line = read_line(file);
    return line ? parse_unsigned(*line, true) : std::nullopt;
}

std::string hex(std::uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::vector<fs::path> sorted_entries(const fs::path &dir, const std::string &prefix) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string().starts_with(prefix)) {
            found.push_back(it->path());
        }
    }
    // uio2 before uio10
    std::sort(found.begin(), found.end(), [&](const fs::path &a, const fs::path &b) {
        const auto na = a.filename().string(), nb = b.filename().string();
        return na.size() != nb.size() ? na.size() < nb.size() : na < nb;
    });
    return found;
}

} // namespace

fs::path sysfs_root() {
    const char *root = std::getenv("VORN_LINUX_SYSFS_ROOT");
    return root != nullptr && *root != '\0' ? fs::path(root) : fs::path("/sys");
}

UioMap read_uio_map(const std::string &node, std::uint64_t index) {
    const fs::path dir =
        sysfs_root() / "class" / "uio" / node / "maps" / ("map" + std::to_string(index));
    UioMap map;
    const auto size = read_number(dir / "size");
    if (!size) {
        throw std::runtime_error("cannot read UIO map " + std::to_string(index) + " of " + node +
                                 ": " + (dir / "size").string() + " is missing or unreadable");
    }
    map.size = *size;
    // Kernels before 4.x have no offset attribute: the map then starts on its page.
    map.offset = read_number(dir / "offset").value_or(0);
    return map;
}

std::string describe_uio_devices() {
    const fs::path class_dir = sysfs_root() / "class" / "uio";
    std::string text;
    for (const auto &node : sorted_entries(class_dir, "uio")) {
        const std::string name = node.filename().string();
        text += "/dev/" + name + "  name=" + read_line(node / "name").value_or("?");
        for (const auto &map : sorted_entries(node / "maps", "map")) {
            text += "  " + map.filename().string() +
                    ": name=" + read_line(map / "name").value_or("?") +
                    " size=" + hex(read_number(map / "size").value_or(0)) +
                    " addr=" + hex(read_number(map / "addr").value_or(0));
        }
        text += "\n";
    }
    if (text.empty()) {
        return "no UIO devices (" + class_dir.string() + " lists none)";
    }
    text.pop_back();
    return text;
}

} // namespace vorn::linux_dev
