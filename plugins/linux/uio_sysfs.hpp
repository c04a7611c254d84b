// What sysfs tells about UIO devices: the maps of a node, and the list of nodes.
//
// The sysfs root is /sys, or the directory named by the environment variable
// VORN_LINUX_SYSFS_ROOT: that variable exists for tests, which stand a fake tree in for /sys.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace vorn::linux_dev {

struct UioMap {
    std::uint64_t size = 0;
    std::uint64_t offset = 0; // of the registers within the first mapped page
};

std::filesystem::path sysfs_root();

// The map `index` of the UIO node `node` (for example "uio0"). Throws std::runtime_error naming
// the sysfs file that is missing or unreadable.
UioMap read_uio_map(const std::string &node, std::uint64_t index);

// One line per UIO node: node, name, and each map's size and physical address; one line saying
// so when there is none.
std::string describe_uio_devices();

} // namespace vorn::linux_dev
