// The smallest virtual call pybind11 can make, as a floor for the cost of a register call.
#pragma once

#include <cstdint>
#include <memory>

namespace vorn::bench {

class VirtualTarget {
  public:
    virtual ~VirtualTarget() = default;
    virtual std::uint32_t get(std::uint32_t addr) = 0;
    virtual void set(std::uint32_t addr, std::uint32_t value, std::uint32_t mask) = 0;
};

// Defined in its own file, so calls through the base cannot be devirtualised.
std::unique_ptr<VirtualTarget> make_virtual_target();

} // namespace vorn::bench
