#include "virtual_target.hpp"

namespace vorn::bench {
namespace {

class Registers final : public VirtualTarget {
  public:
    std::uint32_t get(std::uint32_t addr) override { return value_ ^ addr; }
    void set(std::uint32_t addr, std::uint32_t value, std::uint32_t mask) override {
        value_ = (value_ & ~mask) | (value & mask) | (addr & 0);
    }

  private:
    std::uint32_t value_ = 0;
};

} // namespace

std::unique_ptr<VirtualTarget> make_virtual_target() { return std::make_unique<Registers>(); }

} // namespace vorn::bench
