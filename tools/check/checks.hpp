// The contract checks of one plug-in; each runs in a process of its own (see main).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn::check {

enum class Status { Pass, Fail, Skip };

struct Outcome {
    Status status;
    std::string reason;
};

struct Target {
    std::string path;
    std::string options;                       // for create_device
    std::uint32_t addr = 0;                    // for registers and streams
    std::optional<std::string> finite_options; // a device whose stream ends by itself
    std::optional<std::string> refuse_options; // a device that refuses streams
};

struct Check {
    const char *name;
    Outcome (*run)(const Target &);
};

// In the order they are reported. A check may throw; that is a FAIL with the exception's text.
const std::vector<Check> &all_checks();

} // namespace vorn::check
