// Fault: the manager's info() is Latin-1, not UTF-8 (Python cannot decode it).
#include "stream_fault_base.hpp"

struct InvalidUtf8Manager final : vorn::test::FaultManager<vorn::test::GoodStream> {
    std::string info() override { return "caf\xe9 manager"; }
};

VORN_TEST_MANAGER_PLUGIN(InvalidUtf8Manager)
